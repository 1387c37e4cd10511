#include "KeyMap.h"

#include <re2/re2.h>

#include <charconv>
#include <cstdio>
#include <map>

// Faults in the file come back as values; nothing is thrown through the map reader.
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include "LogFormat.h"
#include "SerialJS.h"
#include "SmallFile.h"

namespace jskeys {
namespace {

// Walks the parsed document, stopping at the first fault with its place in the file.
class Reader {
 public:
  Reader(const std::string& file, MapError& error) : file_(file), error_(error) {}

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
    RE2::Options options;
    options.set_log_errors(false);
    auto made = std::make_shared<const re2::RE2>(pattern, options);
    if (!made->ok()) {
      return Fail(node.source(), "bad regular expression '" + pattern + "': " + made->error());
    }
    compiled = std::move(made);
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
        (name == "forward" ? section.jogForward : section.jogBack) = combo;
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
};

// The length of the UTF-8 sequence at the front of `text` and its code point; 0 when there is
// no valid one.
std::size_t DecodeUtf8(std::string_view text, char32_t& point) {
  const auto lead = static_cast<unsigned char>(text[0]);
  const std::size_t length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (length == 0 || text.size() < length || lead >= 0xF8) return 0;
  point = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[i]);
    if ((next & 0xC0) != 0x80) return 0;
    point = (point << 6) | (next & 0x3F);
  }
  static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (point < kLeast[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return 0;
  return length;
}

// toml++ 3.3 (as Debian 12 ships it) reaches undefined behaviour when it asks whether a non-ASCII
// character is whitespace, and TOML has no place for one outside strings and comments anyway.
// So the parser is given ASCII only: in a "basic" string each such character becomes its \u
// escape, in a comment a space; anywhere else it is refused (line and column, from 1). Where
// this reading of the file and the parser's part ways, the parser sees an escape out of place,
// never the character.
bool MakeAscii(std::string_view text, std::string& ascii, MapError& error) {
  enum class In { kCode, kComment, kBasic, kLiteral, kMultiBasic, kMultiLiteral } in = In::kCode;
  std::uint32_t line = 1;
  std::size_t lineStart = 0;
  ascii.clear();
  ascii.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (static_cast<unsigned char>(c) >= 0x80) {
      char32_t point = 0;
      const std::size_t length = DecodeUtf8(text.substr(i), point);
      const char* refusal = length == 0                                     ? "a byte that is not UTF-8"
                            : in == In::kBasic || in == In::kMultiBasic || in == In::kComment
                                ? nullptr
                                : in == In::kCode ? "a character that is not ASCII outside a quoted "
                                                    "string or comment"
                                                  : "a character that is not ASCII in a 'literal' "
                                                    "string (write it in a \"basic\" one)";
      if (refusal != nullptr) {
        error.line = line;
        error.column = static_cast<std::uint32_t>(i - lineStart + 1);
        error.reason = refusal;
        return false;
      }
      if (in == In::kComment) {
        ascii.push_back(' ');
      } else {
        char escape[16];
        std::snprintf(escape, sizeof escape, point > 0xFFFF ? "\\U%08X" : "\\u%04X",
                      static_cast<unsigned>(point));
        ascii += escape;
      }
      i += length;
      continue;
    }
    auto ahead = [&](std::string_view word) { return text.substr(i, word.size()) == word; };
    std::size_t take = 1;
    switch (in) {
      case In::kCode:
        if (c == '#') {
          in = In::kComment;
        } else if (ahead("\"\"\"") || ahead("'''")) {
          in = c == '"' ? In::kMultiBasic : In::kMultiLiteral;
          take = 3;
        } else if (c == '"' || c == '\'') {
          in = c == '"' ? In::kBasic : In::kLiteral;
        }
        break;
      case In::kComment:
        if (c == '\n') in = In::kCode;
        break;
      case In::kBasic:
      case In::kMultiBasic:
        if (c == '\\' && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0x80) {
          take = 2;  // an escaped character, whatever it is
        } else if (in == In::kBasic ? c == '"' || c == '\n' : ahead("\"\"\"")) {
          take = in == In::kBasic ? 1 : 3;
          in = In::kCode;
        }
        break;
      case In::kLiteral:
      case In::kMultiLiteral:
        if (in == In::kLiteral ? c == '\'' || c == '\n' : ahead("'''")) {
          take = in == In::kLiteral ? 1 : 3;
          in = In::kCode;
        }
        break;
    }
    for (std::size_t k = 0; k < take && i < text.size(); ++k, ++i) {
      ascii.push_back(text[i]);
      if (text[i] == '\n') {
        ++line;
        lineStart = i + 1;
      }
    }
  }
  return true;
}

}  // namespace

std::string MapError::Text() const {
  std::string text = jslog::SafeText(file);
  if (line != 0) text += ':' + std::to_string(line) + ':' + std::to_string(column);
  return text + ": " + jslog::SafeText(reason);
}

bool ParseMap(std::string_view text, const std::string& file, KeyMap& map, MapError& error) {
  map = KeyMap{};
  std::string ascii;
  if (!MakeAscii(text, ascii, error)) {
    error.file = file;
    return false;
  }
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
  Reader reader(file, error);
  if (!reader.ReadMap(result.table(), map)) {
    map = KeyMap{};
    return false;
  }
  return true;
}

bool LoadMap(const std::string& path, KeyMap& map, MapError& error) {
  std::string text, reason;
  if (!jsprogram::ReadSmallFile(path, kMaxMapFile, text, reason)) {
    error = {path, 0, 0, reason};
    return false;
  }
  return ParseMap(text, path, map, error);
}

const Section& SectionFor(const KeyMap& map, std::string_view windowClass,
                          std::string_view title) {
  auto found = [](const std::shared_ptr<const re2::RE2>& pattern, std::string_view text) {
    text = text.substr(0, kMaxWindowText);
    return !pattern || RE2::PartialMatch(re2::StringPiece(text.data(), text.size()), *pattern);
  };
  for (const Section& section : map.applications) {
    if (found(section.classPattern, windowClass) && found(section.titlePattern, title)) {
      return section;
    }
  }
  return map.defaults;
}

}  // namespace jskeys
