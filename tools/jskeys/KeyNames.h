#pragma once
// The keys a map may name, with what each output needs to send them: the X keysym, the Linux
// input event code and the Windows virtual-key code. Names follow X keysym names ("space",
// "Right", "Page_Up"), with a few common aliases ("Enter", "Esc", "PageUp"). Mouse buttons and
// wheel steps ("button1", "wheel_down") are keys too, so that a map names them wherever a key
// goes and the translator never needs to tell them apart.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace jskeys {

// A mouse action. The values are the X pointer button numbers, which are the usual numbering:
// 1 to 3 the buttons, 4 to 7 the wheel up, down, left and right.
enum class Pointer : std::uint8_t {
  kNone = 0,
  kButton1 = 1,  // left
  kButton2 = 2,  // middle
  kButton3 = 3,  // right
  kWheelUp = 4,
  kWheelDown = 5,
  kWheelLeft = 6,
  kWheelRight = 7,
};

// A wheel step is a tap by nature: pressing sends it, releasing sends nothing.
constexpr bool IsWheel(Pointer pointer) { return pointer >= Pointer::kWheelUp; }

struct KeyInfo {
  const char* name;       // the canonical name, as printed
  std::uint32_t keysym;   // X11; 0 for a mouse action
  std::uint16_t evdev;    // Linux KEY_*, or BTN_* for a button; 0 for a wheel step
  std::uint16_t vk;       // Windows VK_*; 0 for a wheel step
  Pointer pointer = Pointer::kNone;
};

using KeyId = std::uint16_t;  // index into AllKeys()
inline constexpr std::size_t kMaxKeys = 128;

// The modifiers a combination may hold, in the order they are pressed.
enum Modifier : std::uint8_t { kCtrl = 1, kShift = 2, kAlt = 4, kSuper = 8 };
inline constexpr Modifier kModifierOrder[] = {kCtrl, kShift, kAlt, kSuper};

std::span<const KeyInfo> AllKeys();
std::optional<KeyId> FindKey(std::string_view name);
KeyId ModifierKey(Modifier modifier);  // the left-hand key of the modifier

bool IsWheelStep(KeyId key);

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
