#pragma once
// The words a simulated controller's options and bytes travel in between processes: one line of
// text, tokens separated by single spaces, bytes as unbroken hexadecimal ("c0ffff"). Used by the
// simulator server that plays controllers for Windows tests, and by its clients.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "SimOptions.h"

namespace jssim {

// "c0ffff"; empty bytes give an empty string.
std::string HexString(std::span<const std::uint8_t> bytes);
// The reverse; false on an odd length or a character that is no hexadecimal digit.
bool ParseHexString(std::string_view text, std::vector<std::uint8_t>& bytes);

// Every option except the observer, as name=value tokens.
std::string EncodeOptions(const SimOptions& options);
// Tokens as EncodeOptions writes them, in any order; a missing one keeps its default. False
// with `error` set on an unknown name or a bad value.
bool DecodeOptions(std::string_view text, SimOptions& options, std::string& error);

// Splits on single spaces; no empty tokens.
std::vector<std::string_view> SplitWords(std::string_view text);

}  // namespace jssim
