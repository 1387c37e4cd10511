// jskeys.exe sends keys only, so far.

#include "MapPlatform.h"

namespace jskeys {

const char* PlayerActionsRefusal() { return "player actions are not available on Windows yet"; }
const char* MidiActionsRefusal() { return "MIDI actions are not available on Windows yet"; }

}  // namespace jskeys
