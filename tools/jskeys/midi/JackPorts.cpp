#include "JackPorts.h"

#include <re2/re2.h>

#include <cerrno>

#include "LogFormat.h"

namespace jskeys {

std::vector<std::string> ConnectMatching(
    jack_client_t* client, jack_port_t* from,
    const std::vector<std::shared_ptr<const re2::RE2>>& patterns) {
  std::vector<std::string> said;
  if (patterns.empty()) return said;
  const char** ports = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput);
  if (ports == nullptr) return said;
  const char* source = jack_port_name(from);
  for (const char** port = ports; *port != nullptr; ++port) {
    const std::string name = *port;
    bool wanted = false;
    for (const auto& pattern : patterns) wanted = wanted || RE2::PartialMatch(name, *pattern);
    if (!wanted || jack_port_connected_to(from, *port) != 0) continue;
    const int result = jack_connect(client, source, *port);
    // EEXIST: made meanwhile by someone else, as good.
    if (result == 0) {
      said.push_back("MIDI to " + jslog::SafeText(name));
    } else if (result != EEXIST) {
      said.push_back("could not connect MIDI to " + jslog::SafeText(name));
    }
  }
  jack_free(static_cast<void*>(ports));
  return said;
}

}  // namespace jskeys
