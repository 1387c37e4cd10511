#include "MapSchema.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <initializer_list>
#include <map>

// Faults in the file come back as values; nothing is thrown through the map reader.
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include "MapPatterns.h"
#include "MapPlatform.h"
#include "SerialJS.h"

namespace jskeys {
namespace {

// Where an action is bound: each takes its own of the player's and MIDI actions.
enum class Place : std::uint8_t { kKey, kJog, kShuttle };

struct PlayerMethod {
  const char* name;
  PlayerCommand::Kind kind;
};
constexpr PlayerMethod kPlayerMethods[] = {
    {"play_pause", PlayerCommand::Kind::kPlayPause}, {"play", PlayerCommand::Kind::kPlay},
    {"pause", PlayerCommand::Kind::kPause},          {"stop", PlayerCommand::Kind::kStop},
    {"next", PlayerCommand::Kind::kNext},            {"previous", PlayerCommand::Kind::kPrevious},
    {"seek", PlayerCommand::Kind::kSeek},            {"rate", PlayerCommand::Kind::kRate}};
constexpr std::int64_t kMaxSeekMs = 3'600'000;
constexpr std::size_t kMaxPlayerName = 255;

// "a, b or c"
std::string Listed(std::initializer_list<std::string_view> names) {
  std::string text;
  for (std::size_t i = 0; const std::string_view name : names) {
    if (i++ > 0) text += i == names.size() ? " or " : ", ";
    text += name;
  }
  return text;
}

// A D-Bus name's characters: what MPRIS players are called after "org.mpris.MediaPlayer2.".
bool IsPlayerName(std::string_view name) {
  return !name.empty() && name.size() <= kMaxPlayerName &&
         std::all_of(name.begin(), name.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '-' || c == '.';
         });
}

// Walks the parsed document, stopping at the first fault with its place in the file.
class Reader {
 public:
  Reader(const std::string& file, MapError& error, const std::atomic<bool>* abandon)
      : file_(file), error_(error), abandon_(abandon) {}

  bool Abandoned() const { return abandon_ != nullptr && abandon_->load(); }

  bool Fail(const toml::source_region& where, std::string reason) {
    error_.file = file_;
    error_.line = where.begin.line;
    error_.column = where.begin.column;
    error_.reason = std::move(reason);
    return false;
  }

  bool ReadMap(const toml::table& root, KeyMap& map) {
    for (auto&& [name, node] : root) {
      if (name == "modifiers" || name == "default" || name == "application" || name == "midi") {
        continue;
      }
      return Fail(name.source(), "unknown field '" + std::string(name.str()) +
                                     "' (expected modifiers, default, application or midi)");
    }
    if (const toml::node* node = root.get("modifiers")) {
      if (!ReadModifiers(*node, map)) return false;
    }
    map.defaults.name = "default";
    if (const toml::node* node = root.get("default")) {
      const toml::table* table = node->as_table();
      if (!table) return Fail(node->source(), "'default' must be a table");
      if (!ReadSection(*table, map.defaults, map, false)) return false;
    }
    if (const toml::node* node = root.get("application")) {
      const toml::array* list = node->as_array();
      if (!list || !list->is_array_of_tables()) {
        return Fail(node->source(), "'application' must be sections written [[application]]");
      }
      if (list->size() > kMaxApplications) {
        return Fail(node->source(), "more than " + std::to_string(kMaxApplications) +
                                       " [[application]] sections");
      }
      for (const toml::node& entry : *list) {
        Section section = map.defaults;  // what it leaves out comes from the default
        section.name.clear();
        if (!ReadSection(*entry.as_table(), section, map, true)) return false;
        map.applications.push_back(std::move(section));
      }
    }
    if (const toml::node* node = root.get("midi")) {
      if (!ReadMidiPorts(*node, map)) return false;
    }
    map.usesPlayer = usesPlayer_;
    map.usesMidi = usesMidi_;
    return true;
  }

