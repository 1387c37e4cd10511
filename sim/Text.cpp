#include "Text.h"

#include <charconv>
#include <cstdio>

namespace jssim {

namespace {

bool StartsWithHexPrefix(std::string_view text) {
  return text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

}  // namespace

bool ParseInteger(std::string_view text, long long min, long long max, long long& value) {
  bool negative = false;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (StartsWithHexPrefix(text)) {
    base = 16;
    text.remove_prefix(2);
  }
  // from_chars takes a sign of its own; one sign is enough.
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  unsigned long long magnitude = 0;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
  if (error != std::errc() || end != text.data() + text.size()) return false;
  if (magnitude > (1ULL << 62)) return false;  // far beyond every range asked for here
  const long long number =
      negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
  if (number < min || number > max) return false;
  value = number;
  return true;
}

bool ParseHexByte(std::string_view text, std::uint8_t& value) {
  if (StartsWithHexPrefix(text)) text.remove_prefix(2);
  if (text.empty() || text.size() > 2) return false;
  unsigned number = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number, 16);
  if (error != std::errc() || end != text.data() + text.size()) return false;
  value = static_cast<std::uint8_t>(number);
  return true;
}

std::string HexBytes(std::span<const std::uint8_t> bytes) {
  std::string out;
  char digits[4];
  for (std::uint8_t byte : bytes) {
    std::snprintf(digits, sizeof digits, "%02x", byte);
    if (!out.empty()) out += ' ';
    out += digits;
  }
  return out;
}

std::string Quoted(std::string_view text) {
  std::string out = "\"";
  char escape[8];
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte >= 0x20 && byte < 0x7F) {
      out += c;
    } else {
      std::snprintf(escape, sizeof escape, "\\x%02x", byte);
      out += escape;
    }
  }
  return out + "\"";
}

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

}  // namespace jssim
