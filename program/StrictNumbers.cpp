#include "StrictNumbers.h"

namespace jsprogram {

namespace {

bool ParseDigits(std::string_view text, unsigned base, std::uint64_t limit, std::uint32_t& value) {
  if (text.empty() || text.size() > 10) return false;
  std::uint64_t result = 0;
  for (const char c : text) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
    if (digit >= base) return false;
    result = result * base + digit;
    if (result > limit) return false;
  }
  value = static_cast<std::uint32_t>(result);
  return true;
}

}  // namespace

bool ParsePortNumber(std::string_view text, std::uint32_t& value) {
  if (text.size() > 1 && text[0] == '0') return false;
  std::uint32_t parsed = 0;
  if (!ParseDigits(text, 10, kMaxPortNumber, parsed) || parsed == 0) return false;
  value = parsed;
  return true;
}

bool ParseMask(std::string_view text, std::uint32_t& value) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    return text.size() <= 8 && ParseDigits(text, 16, 0xFFFFFFFFull, value);
  }
  return ParseDigits(text, 10, 0xFFFFFFFFull, value);
}

}  // namespace jsprogram