 private:
  bool ReadModifiers(const toml::node& node, KeyMap& map) {
    const toml::table* table = node.as_table();
    if (!table) return Fail(node.source(), "'modifiers' must be a table");
    for (auto&& [name, value] : *table) {
      std::uint32_t* target = name == "s" ? &map.sModifiers : name == "c" ? &map.cModifiers : nullptr;
      if (!target) {
        return Fail(name.source(), "unknown field 'modifiers." + std::string(name.str()) +
                                       "' (expected s or c)");
      }
      const toml::array* keys = value.as_array();
      if (!keys) return Fail(value.source(), "modifiers: a list of key numbers, e.g. [5]");
      for (const toml::node& key : *keys) {
        const std::optional<std::int64_t> number = key.value_exact<std::int64_t>();
        if (!number || *number < 0 || *number >= static_cast<std::int64_t>(kKeyCount)) {
          return Fail(key.source(), "key number out of 0..8");
        }
        *target |= SerialJS::kKeyMasks[static_cast<std::size_t>(*number)];
      }
    }
    if ((map.sModifiers & map.cModifiers) != 0) {
      return Fail(node.source(), "a key cannot be both an S and a C modifier");
    }
    return true;
  }

  bool ReadSection(const toml::table& table, Section& section, const KeyMap& map,
                   bool application) {
    static constexpr std::pair<const char*, ModifierClass> kKeyTables[] = {
        {"keys", ModifierClass::kNone},
        {"s_keys", ModifierClass::kS},
        {"c_keys", ModifierClass::kC},
        {"sc_keys", ModifierClass::kSC}};
    for (auto&& [name, value] : table) {
      bool known = false;
      for (const auto& [tableName, modifierClass] : kKeyTables) {
        if (name != tableName) continue;
        known = true;
        if (!ReadKeys(value, tableName, section.keys[static_cast<std::size_t>(modifierClass)],
                      map)) {
          return false;
        }
      }
      if (known) continue;
      if (name == "jog") {
        if (!ReadJog(value, section)) return false;
      } else if (name == "shuttle") {
        if (!ReadShuttle(value, section)) return false;
      } else if (application && (name == "class" || name == "title")) {
        const std::optional<std::string> pattern = value.value_exact<std::string>();
        if (!pattern) {
          return Fail(value.source(), "'" + std::string(name.str()) +
                                          "' must be a string (a regular expression)");
        }
        const bool isClass = name == "class";
        if (!ReadPattern(value, *pattern, isClass ? section.classPattern : section.titlePattern,
                         "window; leave the section out")) {
          return false;
        }
        if (isClass || section.pattern.empty()) section.pattern = *pattern;
      } else if (name == "mpris") {
        if (const char* refusal = PlayerActionsRefusal()) return Fail(value.source(), refusal);
        const std::optional<std::string> player = value.value_exact<std::string>();
        if (!player || !IsPlayerName(*player)) {
          return Fail(value.source(),
                      "'mpris' must be a player's D-Bus name, e.g. \"mpv\": letters, digits, "
                      "'_', '-' and '.', at most 255");
        }
        section.mpris = *player;
      } else if (application && name == "name") {
        const std::optional<std::string> text = value.value_exact<std::string>();
        if (!text) return Fail(value.source(), "'name' must be a string");
        section.name = *text;
      } else {
        return Fail(name.source(),
                    "unknown field '" + std::string(name.str()) +
                        (application ? "' (expected class, title, name, mpris, keys, s_keys, "
                                       "c_keys, sc_keys, jog or shuttle)"
                                     : "' (expected mpris, keys, s_keys, c_keys, sc_keys, jog or "
                                       "shuttle)"));
      }
    }
    if (application) {
      if (!section.classPattern && !section.titlePattern) {
        return Fail(table.source(), "an application needs a 'class' or a 'title'");
      }
      if (section.name.empty()) section.name = section.pattern;
    }
    return true;
  }

  bool ReadPattern(const toml::node& node, const std::string& pattern,
                   std::shared_ptr<const re2::RE2>& compiled, const char* everything) {
    if (pattern.empty()) {
      return Fail(node.source(), std::string("an empty pattern would match every ") + everything);
    }
    if (pattern.size() > kMaxPatternLength) {
      return Fail(node.source(), "a pattern longer than " + std::to_string(kMaxPatternLength) +
                                     " bytes");
    }
    if (Abandoned()) return Fail(node.source(), kAbandoned);
    std::string reason;
    if (!patterns_.Compile(pattern, compiled, reason)) return Fail(node.source(), reason);
    return true;
  }

