// The process entry, with wide-character arguments: they are ignored; the exit status is the
// port found, or 0. A console closed under it waits until the port under way is released.
#include "Program.h"
#include "ProbePorts.h"

int wmain(int, wchar_t**) {
  jsprogram::Start("jsprobe");
  const std::uint32_t found = ProbePorts(&jsprogram::StopFlag());
  jsprogram::MarkReleased();
  return static_cast<int>(found);
}
