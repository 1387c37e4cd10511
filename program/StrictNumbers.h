#pragma once
// Numbers from a command line, read strictly: what a user typed either means exactly one value
// or is refused. No sign, no spaces, no octal, no wrap-around.

#include <cstdint>
#include <string>
#include <string_view>

namespace jsprogram {

inline constexpr std::uint32_t kMaxPortNumber = 255;

// A port number: decimal 1 to 255, no leading zero ("010" is refused rather than guessed at).
bool ParsePortNumber(std::string_view text, std::uint32_t& value);
// A key mask: decimal, or hexadecimal with 0x, 0 to 0xFFFFFFFF.
bool ParseMask(std::string_view text, std::uint32_t& value);

}  // namespace jsprogram