  bool ReadCombo(const toml::node& node, KeyCombo& combo) {
    const std::optional<std::string> text = node.value_exact<std::string>();
    if (!text) return Fail(node.source(), "a key combination must be a string, e.g. \"ctrl+z\"");
    std::string reason;
    if (!ParseCombo(*text, combo, reason)) return Fail(node.source(), reason);
    return true;
  }

  bool ReadKeys(const toml::node& node, const char* tableName,
                std::array<std::optional<KeyBinding>, kKeyCount>& keys, const KeyMap& map) {
    const toml::table* table = node.as_table();
    if (!table) return Fail(node.source(), std::string("'") + tableName + "' must be a table");
    for (auto&& [name, value] : *table) {
      std::size_t number = 0;
      const std::string_view text = name.str();
      const auto [end, fault] = std::from_chars(text.data(), text.data() + text.size(), number);
      if (fault != std::errc() || end != text.data() + text.size() || number >= kKeyCount) {
        return Fail(name.source(), "key number out of 0..8: '" + std::string(text) + "'");
      }
      if ((SerialJS::kKeyMasks[number] & (map.sModifiers | map.cModifiers)) != 0) {
        return Fail(name.source(), "key " + std::to_string(number) +
                                       " is a modifier key and sends nothing of its own");
      }
      KeyBinding binding;
      if (!ReadBinding(value, Place::kKey, binding)) return false;
      keys[number] = binding;
    }
    return true;
  }

  // A key's or a jog step's action: a combination (for a key also { send, hold }), or a
  // player's or a MIDI action.
  bool ReadBinding(const toml::node& value, Place place, KeyBinding& binding) {
    const toml::table* detail = value.as_table();
    if (!detail) return ReadCombo(value, binding.combo);
    if (detail->get("player")) {
      binding.kind = KeyBinding::Kind::kPlayer;
      return ReadPlayer(*detail, place, binding.player);
    }
    if (detail->get("midi")) {
      binding.kind = KeyBinding::Kind::kMidi;
      return ReadMidi(*detail, place, binding.midi, binding.midiUp);
    }
    if (place == Place::kJog) {
      return Fail(value.source(), "a jog step takes a combination, { player = \"seek\", ms = N } "
                                  "or { midi = \"cc\", cc = N, value = N }");
    }
    const toml::node* send = nullptr;
    for (auto&& [field, fieldValue] : *detail) {
      if (field == "send") {
        send = &fieldValue;
      } else if (field == "hold") {
        const std::optional<bool> hold = fieldValue.value_exact<bool>();
        if (!hold) return Fail(fieldValue.source(), "'hold' must be true or false");
        binding.hold = *hold;
      } else {
        return Fail(field.source(), "unknown field '" + std::string(field.str()) +
                                        "' (expected send or hold)");
      }
    }
    if (!send) return Fail(value.source(), "a key needs 'send', 'player' or 'midi'");
    if (!ReadCombo(*send, binding.combo)) return false;
    if (binding.hold && binding.combo.key && IsWheelStep(*binding.combo.key)) {
      return Fail(value.source(), "a wheel step cannot be held; leave out 'hold'");
    }
    return true;
  }

  // Refuses a field of `table` that is not one of `known`.
  bool OnlyFields(const toml::table& table, std::initializer_list<std::string_view> known) {
    for (auto&& [field, value] : table) {
      if (std::find(known.begin(), known.end(), field.str()) == known.end()) {
        return Fail(field.source(), "unknown field '" + std::string(field.str()) + "' (expected " +
                                        Listed(known) + ")");
      }
    }
    return true;
  }

  // A whole number from `low` to `high`; left out: `fallback`, or refused without one.
  bool ReadNumber(const toml::table& table, std::string_view name, const char* what,
                  std::int64_t low, std::int64_t high, std::optional<std::int64_t> fallback,
                  std::int64_t& number) {
    const toml::node* node = table.get(name);
    if (!node) {
      if (!fallback) return Fail(table.source(), std::string(what) + " needs '" + std::string(name) + "'");
      number = *fallback;
      return true;
    }
    const std::optional<std::int64_t> value = node->value_exact<std::int64_t>();
    if (!value || *value < low || *value > high) {
      return Fail(node->source(), "'" + std::string(name) + "' must be a whole number from " +
                                      std::to_string(low) + " to " + std::to_string(high));
    }
    number = *value;
    return true;
  }

