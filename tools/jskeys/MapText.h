#pragma once
// What the TOML parser is given of a map, and the bounds it is held to before it runs: the
// parser recurses with the nesting of tables and with each dotted part of a key, so a map of a
// few hundred kilobytes could take the whole stack. Positions in errors are the file's own.

#include <string>
#include <string_view>

#include "KeyMap.h"

namespace jskeys {

// The map in ASCII: a character that is not ASCII becomes its \u escape in a "basic" string and
// a space in a comment, and is refused anywhere else. False with `error`'s place and reason set.
bool MakeAscii(std::string_view text, std::string& ascii, MapError& error);

// Refuses a key or table name of more than kMaxKeyParts dotted parts or kMaxKeyLength bytes,
// and tables, arrays and inline tables nested more than kMaxNesting deep (each part of a name
// counting as a level). `ascii` is MakeAscii's text: a cheap look at its shape, not a parse;
// what is not TOML is left for the parser to refuse.
bool CheckShape(std::string_view ascii, MapError& error);

}  // namespace jskeys
