// The process entry: arguments are ignored; the exit status is the port found, or 0.
//
// It starts as every program of ours does (closed standard descriptors filled, so the first port
// opened can never be descriptor 2 with the log written down the line; SIGPIPE ignored, so a
// reader of the log that goes away costs log lines, never the exit status; the stop signals
// taken by one waiting thread). A stop signal lets the port under way finish its handshake and
// be closed (its exclusive flag cleared, its lock released); the exit status is then 128 + the
// signal.
#include "Program.h"
#include "ProbePorts.h"

int main(int, char**) {
  // With no way to fill them, nothing may be opened: the log would go into a port.
  if (!jsprogram::Start("jsprobe")) return 0;
  const std::uint32_t found = ProbePorts(&jsprogram::StopFlag());
  if (jsprogram::StopRequested()) return 128 + jsprogram::StopSignal();
  return static_cast<int>(found);
}
