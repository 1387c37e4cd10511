// The process entry, with wide-character arguments: they are ignored; the exit status is the
// port found, or 0. A console closed under it waits until the port under way is released.
// Stopped (Ctrl-C, Ctrl-Break, the console closed), it ends with 130, as jsprobe on Linux does
// after SIGINT: the probe tries COM1 to COM7 only, so a script tells an interrupted search from
// an empty one.
#include "Program.h"
#include "ProbePorts.h"

namespace {
constexpr int kInterrupted = 130;
}  // namespace

int wmain(int, wchar_t**) {
  jsprogram::Start("jsprobe");
  const std::uint32_t found = ProbePorts(&jsprogram::StopFlag());
  jsprogram::MarkReleased();
  if (jsprogram::StopRequested()) return kInterrupted;
  return static_cast<int>(found);
}
