#pragma once
// The map's schema: its tables, each key's, jog's and shuttle's combination, and the sections'
// patterns, read from the parsed TOML with the place of the first fault.

#include <atomic>
#include <string>
#include <string_view>

#include "KeyMap.h"

namespace jskeys {

// Why a read that was told to give up did.
inline constexpr const char* kAbandoned = "abandoned: jskeys is stopping";

// Parses `ascii` (MakeAscii's text, within CheckShape's bounds) and reads it into `map`, which
// starts empty. `abandon`, when given and set, makes it give up before the next pattern.
bool ReadMapText(std::string_view ascii, const std::string& file, KeyMap& map, MapError& error,
                 const std::atomic<bool>* abandon);

}  // namespace jskeys
