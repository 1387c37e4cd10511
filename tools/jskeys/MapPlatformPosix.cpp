// Players are reached over the session's D-Bus (MPRIS), MIDI through JACK.

#include "MapPlatform.h"

namespace jskeys {

const char* PlayerActionsRefusal() { return nullptr; }
const char* MidiActionsRefusal() { return nullptr; }

}  // namespace jskeys
