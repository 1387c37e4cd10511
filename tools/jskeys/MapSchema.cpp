// The map's document: its tables, the modifiers, each section's patterns, keys, jog and shuttle.

#include "MapSchema.h"

#include <charconv>
#include <map>

#include "MapReader.h"
#include "SerialJS.h"

namespace jskeys {

bool MapReader::Fail(const toml::source_region& where, std::string reason) {
  error_.file = file_;
  error_.line = where.begin.line;
  error_.column = where.begin.column;
  error_.reason = std::move(reason);
  return false;
}

bool MapReader::FailUnknown(const toml::key& field, std::string_view expected,
                            std::string_view within) {
  std::string name(within);
  if (!name.empty()) name += '.';
  name += field.str();
  return Fail(field.source(),
              "unknown field '" + name + "' (expected " + std::string(expected) + ")");
}

bool MapReader::ReadMap(const toml::table& root, KeyMap& map) {
  for (auto&& [name, node] : root) {
    if (name != "modifiers" && name != "default" && name != "application" && name != "midi") {
      return FailUnknown(name, "modifiers, default, application or midi");
    }
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
      return Fail(node->source(),
                  "more than " + std::to_string(kMaxApplications) + " [[application]] sections");
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

bool MapReader::ReadModifiers(const toml::node& node, KeyMap& map) {
  const toml::table* table = node.as_table();
  if (!table) return Fail(node.source(), "'modifiers' must be a table");
  for (auto&& [name, value] : *table) {
    std::uint32_t* target = name == "s" ? &map.sModifiers : name == "c" ? &map.cModifiers : nullptr;
    if (!target) return FailUnknown(name, "s or c", "modifiers");
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

bool MapReader::ReadSection(const toml::table& table, Section& section, const KeyMap& map,
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
      if (!ReadKeys(value, tableName, section.keys[static_cast<std::size_t>(modifierClass)], map)) {
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
        return Fail(value.source(),
                    "'" + std::string(name.str()) + "' must be a string (a regular expression)");
      }
      const bool isClass = name == "class";
      if (!ReadPattern(value, *pattern, isClass ? section.classPattern : section.titlePattern,
                       "window; leave the section out")) {
        return false;
      }
      if (isClass || section.pattern.empty()) section.pattern = *pattern;
    } else if (name == "mpris") {
      if (!ReadMpris(value, section)) return false;
    } else if (application && name == "name") {
      const std::optional<std::string> text = value.value_exact<std::string>();
      if (!text) return Fail(value.source(), "'name' must be a string");
      section.name = *text;
    } else {
      return FailUnknown(name, application
                                   ? "class, title, name, mpris, keys, s_keys, c_keys, "
                                     "sc_keys, jog or shuttle"
                                   : "mpris, keys, s_keys, c_keys, sc_keys, jog or shuttle");
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

bool MapReader::ReadPattern(const toml::node& node, const std::string& pattern,
                            std::shared_ptr<const re2::RE2>& compiled, const char* everything) {
  if (pattern.empty()) {
    return Fail(node.source(), std::string("an empty pattern would match every ") + everything);
  }
  if (pattern.size() > kMaxPatternLength) {
    return Fail(node.source(),
                "a pattern longer than " + std::to_string(kMaxPatternLength) + " bytes");
  }
  if (Abandoned()) return Fail(node.source(), kAbandoned);
  std::string reason;
  if (!patterns_.Compile(pattern, compiled, reason)) return Fail(node.source(), reason);
  return true;
}

bool MapReader::ReadCombo(const toml::node& node, KeyCombo& combo) {
  const std::optional<std::string> text = node.value_exact<std::string>();
  if (!text) return Fail(node.source(), "a key combination must be a string, e.g. \"ctrl+z\"");
  std::string reason;
  if (!ParseCombo(*text, combo, reason)) return Fail(node.source(), reason);
  return true;
}

bool MapReader::ReadKeys(const toml::node& node, const char* tableName,
                         std::array<std::optional<KeyBinding>, kKeyCount>& keys,
                         const KeyMap& map) {
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

bool MapReader::ReadBinding(const toml::node& value, Place place, KeyBinding& binding) {
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
    return Fail(value.source(),
                "a jog step takes a combination, { player = \"seek\", ms = N } "
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
      return FailUnknown(field, "send or hold");
    }
  }
  if (!send) return Fail(value.source(), "a key needs 'send', 'player' or 'midi'");
  if (!ReadCombo(*send, binding.combo)) return false;
  if (binding.hold && binding.combo.key && IsWheelStep(*binding.combo.key)) {
    return Fail(value.source(), "a wheel step cannot be held; leave out 'hold'");
  }
  return true;
}

bool MapReader::ReadJog(const toml::node& node, Section& section) {
  const toml::table* table = node.as_table();
  if (!table) return Fail(node.source(), "'jog' must be a table");
  for (auto&& [name, value] : *table) {
    if (name == "forward" || name == "back") {
      KeyBinding binding;
      if (!ReadBinding(value, Place::kJog, binding)) return false;
      (name == "forward" ? section.jogForward : section.jogBack) = binding;
    } else {
      return FailUnknown(name, "forward or back", "jog");
    }
  }
  return true;
}

bool MapReader::ReadShuttle(const toml::node& node, Section& section) {
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
    if (text.empty() || text.front() < '0' || text.front() > '9' || fault != std::errc() ||
        end != text.data() + text.size() || position < -128 || position > 127) {
      return Fail(name.source(),
                  "shuttle position out of -128..127: '" + std::string(name.str()) + "'");
    }
    if (const auto [first, added] = positions.emplace(position, name.source()); !added) {
      // Said where the file gives it the second time, whatever order the table keeps.
      const bool later = name.source().begin.line > first->second.begin.line;
      return Fail(later ? name.source() : first->second,
                  "shuttle position " + std::to_string(position) + " is given twice");
    }
    const toml::table* detail = value.as_table();
    if (!detail) {
      return Fail(value.source(),
                  "a shuttle position needs { send = KEY, every_ms = N }, "
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
      return Fail(name.source(),
                  "shuttle position 0 is the ring at rest: it takes a player or "
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

bool MapReader::ReadRepeat(const toml::node& value, const toml::table& detail,
                           ShuttleRepeat& repeat) {
  if (!OnlyFields(detail, {"send", "every_ms"})) return false;
  const toml::node* send = detail.get("send");
  const toml::node* every = detail.get("every_ms");
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

bool ReadMapText(std::string_view ascii, const std::string& file, KeyMap& map, MapError& error,
                 const std::atomic<bool>* abandon) {
  MapReader reader(file, error, abandon);
  toml::parse_result result = toml::parse(ascii, file);
  if (!result) {
    const toml::parse_error& fault = result.error();
    reader.Fail(fault.source(), std::string(fault.description()));
    // toml++ words a key given twice with the key's raw text pasted in; say it plainly.
    if (error.reason.find("cannot redefine existing") != std::string::npos) {
      error.reason = "a key given twice";
    }
    return false;
  }
  if (reader.Abandoned()) {
    error = {file, 0, 0, kAbandoned};
    return false;
  }
  return reader.ReadMap(result.table(), map);
}

}  // namespace jskeys
