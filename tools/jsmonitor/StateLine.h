#pragma once
// One line of text for a controller state, for people.

#include <cstddef>
#include <string>

#include "SerialJS.h"

// "held [K0 K5]  K [K0]  S [K1]  C []  SC []  jog +5 -2  shuttle -7"
std::string StateLine(const JogShuttleState& state);

// True when the two look the same in StateLine.
bool SameShown(const JogShuttleState& a, const JogShuttleState& b);

// What ends a status line cut to fit its terminal.
inline constexpr char kCutMark = '>';
// `line` as it fits on a terminal `columns` wide without wrapping: at most columns - 1
// characters, as some terminals wrap as soon as the last column is written; a longer line is
// cut there and ends in kCutMark. 0 columns (not known): the line whole. The line is ASCII.
std::string FitToWidth(std::string line, std::size_t columns);
