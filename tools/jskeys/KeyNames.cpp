#include "KeyNames.h"

#include <algorithm>
#include <array>

namespace jskeys {
namespace {

constexpr KeyInfo kKeys[] = {
    // Modifiers first: ModifierKey relies on their places.
    {"Control_L", 0xffe3, 29, 0x11},
    {"Shift_L", 0xffe1, 42, 0x10},
    {"Alt_L", 0xffe9, 56, 0x12},
    {"Super_L", 0xffeb, 125, 0x5B},
    {"a", 0x61, 30, 0x41}, {"b", 0x62, 48, 0x42}, {"c", 0x63, 46, 0x43}, {"d", 0x64, 32, 0x44},
    {"e", 0x65, 18, 0x45}, {"f", 0x66, 33, 0x46}, {"g", 0x67, 34, 0x47}, {"h", 0x68, 35, 0x48},
    {"i", 0x69, 23, 0x49}, {"j", 0x6a, 36, 0x4A}, {"k", 0x6b, 37, 0x4B}, {"l", 0x6c, 38, 0x4C},
    {"m", 0x6d, 50, 0x4D}, {"n", 0x6e, 49, 0x4E}, {"o", 0x6f, 24, 0x4F}, {"p", 0x70, 25, 0x50},
    {"q", 0x71, 16, 0x51}, {"r", 0x72, 19, 0x52}, {"s", 0x73, 31, 0x53}, {"t", 0x74, 20, 0x54},
    {"u", 0x75, 22, 0x55}, {"v", 0x76, 47, 0x56}, {"w", 0x77, 17, 0x57}, {"x", 0x78, 45, 0x58},
    {"y", 0x79, 21, 0x59}, {"z", 0x7a, 44, 0x5A},
    {"0", 0x30, 11, 0x30}, {"1", 0x31, 2, 0x31}, {"2", 0x32, 3, 0x32}, {"3", 0x33, 4, 0x33},
    {"4", 0x34, 5, 0x34}, {"5", 0x35, 6, 0x35}, {"6", 0x36, 7, 0x36}, {"7", 0x37, 8, 0x37},
    {"8", 0x38, 9, 0x38}, {"9", 0x39, 10, 0x39},
    {"F1", 0xffbe, 59, 0x70}, {"F2", 0xffbf, 60, 0x71}, {"F3", 0xffc0, 61, 0x72},
    {"F4", 0xffc1, 62, 0x73}, {"F5", 0xffc2, 63, 0x74}, {"F6", 0xffc3, 64, 0x75},
    {"F7", 0xffc4, 65, 0x76}, {"F8", 0xffc5, 66, 0x77}, {"F9", 0xffc6, 67, 0x78},
    {"F10", 0xffc7, 68, 0x79}, {"F11", 0xffc8, 87, 0x7A}, {"F12", 0xffc9, 88, 0x7B},
    {"space", 0x20, 57, 0x20},
    {"Return", 0xff0d, 28, 0x0D},
    {"Tab", 0xff09, 15, 0x09},
    {"Escape", 0xff1b, 1, 0x1B},
    {"BackSpace", 0xff08, 14, 0x08},
    {"Delete", 0xffff, 111, 0x2E},
    {"Insert", 0xff63, 110, 0x2D},
    {"Home", 0xff50, 102, 0x24},
    {"End", 0xff57, 107, 0x23},
    {"Page_Up", 0xff55, 104, 0x21},
    {"Page_Down", 0xff56, 109, 0x22},
    {"Left", 0xff51, 105, 0x25},
    {"Up", 0xff52, 103, 0x26},
    {"Right", 0xff53, 106, 0x27},
    {"Down", 0xff54, 108, 0x28},
    {"minus", 0x2d, 12, 0xBD},
    {"equal", 0x3d, 13, 0xBB},
    {"bracketleft", 0x5b, 26, 0xDB},
    {"bracketright", 0x5d, 27, 0xDD},
    {"semicolon", 0x3b, 39, 0xBA},
    {"apostrophe", 0x27, 40, 0xDE},
    {"grave", 0x60, 41, 0xC0},
    {"backslash", 0x5c, 43, 0xDC},
    {"comma", 0x2c, 51, 0xBC},
    {"period", 0x2e, 52, 0xBE},
    {"slash", 0x2f, 53, 0xBF},
    // Mouse actions: BTN_LEFT, BTN_MIDDLE, BTN_RIGHT; VK_LBUTTON, VK_MBUTTON, VK_RBUTTON.
    {"button1", 0, 0x110, 0x01, Pointer::kButton1},
    {"button2", 0, 0x112, 0x04, Pointer::kButton2},
    {"button3", 0, 0x111, 0x02, Pointer::kButton3},
    {"wheel_up", 0, 0, 0, Pointer::kWheelUp},
    {"wheel_down", 0, 0, 0, Pointer::kWheelDown},
    {"wheel_left", 0, 0, 0, Pointer::kWheelLeft},
    {"wheel_right", 0, 0, 0, Pointer::kWheelRight},
};

static_assert(std::size(kKeys) <= kMaxKeys);

struct Alias {
  const char* alias;
  const char* name;
};
constexpr Alias kAliases[] = {
    {"Enter", "Return"},     {"Esc", "Escape"},         {"PageUp", "Page_Up"},
    {"PageDown", "Page_Down"}, {"Prior", "Page_Up"},    {"Next", "Page_Down"},
    {"Backspace", "BackSpace"},
};

struct ModifierName {
  const char* name;
  Modifier modifier;
};
constexpr ModifierName kModifierNames[] = {
    {"ctrl", kCtrl}, {"control", kCtrl}, {"shift", kShift},
    {"alt", kAlt},   {"super", kSuper},  {"meta", kSuper},
};

std::optional<Modifier> FindModifier(std::string_view name) {
  for (const ModifierName& m : kModifierNames) {
    const std::string_view candidate = m.name;
    if (candidate.size() == name.size() &&
        std::equal(name.begin(), name.end(), candidate.begin(), [](char a, char b) {
          return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
        })) {
      return m.modifier;
    }
  }
  return std::nullopt;
}

}  // namespace

std::span<const KeyInfo> AllKeys() { return kKeys; }

std::optional<KeyId> FindKey(std::string_view name) {
  for (const Alias& alias : kAliases) {
    if (name == alias.alias) name = alias.name;
  }
  for (std::size_t i = 0; i < std::size(kKeys); ++i) {
    if (name == kKeys[i].name) return static_cast<KeyId>(i);
  }
  return std::nullopt;
}

bool IsWheelStep(KeyId key) { return key < std::size(kKeys) && IsWheel(kKeys[key].pointer); }

KeyId ModifierKey(Modifier modifier) {
  switch (modifier) {
    case kCtrl: return 0;
    case kShift: return 1;
    case kAlt: return 2;
    case kSuper: return 3;
  }
  return 0;
}

bool ParseCombo(std::string_view text, KeyCombo& combo, std::string& error) {
  combo = {};
  if (text.empty()) {
    error = "empty key combination";
    return false;
  }
  std::size_t start = 0;
  for (;;) {
    const std::size_t plus = text.find('+', start);
    const std::string_view part =
        text.substr(start, plus == std::string_view::npos ? std::string_view::npos : plus - start);
    if (part.empty()) {
      error = "empty part in key combination '" + std::string(text) + "'";
      return false;
    }
    if (combo.key) {
      error = "'" + std::string(text) + "': the key must come last, after the modifiers";
      return false;
    }
    if (const auto modifier = FindModifier(part)) {
      if ((combo.modifiers & *modifier) != 0) {
        error = "'" + std::string(text) + "' names a modifier twice";
        return false;
      }
      combo.modifiers |= *modifier;
    } else if (const auto key = FindKey(part)) {
      if (*key < 4) {  // Control_L and the like: say "ctrl" instead
        error = "'" + std::string(part) + "': name modifiers as ctrl, shift, alt or super";
        return false;
      }
      combo.key = key;
    } else {
      error = "unknown key name '" + std::string(part) + "'";
      if (part.size() == 1 && part[0] >= 'A' && part[0] <= 'Z') {
        error += " (letters are lower case; write shift+" +
                 std::string(1, static_cast<char>(part[0] - 'A' + 'a')) + " for a capital)";
      }
      return false;
    }
    if (plus == std::string_view::npos) break;
    start = plus + 1;
  }
  return true;
}

std::string ComboText(const KeyCombo& combo) {
  static constexpr const char* kNames[] = {"ctrl", "shift", "alt", "super"};
  std::string text;
  for (std::size_t i = 0; i < std::size(kModifierOrder); ++i) {
    if ((combo.modifiers & kModifierOrder[i]) == 0) continue;
    if (!text.empty()) text += '+';
    text += kNames[i];
  }
  if (combo.key) {
    if (!text.empty()) text += '+';
    text += kKeys[*combo.key].name;
  }
  return text;
}

}  // namespace jskeys
