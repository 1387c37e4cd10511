#pragma once
// What this platform's jskeys can send besides keys: a map asking for more is refused at the
// action's place, with this reason.

namespace jskeys {

// Why a player action cannot be sent here; null where it can.
const char* PlayerActionsRefusal();
// Why a MIDI action cannot be sent here; null where it can.
const char* MidiActionsRefusal();

}  // namespace jskeys
