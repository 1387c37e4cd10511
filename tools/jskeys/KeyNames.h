#pragma once
// The keys a map may name, with what each output needs to send them: the X keysym, the Linux
// input event code and the Windows virtual-key code. Names follow X keysym names ("space",
// "Right", "Page_Up"), with a few common aliases ("Enter", "Esc", "PageUp").

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace jskeys {

struct KeyInfo {
  const char* name;       // the canonical name, as printed
  std::uint32_t keysym;   // X11
  std::uint16_t evdev;    // Linux KEY_*
  std::uint16_t vk;       // Windows VK_*
};

using KeyId = std::uint16_t;  // index into AllKeys()
inline constexpr std::size_t kMaxKeys = 128;

// The modifiers a combination may hold, in the order they are pressed.
enum Modifier : std::uint8_t { kCtrl = 1, kShift = 2, kAlt = 4, kSuper = 8 };
inline constexpr Modifier kModifierOrder[] = {kCtrl, kShift, kAlt, kSuper};

std::span<const KeyInfo> AllKeys();
std::optional<KeyId> FindKey(std::string_view name);
KeyId ModifierKey(Modifier modifier);  // the left-hand key of the modifier

// A key combination: modifiers held around at most one key ("ctrl+z", "shift", "Right").
struct KeyCombo {
  std::uint8_t modifiers = 0;
  std::optional<KeyId> key;

  bool operator==(const KeyCombo&) const = default;
  bool Empty() const { return modifiers == 0 && !key; }
};

// "ctrl+shift+z" → combo. False with `error` set ("unknown key name 'foo'") otherwise.
bool ParseCombo(std::string_view text, KeyCombo& combo, std::string& error);
// The canonical text: modifiers as ctrl, shift, alt, super, then the key.
std::string ComboText(const KeyCombo& combo);

}  // namespace jskeys
