#pragma once
// What a port name leads to on this system, found without writing a byte to any port: for a
// list of the ports, to tell a busy port from a silent one before the link opens it, and to see
// a device go and come back.

#include <cstdint>
#include <string>

struct PortInfo {
  // How far a look goes: what the name leads to, with nothing opened; or also whether the port
  // could be opened now.
  enum class Look { kNameOnly, kOpenable };
  enum class State {
    kMissing,      // nothing there (a link that leads nowhere included)
    kFree,         // opens, and no one holds it
    kBusy,         // another program holds it
    kForbidden,    // we may not open it, or not even look
    kNotTerminal,  // something that is no serial line: /dev/null, a fifo, a plain file
    kNotSerial,    // a terminal that is no serial line: our own terminal, /dev/ptmx, a console
    kUnusable,     // opening failed otherwise
  };
  std::uint32_t number = 0;
  std::string path;      // what COMn names here
  std::string target;    // where `path` points when it is a link
  std::string device;    // `path` fully resolved; empty when it does not resolve
  // Changes when the device goes away and comes back (a new device node); empty when missing.
  std::string identity;
  State state = State::kMissing;
  std::uint32_t error = 0;  // the system's code for what failed, 0 when nothing did
  std::string reason;       // the system's text for it, UTF-8
};
