#pragma once
// What a port name leads to on this system, found without writing a byte to any port: the
// path COMn names, the device it resolves to, and whether that can be opened now. Used for
// --list, to tell a busy port from a silent one before the link opens it, and to look for a
// returning controller only where a device exists.

#include <cstdint>
#include <string>

struct PortInfo {
  enum class State {
    kMissing,    // nothing there (a dangling link included)
    kFree,       // opens, and no one holds it
    kBusy,       // another program holds it
    kForbidden,  // we may not open it
    kUnusable,   // opening failed otherwise; `error` says how
  };
  std::uint32_t number = 0;
  std::string path;    // what COMn names here
  std::string target;  // where `path` points when it is a symlink
  std::string device;  // the path fully resolved; empty when it does not resolve
  State state = State::kMissing;
  int error = 0;  // errno of the failed open or lock
};

// The path COMn names here: JS_PORT_DIR/comN when that is set, else /dev/ttyS{n-1}.
std::string PortPathOf(std::uint32_t number);
// Resolves COMn; with `tryOpen`, opens the device (no controlling terminal, non-blocking), tries
// an exclusive lock and closes it at once. Nothing is written and the line is not configured.
PortInfo InspectPort(std::uint32_t number, bool tryOpen);
// "COM3  /tmp/js/com3 -> /dev/pts/4  free", for --list.
std::string ListLine(const PortInfo& info);
// " (/dev/pts/4)" when COMn resolves to a device, else "".
std::string DeviceSuffix(std::uint32_t number);
