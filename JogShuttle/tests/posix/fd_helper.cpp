// Started by the link tests with some of its standard streams closed. Opens the link on COM1
// and tells through its exit status whether any of the link's fds landed on 0 to 2.

#include <fcntl.h>

#include <cstdlib>

#include "SerialJS.h"

namespace {
bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

// Which of 0 to 2 are open, as bits.
int OpenStandardStreams() {
  int open = 0;
  for (int fd = 0; fd < 3; ++fd) open |= IsOpen(fd) ? 1 << fd : 0;
  return open;
}
}  // namespace

int main() {
  const int before = OpenStandardStreams();
  SerialJS link(1);
  if (!link.Open()) return 20;
  // Some log lines went out meanwhile; the link sends one more command of its own.
  link.Reset();
  const int during = OpenStandardStreams();
  link.Close();
  return during == before ? 0 : 10 + (during & ~before);
}
