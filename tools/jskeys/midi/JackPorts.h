#pragma once
// The map's [midi] connect: midi_out goes to every MIDI input port whose full name a pattern
// finds.

#include <jack/jack.h>

#include <memory>
#include <string>
#include <vector>

namespace re2 {
class RE2;
}

namespace jskeys {

// Connects `from` to each such port it is not connected to yet. Returns a line for each new
// connection ("MIDI to synth:midi_in") and each that failed.
std::vector<std::string> ConnectMatching(
    jack_client_t* client, jack_port_t* from,
    const std::vector<std::shared_ptr<const re2::RE2>>& patterns);

}  // namespace jskeys
