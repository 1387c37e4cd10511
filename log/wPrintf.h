#pragma once
// The one logging call of the system. Every template ends with a line feed; %s takes a wide
// string and %hs an 8-bit string on every platform. Never fails back to its caller.

#include <cstdint>

void wPrintf(std::uint32_t category, std::uint32_t level, const wchar_t* format, ...);