  // A held player's or MIDI action would have nothing to let go of, or a note-off already.
  bool RefuseHold(const toml::table& table) {
    if (const toml::node* hold = table.get("hold")) {
      return Fail(hold->source(), "only a key combination can be held; leave out 'hold'");
    }
    return true;
  }

  bool ReadPlayer(const toml::table& table, Place place, PlayerCommand& command) {
    usesPlayer_ = true;
    const toml::node& method = *table.get("player");
    if (const char* refusal = PlayerActionsRefusal()) return Fail(method.source(), refusal);
    const std::optional<std::string> name = method.value_exact<std::string>();
    const PlayerMethod* found = nullptr;
    for (const PlayerMethod& known : kPlayerMethods) {
      if (name && *name == known.name) found = &known;
    }
    if (!found) {
      return Fail(method.source(), "unknown player action (expected play_pause, play, pause, "
                                   "stop, next, previous, seek or rate)");
    }
    command = PlayerCommand{.kind = found->kind, .ms = 0, .rate = 0};
    using Kind = PlayerCommand::Kind;
    if (place == Place::kJog && found->kind != Kind::kSeek) {
      return Fail(method.source(), "a jog step takes player = \"seek\", ms = N");
    }
    if (place != Place::kShuttle && found->kind == Kind::kRate) {
      return Fail(method.source(), "a rate is for shuttle positions");
    }
    if (!RefuseHold(table)) return false;
    if (found->kind == Kind::kSeek) {
      if (!OnlyFields(table, {"player", "ms"})) return false;
      const toml::node* ms = table.get("ms");
      const std::optional<std::int64_t> value = ms ? ms->value_exact<std::int64_t>() : std::nullopt;
      if (!value || *value == 0 || *value < -kMaxSeekMs || *value > kMaxSeekMs) {
        return Fail(ms ? ms->source() : table.source(),
                    "a seek needs 'ms', a whole number of milliseconds from -3600000 to 3600000, "
                    "not 0");
      }
      command.ms = static_cast<std::int32_t>(*value);
    } else if (found->kind == Kind::kRate) {
      if (!OnlyFields(table, {"player", "rate"})) return false;
      const toml::node* rate = table.get("rate");
      // An integer is a rate as well as a float is.
      const std::optional<double> value = rate ? rate->value<double>() : std::nullopt;
      if (!value || !std::isfinite(*value) || *value == 0 || std::fabs(*value) > kMaxPlayerRate) {
        return Fail(rate ? rate->source() : table.source(),
                    "a rate needs 'rate', a number from -32 to 32, not 0");
      }
      command.rate = *value;
    } else if (!OnlyFields(table, {"player"})) {
      return false;
    }
    return true;
  }

