#pragma once
// The key map: what each key (by modifier class), each jog step and each shuttle position
// sends, per application. Read from TOML; see DefaultMapText() for the format.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "KeyNames.h"

namespace re2 {
class RE2;
}

namespace jskeys {

// The four key sets of the controller state, by the modifiers held when the key went down.
enum class ModifierClass : std::uint8_t { kNone, kS, kC, kSC };
inline constexpr std::size_t kModifierClasses = 4;
inline constexpr std::size_t kKeyCount = 9;

struct KeyBinding {
  KeyCombo combo;
  bool hold = false;  // pressed while the controller key is held, instead of a tap
};

struct ShuttleRepeat {
  KeyCombo combo;
  std::uint32_t everyMs = 0;
};

inline constexpr std::uint32_t kMinEveryMs = 5;
inline constexpr std::uint32_t kMaxEveryMs = 10'000;

// Map files are copied from anywhere: what one may ask of us is bounded. A pattern runs in time
// linear in the text (RE2: no backtracking, no recursion), and the texts a window gives are cut.
inline constexpr std::size_t kMaxMapFile = 1024 * 1024;
inline constexpr std::size_t kMaxPatternLength = 1024;
inline constexpr std::size_t kMaxApplications = 256;
inline constexpr std::size_t kMaxWindowText = 1024;
// The parser recurses with depth: a key or table name ("default.shuttle") has at most this many
// dotted parts and bytes, and tables, arrays and inline tables nest at most this deep, each part
// of a name counting as a level.
inline constexpr std::size_t kMaxKeyParts = 8;
inline constexpr std::size_t kMaxKeyLength = 128;
inline constexpr std::uint32_t kMaxNesting = 16;
// RE2's memory for a pattern (its programs and the cache it matches with), at most; and for all
// of a map's patterns together. The programs' size bounds a match's time as well.
inline constexpr std::size_t kPatternMemory = 512 * 1024;
inline constexpr std::size_t kMapPatternMemory = 16 * 1024 * 1024;

struct Section {
  std::string name;     // "default", or the application's name (its class pattern if unnamed)
  std::string pattern;  // the class pattern, or else the title pattern; empty for the default
  // Searched for in the focused window's class (X11 WM_CLASS, Wayland app_id) and title; a
  // section with both needs both to match. Null: any.
  std::shared_ptr<const re2::RE2> classPattern;
  std::shared_ptr<const re2::RE2> titlePattern;
  std::array<std::array<std::optional<KeyBinding>, kKeyCount>, kModifierClasses> keys{};
  std::optional<KeyCombo> jogForward;
  std::optional<KeyCombo> jogBack;
  std::array<std::optional<ShuttleRepeat>, 256> shuttle{};  // index: position + 128

  const std::optional<ShuttleRepeat>& ShuttleAt(std::int32_t position) const {
    return shuttle[static_cast<std::size_t>(position + 128) & 0xFF];
  }
};

struct KeyMap {
  std::uint32_t sModifiers = 0;  // key bits (SerialJS::kKeyMasks), for SetModifierMasks
  std::uint32_t cModifiers = 0;
  Section defaults;
  std::vector<Section> applications;  // in the file's order; an application's section holds
                                      // the default's bindings where it names none itself
};

struct MapError {
  std::string file;
  std::uint32_t line = 0;  // 0: no position
  std::uint32_t column = 0;
  std::string reason;

  // "keys.toml:12:5: unknown key name 'foo'", safe for a terminal (the map's words escaped) and
  // of a sane length however long they were.
  std::string Text() const;
};

// Parses and checks a map. `file` names it in errors. False with `error` set at the first fault.
// `abandon`, when given, may be set from another thread to make a read under way give up soon.
bool ParseMap(std::string_view text, const std::string& file, KeyMap& map, MapError& error,
              const std::atomic<bool>* abandon = nullptr);
// Reads the file (a regular file of at most kMaxMapFile bytes) and parses it.
bool LoadMap(const std::string& path, KeyMap& map, MapError& error,
             const std::atomic<bool>* abandon = nullptr);

// The built-in map, for video editing.
std::string_view DefaultMapText();

// The section for a window: the first application whose patterns are found in its class and title
// (in their first kMaxWindowText bytes), else default.
const Section& SectionFor(const KeyMap& map, std::string_view windowClass,
                          std::string_view title = {});

}  // namespace jskeys
