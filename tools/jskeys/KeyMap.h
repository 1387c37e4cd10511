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

#include "Action.h"
#include "KeyNames.h"

namespace re2 {
class RE2;
}

namespace jskeys {

// The four key sets of the controller state, by the modifiers held when the key went down.
enum class ModifierClass : std::uint8_t { kNone, kS, kC, kSC };
inline constexpr std::size_t kModifierClasses = 4;
inline constexpr std::size_t kKeyCount = 9;

// What a key or a jog step does: a key combination, a player's command or a MIDI message.
struct KeyBinding {
  enum class Kind : std::uint8_t { kKeys, kPlayer, kMidi };
  Kind kind = Kind::kKeys;
  KeyCombo combo;     // kKeys
  bool hold = false;  // kKeys: pressed while the controller key is held, instead of a tap
  PlayerCommand player;  // kPlayer: when the key goes down (a jog: kSeek, once per step)
  // kMidi: a note (kNoteOn: its note-off when the key comes up) or a controller's value (a jog:
  // once per step)
  MidiMessage midi;
  std::optional<std::uint8_t> midiUp;  // a controller's value sent when the key comes up

  bool operator==(const KeyBinding&) const = default;
};

// What a shuttle position does while the ring is there.
struct ShuttleRepeat {
  enum class Kind : std::uint8_t { kRepeat, kSequence, kPlayer, kMidi };
  Kind kind = Kind::kRepeat;
  KeyCombo combo;  // kRepeat: tapped every `everyMs`
  std::uint32_t everyMs = 0;
  std::vector<KeyCombo> sequence;  // kSequence: tapped once each, in order, on reaching it
  PlayerCommand player;            // kPlayer: a rate, set on reaching it
  MidiMessage midi;                // kMidi: a controller's value, sent once on reaching it

  bool operator==(const ShuttleRepeat&) const = default;
};
inline constexpr std::size_t kMaxSequence = 16;
inline constexpr double kMaxPlayerRate = 32;

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
  std::optional<KeyBinding> jogForward;  // kKeys (tapped once a step), kPlayer or kMidi
  std::optional<KeyBinding> jogBack;
  // Index: position + 128. Position 0 (the ring at rest) takes only player and MIDI actions;
  // without one, a player the ring set a rate for is paused there and set back to rate 1.
  std::array<std::optional<ShuttleRepeat>, 256> shuttle{};
  std::string mpris;  // the player this section's player actions go to ("mpv"); empty: by focus

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
  bool usesPlayer = false;  // some section has a player action
  bool usesMidi = false;    // some section has a MIDI action
  // [midi] connect: the MIDI port goes to every JACK input port whose name one of these is found
  // in, now and whenever one appears. The texts as the map wrote them, beside.
  std::vector<std::shared_ptr<const re2::RE2>> midiConnect;
  std::vector<std::string> midiConnectText;
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