  bool ReadMidi(const toml::table& table, Place place, MidiMessage& message,
                std::optional<std::uint8_t>& up) {
    usesMidi_ = true;
    const toml::node& kind = *table.get("midi");
    if (const char* refusal = MidiActionsRefusal()) return Fail(kind.source(), refusal);
    const std::optional<std::string> text = kind.value_exact<std::string>();
    if (!text || (*text != "note" && *text != "cc")) {
      return Fail(kind.source(), "unknown MIDI action (expected note or cc)");
    }
    const bool note = *text == "note";
    if (note && place != Place::kKey) {
      return Fail(kind.source(), "a note is for keys; here write midi = \"cc\"");
    }
    if (!RefuseHold(table)) return false;
    std::int64_t number = 0, value = 0, channel = 0;
    if (note) {
      if (!OnlyFields(table, {"midi", "note", "velocity", "channel"}) ||
          !ReadNumber(table, "note", "a note", 0, 127, std::nullopt, number) ||
          !ReadNumber(table, "velocity", "a note", 1, 127, 127, value)) {
        return false;
      }
    } else {
      const bool fields = place == Place::kKey
                              ? OnlyFields(table, {"midi", "cc", "value", "channel", "up"})
                              : OnlyFields(table, {"midi", "cc", "value", "channel"});
      if (!fields || !ReadNumber(table, "cc", "a cc", 0, 127, std::nullopt, number) ||
          !ReadNumber(table, "value", "a cc", 0, 127, std::nullopt, value)) {
        return false;
      }
      if (table.get("up")) {
        std::int64_t upValue = 0;
        if (!ReadNumber(table, "up", "a cc", 0, 127, std::nullopt, upValue)) return false;
        up = static_cast<std::uint8_t>(upValue);
      }
    }
    if (!ReadNumber(table, "channel", "a MIDI action", 1, 16, 1, channel)) return false;
    message = MidiMessage{.kind = note ? MidiMessage::Kind::kNoteOn : MidiMessage::Kind::kControl,
                          .channel = static_cast<std::uint8_t>(channel - 1),
                          .number = static_cast<std::uint8_t>(number),
                          .value = static_cast<std::uint8_t>(value)};
    return true;
  }

  // [midi] connect: the JACK ports the MIDI port goes to, found by pattern.
  bool ReadMidiPorts(const toml::node& node, KeyMap& map) {
    if (const char* refusal = MidiActionsRefusal()) return Fail(node.source(), refusal);
    const toml::table* table = node.as_table();
    if (!table) return Fail(node.source(), "'midi' must be a table");
    for (auto&& [name, value] : *table) {
      if (name != "connect") {
        return Fail(name.source(), "unknown field 'midi." + std::string(name.str()) +
                                       "' (expected connect)");
      }
      const toml::array* list = value.as_array();
      if (!list) {
        return Fail(value.source(), "'connect' must be a list of patterns, e.g. [\"Ardour\"]");
      }
      for (const toml::node& entry : *list) {
        const std::optional<std::string> pattern = entry.value_exact<std::string>();
        if (!pattern) {
          return Fail(entry.source(), "'connect' must be a list of patterns, e.g. [\"Ardour\"]");
        }
        std::shared_ptr<const re2::RE2> compiled;
        if (!ReadPattern(entry, *pattern, compiled, "port")) return false;
        map.midiConnect.push_back(std::move(compiled));
        map.midiConnectText.push_back(*pattern);
      }
    }
    return true;
  }

  bool ReadJog(const toml::node& node, Section& section) {
    const toml::table* table = node.as_table();
    if (!table) return Fail(node.source(), "'jog' must be a table");
    for (auto&& [name, value] : *table) {
      if (name == "forward" || name == "back") {
        KeyBinding binding;
        if (!ReadBinding(value, Place::kJog, binding)) return false;
        (name == "forward" ? section.jogForward : section.jogBack) = binding;
      } else {
        return Fail(name.source(), "unknown field 'jog." + std::string(name.str()) +
                                       "' (expected forward or back)");
      }
    }
    return true;
  }

