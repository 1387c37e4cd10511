#pragma once
// Small text helpers shared by the command line and the script.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace jssim {

// A whole decimal number, or hexadecimal with 0x, with an optional sign, within [min, max].
bool ParseInteger(std::string_view text, long long min, long long max, long long& value);
// One byte as one or two hexadecimal digits, with or without 0x.
bool ParseHexByte(std::string_view text, std::uint8_t& value);
// "c0 00 01": bytes as they go over the line.
std::string HexBytes(std::span<const std::uint8_t> bytes);
// Text from or for the line, quoted, so that it can never break a report line: printable ASCII
// stays, '"' and '\' are escaped, everything else is \xHH.
std::string Quoted(std::string_view text);
std::string_view Trim(std::string_view text);

}  // namespace jssim
