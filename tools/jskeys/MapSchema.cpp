#include "MapSchema.h"

#include <charconv>
#include <map>

// Faults in the file come back as values; nothing is thrown through the map reader.
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include "MapPatterns.h"
#include "SerialJS.h"

namespace jskeys {
namespace {

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
      if (name == "modifiers" || name == "default" || name == "application") continue;
      return Fail(name.source(), "unknown field '" + std::string(name.str()) +
                                     "' (expected modifiers, default or application)");
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
        if (!ReadPattern(value, *pattern, isClass ? section.classPattern : section.titlePattern)) {
          return false;
        }
        if (isClass || section.pattern.empty()) section.pattern = *pattern;
      } else if (application && name == "name") {
        const std::optional<std::string> text = value.value_exact<std::string>();
        if (!text) return Fail(value.source(), "'name' must be a string");
        section.name = *text;
      } else {
        return Fail(name.source(),
                    "unknown field '" + std::string(name.str()) +
                        (application ? "' (expected class, title, name, keys, s_keys, c_keys, "
                                       "sc_keys, jog or shuttle)"
                                     : "' (expected keys, s_keys, c_keys, sc_keys, jog or shuttle)"));
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
                   std::shared_ptr<const re2::RE2>& compiled) {
    if (pattern.empty()) {
      return Fail(node.source(), "an empty pattern would match every window; leave the section out");
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
      if (const toml::table* detail = value.as_table()) {
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
        if (!send) return Fail(value.source(), "a key needs 'send'");
        if (!ReadCombo(*send, binding.combo)) return false;
        if (binding.hold && binding.combo.key && IsWheelStep(*binding.combo.key)) {
          return Fail(value.source(), "a wheel step cannot be held; leave out 'hold'");
        }
      } else if (!ReadCombo(value, binding.combo)) {
        return false;
      }
      keys[number] = binding;
    }
    return true;
  }

  bool ReadJog(const toml::node& node, Section& section) {
    const toml::table* table = node.as_table();
    if (!table) return Fail(node.source(), "'jog' must be a table");
    for (auto&& [name, value] : *table) {
      KeyCombo combo;
      if (name == "forward" || name == "back") {
        if (!ReadCombo(value, combo)) return false;
        (name == "forward" ? section.jogForward : section.jogBack) = KeyBinding{.kind = KeyBinding::Kind::kKeys, .combo = combo, .hold = false, .player = {}, .midi = {}, .midiUp = {}};
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
          position < -128 || position > 127 || position == 0) {
        return Fail(name.source(), "shuttle position out of -128..-1, 1..127: '" +
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
        return Fail(value.source(), "a shuttle position needs { send = KEY, every_ms = N }");
      }
      ShuttleRepeat repeat;
      const toml::node* send = nullptr;
      const toml::node* every = nullptr;
      for (auto&& [field, fieldValue] : *detail) {
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
      section.shuttle[static_cast<std::size_t>(position + 128)] = repeat;
    }
    return true;
  }

  const std::string& file_;
  MapError& error_;
  const std::atomic<bool>* abandon_;
  PatternBudget patterns_;
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
