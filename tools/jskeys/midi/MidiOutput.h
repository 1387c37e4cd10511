#pragma once
// MIDI actions out through a JACK client "jskeys" with one port, midi_out. The client is opened
// on the first map or action that wants MIDI, never starts a server, and looks for one again
// (1 s, doubling to 10 s) while there is none. Keys never wait on JACK.

#include <memory>
#include <string_view>

#include "Output.h"

namespace jskeys {

// Where the output's messages go: the program's own, or a test's.
using SayFunction = void (*)(std::string_view text);

std::unique_ptr<ActionOutput> MakeMidiOutput();
std::unique_ptr<ActionOutput> MakeMidiOutput(SayFunction say);

}  // namespace jskeys
