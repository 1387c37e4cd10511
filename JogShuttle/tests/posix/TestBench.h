#pragma once
// Where the link tests find their controllers on POSIX: simulators on pseudo-terminals in this
// process, linked in a JS_PORT_DIR of the test's own. And the lines this platform writes where
// the two platforms honestly differ.

#include <stdlib.h>

#include <string>

#include "ControllerSim.h"
#include "TempDir.h"

namespace linktest {

using Sim = jssim::ControllerSim;

class Bench {
 public:
  // Empty when ready; otherwise why not, and *skip says whether that is a reason to skip.
  std::string Prepare(bool* skip) {
    *skip = false;
    if (!dir_.Made()) return "cannot make a port directory";
    if (setenv("JS_PORT_DIR", dir_.path().c_str(), 1) != 0) return "cannot set JS_PORT_DIR";
    return {};
  }
  // What Sim::Start takes for COMn.
  std::string PortName(int n) const { return dir_ / ("com" + std::to_string(n)); }

 private:
  jstesting::TempDir dir_;
};

struct Facts {
  const char* missingPortLine = "SerialJS: Error (2) opening COM1: config: No such file or directory";
  const char* busyPortLine = "SerialJS: Error (16) opening COM1: config: Device or resource busy";
  const char* closedSendPrefix = "SerialJS: Error (9) sending command: ";
  const char* hungUpSendPrefix = "SerialJS: Error (5) sending command: ";
  const char* hangUpLine = "SerialJS: Invalid WaitCommEvent(00000080)";  // EV_ERR
};
inline constexpr Facts kFacts{};

// flock makes a held port fail at opening.
inline std::string WhyNoExclusiveOpen() { return {}; }

}  // namespace linktest