  bool ReadShuttle(const toml::node& node, Section& section) {
    const toml::table* table = node.as_table();
    if (!table) return Fail(node.source(), "'shuttle' must be a table");
    std::map<int, toml::source_region> positions;  // "+1" and 1 are one position
    for (auto&& [name, value] : *table) {
      std::string_view text = name.str();
      const bool negative = !text.empty() && text.front() == '-';
      if (!text.empty() && (text.front() == '-' || text.front() == '+')) text.remove_prefix(1);
      int magnitude = 0;
      const auto [end, fault] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
      const int position = negative ? -magnitude : magnitude;
      if (text.empty() || text.front() < '0' || text.front() > '9' || fault != std::errc() || end != text.data() + text.size() ||
          position < -128 || position > 127) {
        return Fail(name.source(), "shuttle position out of -128..127: '" +
                                       std::string(name.str()) + "'");
      }
      if (const auto [first, added] = positions.emplace(position, name.source()); !added) {
        // Said where the file gives it the second time, whatever order the table keeps.
        const bool later = name.source().begin.line > first->second.begin.line;
        return Fail(later ? name.source() : first->second,
                    "shuttle position " + std::to_string(position) + " is given twice");
      }
      const toml::table* detail = value.as_table();
      if (!detail) {
        return Fail(value.source(), "a shuttle position needs { send = KEY, every_ms = N }, "
                                    "{ sequence = [KEY, ...] }, or a player or MIDI action");
      }
      ShuttleRepeat repeat;
      if (detail->get("player")) {
        repeat.kind = ShuttleRepeat::Kind::kPlayer;
        if (!ReadPlayer(*detail, Place::kShuttle, repeat.player)) return false;
      } else if (detail->get("midi")) {
        repeat.kind = ShuttleRepeat::Kind::kMidi;
        std::optional<std::uint8_t> up;
        if (!ReadMidi(*detail, Place::kShuttle, repeat.midi, up)) return false;
      } else if (position == 0) {
        return Fail(name.source(), "shuttle position 0 is the ring at rest: it takes a player or "
                                   "a MIDI action, not keys");
      } else if (detail->get("sequence")) {
        repeat.kind = ShuttleRepeat::Kind::kSequence;
        if (!ReadSequence(*detail, repeat.sequence)) return false;
      } else if (!ReadRepeat(value, *detail, repeat)) {
        return false;
      }
      section.shuttle[static_cast<std::size_t>(position + 128)] = std::move(repeat);
    }
    return true;
  }

  bool ReadSequence(const toml::table& table, std::vector<KeyCombo>& sequence) {
    if (!OnlyFields(table, {"sequence"})) return false;
    const toml::node& node = *table.get("sequence");
    const toml::array* list = node.as_array();
    if (!list || list->empty() || list->size() > kMaxSequence) {
      return Fail(node.source(), "a sequence is a list of 1 to " + std::to_string(kMaxSequence) +
                                     " combinations, e.g. [\"k\", \"l\", \"l\"]");
    }
    for (const toml::node& entry : *list) {
      if (!ReadCombo(entry, sequence.emplace_back())) return false;
    }
    return true;
  }

  bool ReadRepeat(const toml::node& value, const toml::table& detail, ShuttleRepeat& repeat) {
    const toml::node* send = nullptr;
    const toml::node* every = nullptr;
    for (auto&& [field, fieldValue] : detail) {
      if (field == "send") {
        send = &fieldValue;
      } else if (field == "every_ms") {
        every = &fieldValue;
      } else {
        return Fail(field.source(), "unknown field '" + std::string(field.str()) +
                                        "' (expected send or every_ms)");
      }
    }
    if (!send || !every) {
      return Fail(value.source(), "a shuttle position needs both 'send' and 'every_ms'");
    }
    if (!ReadCombo(*send, repeat.combo)) return false;
    const std::optional<std::int64_t> ms = every->value_exact<std::int64_t>();
    if (!ms || *ms < kMinEveryMs || *ms > kMaxEveryMs) {
      return Fail(every->source(), "bad rate: every_ms must be a whole number from " +
                                       std::to_string(kMinEveryMs) + " to " +
                                       std::to_string(kMaxEveryMs));
    }
    repeat.everyMs = static_cast<std::uint32_t>(*ms);
    return true;
  }

  const std::string& file_;
  MapError& error_;
  const std::atomic<bool>* abandon_;
  PatternBudget patterns_;
  bool usesPlayer_ = false;
  bool usesMidi_ = false;
};

}  // namespace

bool ReadMapText(std::string_view ascii, const std::string& file, KeyMap& map, MapError& error,
                 const std::atomic<bool>* abandon) {
  toml::parse_result result = toml::parse(ascii, file);
  if (!result) {
    const toml::parse_error& fault = result.error();
    error.file = file;
    error.line = fault.source().begin.line;
    error.column = fault.source().begin.column;
    error.reason = std::string(fault.description());
    // toml++ words a key given twice with the key's raw text pasted in; say it plainly.
    if (error.reason.find("cannot redefine existing") != std::string::npos) {
      error.reason = "a key given twice";
    }
    return false;
  }
  Reader reader(file, error, abandon);
  if (reader.Abandoned()) {
    error = {file, 0, 0, kAbandoned};
    return false;
  }
  return reader.ReadMap(result.table(), map);
}

}  // namespace jskeys
