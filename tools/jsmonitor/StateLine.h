#pragma once
// One line of text for a controller state, for people.

#include <string>

#include "SerialJS.h"

// "held [K0 K5]  K [K0]  S [K1]  C []  SC []  jog +5 -2  shuttle -7"
std::string StateLine(const JogShuttleState& state);

// True when the two look the same in StateLine.
bool SameShown(const JogShuttleState& a, const JogShuttleState& b);
