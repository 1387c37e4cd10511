// The dry run's output on POSIX: a pipe's reader that has gone is heard at once.

#include <poll.h>
#include <sys/stat.h>

#include "Output.h"

namespace jskeys {

PrintOutput::PrintOutput(std::FILE* to) : to_(to) {
  // The write end of a pipe polls POLLERR once its reader has gone, and never readable; a
  // terminal could poll readable for its input, so only a pipe is waited on.
  struct stat status {};
  const int fd = fileno(to);
  if (fd >= 0 && fstat(fd, &status) == 0 && S_ISFIFO(status.st_mode)) pipe_ = fd;
}

void PrintOutput::Dispatch() {
  pollfd out = {static_cast<int>(pipe_), 0, 0};
  if (pipe_ != jsprogram::kNoWaitHandle && poll(&out, 1, 0) == 1 &&
      (out.revents & (POLLERR | POLLHUP)) != 0) {
    broken_ = true;
  }
}

}  // namespace jskeys
