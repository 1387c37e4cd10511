// Starts as every program of ours does, then shows what that gave it: exit status 3 when a
// standard descriptor is not open, 4 when the next file opened takes 0 to 2; with an argument, 0
// after that. Otherwise it
// logs a reason, says a message after it, writes "ready" and ends when a stop is requested,
// with the signal's number as its status.

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "Program.h"
#include "wPrintf.h"

int main(int argc, char**) {
  if (!jsprogram::Start("child")) return 2;
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1) return 3;
  }
  const int next = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (next <= 2) return 4;
  ::close(next);
  if (argc > 1) return 0;  // --check: that was all

  wPrintf(24, 1, L"SerialJS: the reason\n");
  jsprogram::Say("the message");
  std::puts("ready");
  std::fflush(stdout);
  while (!jsprogram::WaitForStop(std::chrono::seconds(60))) {
  }
  // A reader of standard error that went away must not end us before this.
  for (int i = 0; i < 100; ++i) jsprogram::Say("still here");
  return jsprogram::StopSignal();
}
