#include "MapText.h"

#include <cstdint>
#include <cstdio>
#include <vector>

namespace jskeys {
namespace {

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

// Where a look at the text stands: its line and the start of that line, for positions.
struct Place {
  std::uint32_t line = 1;
  std::size_t lineStart = 0;

  void Passed(std::string_view text, std::size_t i) {
    if (text[i] == '\n') {
      ++line;
      lineStart = i + 1;
    }
  }
  std::uint32_t Column(std::size_t i) const { return static_cast<std::uint32_t>(i - lineStart + 1); }
};

// The index just past the string that opens at `i`, read as MakeAscii reads strings: a one-line
// string ends at its quote or at the line's end (left for the parser to refuse).
std::size_t SkipString(std::string_view text, std::size_t i, Place& place) {
  const char quote = text[i];
  const bool basic = quote == '"';
  const bool multi = text.substr(i, 3) == std::string_view(basic ? "\"\"\"" : "'''");
  for (i += multi ? 3 : 1; i < text.size(); ++i) {
    if (basic && text[i] == '\\' && i + 1 < text.size()) {
      place.Passed(text, ++i);
      continue;
    }
    if (multi ? text.substr(i, 3) == std::string_view(basic ? "\"\"\"" : "'''") : text[i] == quote) {
      return i + (multi ? 3 : 1);
    }
    if (!multi && text[i] == '\n') return i;
    place.Passed(text, i);
  }
  return i;
}

// The shape of a map: how deep its tables go, and how long and how dotted its names are. Text
// is taken in runs, each what stands between = , [ ] { } and the line's end: a run before = or
// inside a table header is a name.
class ShapeScan {
 public:
  ShapeScan(std::string_view text, MapError& error) : text_(text), error_(error) {}

  bool Run() {
    for (std::size_t i = 0; i < text_.size();) {
      const char c = text_[i];
      if (c == ' ' || c == '\t' || c == '\r') {
        ++i;
      } else if (c == '#') {
        while (i < text_.size() && text_[i] != '\n') ++i;
      } else if (c == '\n') {
        if (!EndRun(false)) return false;
        if (open_.empty()) valueSide_ = false;
        afterEquals_ = false;
        place_.Passed(text_, i++);
      } else if (c == '"' || c == '\'') {
        StartRun(i);
        afterEquals_ = false;
        i = SkipString(text_, i, place_);
        runEnd_ = i;
      } else if (c == '=') {
        const std::size_t parts = runParts_;
        if (!EndRun(true)) return false;
        keyDepth_ = Container() + static_cast<std::uint32_t>(parts);
        if (keyDepth_ > kMaxNesting) return TooDeep();
        if (open_.empty()) valueSide_ = true;
        afterEquals_ = true;
        ++i;
      } else if (c == '[' && open_.empty() && !valueSide_ && !inRun_) {
        doubleHeader_ = text_.substr(i, 2) == "[[";
        header_ = true;
        i += doubleHeader_ ? 2 : 1;
      } else if (c == '[' || c == '{') {
        if (!EndRun(false)) return false;
        const std::uint32_t depth = (afterEquals_ ? keyDepth_ : Container()) + 1;
        open_.push_back(depth);
        runLine_ = place_.line;
        runColumn_ = place_.Column(i);
        if (depth > kMaxNesting) return TooDeep();
        afterEquals_ = false;
        ++i;
      } else if (c == ']' && header_ && open_.empty()) {
        const std::size_t parts = inRun_ ? runParts_ : 0;
        if (!EndRun(true)) return false;
        tableDepth_ = static_cast<std::uint32_t>(parts) + (doubleHeader_ ? 1 : 0);
        header_ = false;
        i += doubleHeader_ && text_.substr(i, 2) == "]]" ? 2 : 1;
      } else if (c == ']' || c == '}' || c == ',') {
        if (!EndRun(false)) return false;
        if (c != ',' && !open_.empty()) open_.pop_back();
        afterEquals_ = false;
        ++i;
      } else {
        StartRun(i);
        if (c == '.') ++runParts_;
        afterEquals_ = false;
        runEnd_ = ++i;
      }
    }
    return EndRun(false);
  }

 private:
  std::uint32_t Container() const { return open_.empty() ? tableDepth_ : open_.back(); }

  void StartRun(std::size_t i) {
    if (inRun_) return;
    inRun_ = true;
    runStart_ = i;
    runParts_ = 1;
    runLine_ = place_.line;
    runColumn_ = place_.Column(i);
  }

  // Ends the run there is; `name`: it is a key or a table's name.
  bool EndRun(bool name) {
    if (!inRun_) return true;
    inRun_ = false;
    if (runParts_ > kMaxKeyParts) {
      return Fail("a key or table name of more than " + std::to_string(kMaxKeyParts) +
                  " dotted parts");
    }
    if (name && runEnd_ - runStart_ > kMaxKeyLength) {
      return Fail("a key or table name longer than " + std::to_string(kMaxKeyLength) + " bytes");
    }
    return true;
  }

  bool TooDeep() {
    return Fail("tables, arrays and inline tables nested more than " +
                std::to_string(kMaxNesting) + " deep");
  }

  bool Fail(std::string reason) {
    error_.line = runLine_;
    error_.column = runColumn_;
    error_.reason = std::move(reason);
    return false;
  }

  std::string_view text_;
  MapError& error_;
  Place place_;
  std::vector<std::uint32_t> open_;  // the depth of each array and inline table still open
  std::uint32_t tableDepth_ = 0;     // of the last [table] or [[array]] header
  std::uint32_t keyDepth_ = 0;       // of the last key: where its value sits
  bool valueSide_ = false;           // a top-level line past its =
  bool afterEquals_ = false;         // nothing yet of the value after =
  bool header_ = false, doubleHeader_ = false;
  bool inRun_ = false;
  std::size_t runStart_ = 0, runEnd_ = 0, runParts_ = 1;
  std::uint32_t runLine_ = 1, runColumn_ = 1;
};

}  // namespace

// toml++ 3.3 (as Debian 12 ships it) reaches undefined behaviour when it asks whether a non-ASCII
// character is whitespace, and TOML has no place for one outside strings and comments anyway.
// So the parser is given ASCII only: in a "basic" string each such character becomes its \u
// escape, in a comment a space; anywhere else it is refused (line and column, from 1). Where
// this reading of the file and the parser's part ways, the parser sees an escape out of place,
// never the character.
bool MakeAscii(std::string_view text, std::string& ascii, MapError& error) {
  enum class In { kCode, kComment, kBasic, kLiteral, kMultiBasic, kMultiLiteral } in = In::kCode;
  Place place;
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
        error.line = place.line;
        error.column = place.Column(i);
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
      place.Passed(text, i);
    }
  }
  return true;
}

bool CheckShape(std::string_view ascii, MapError& error) {
  return ShapeScan(ascii, error).Run();
}

}  // namespace jskeys
