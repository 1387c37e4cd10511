// Standard output on POSIX: poll for room, TIOCGWINSZ for the width, SIGWINCH for resizes.

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "OutputPort.h"
#include "ResizeWatch.h"

namespace {

constexpr auto kSlice = std::chrono::milliseconds(100);
// What a terminal that reports room takes at once (its wake-up threshold).
constexpr std::size_t kWriteSlice = 256;

// 0 when `fd` is no terminal or does not know its size (a serial console may say 0).
std::size_t TerminalColumns(int fd) {
  winsize size{};
  return ::ioctl(fd, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

}  // namespace

struct OutputPort::Impl {
  int fd;
  ResizeWatch resize;
  std::size_t columns = 0;
};

OutputPort::OutputPort(int fd, bool terminal) : impl_(std::make_unique<Impl>()) {
  impl_->fd = fd;
  if (!terminal) return;
  (void)impl_->resize.Start();  // before the width is read, so that no resize falls between
  impl_->columns = TerminalColumns(fd);
}

OutputPort::~OutputPort() = default;

std::size_t OutputPort::Columns() const { return impl_->columns; }

jsprogram::WaitHandle OutputPort::ResizeSignal() const { return impl_->resize.Signal(); }

bool OutputPort::TakeResize() {
  if (!impl_->resize.Take()) return false;
  impl_->columns = TerminalColumns(impl_->fd);
  return true;
}

bool OutputPort::Write(std::string_view text, const std::function<bool()>& abandon, int& error) {
  error = 0;
  std::size_t done = 0;
  while (done < text.size()) {
    // A terminal on hold or a pipe nobody reads must not keep a stop from being heard: wait for
    // room in slices, then write no more than surely fits without blocking for long.
    // Once stopping, there is no waiting at all: a pipe nobody reads is never waited for twice.
    const bool stopping = abandon();
    pollfd out = {impl_->fd, POLLOUT, 0};
    const int ready = ::poll(&out, 1, stopping ? 0 : static_cast<int>(kSlice.count()));
    if (ready == 0 || (ready < 0 && errno == EINTR)) {
      if (stopping) return false;
      continue;
    }
    const ssize_t put = ::write(impl_->fd, text.data() + done,
                                std::min<std::size_t>(text.size() - done, kWriteSlice));
    if (put > 0) {
      done += static_cast<std::size_t>(put);
      continue;
    }
    if (put < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    error = put < 0 ? errno : EIO;
    return false;
  }
  return true;
}

bool OutputPort::ReaderGone() const {
  pollfd out = {impl_->fd, 0, 0};
  return ::poll(&out, 1, 0) == 1 && (out.revents & (POLLERR | POLLHUP)) != 0;
}

jsprogram::WaitHandle OutputPort::ReaderGoneSignal() const {
  struct stat status {};
  return ::fstat(impl_->fd, &status) == 0 && S_ISFIFO(status.st_mode) ? impl_->fd
                                                                     : jsprogram::kNoWaitHandle;
}

bool IsLiveTerminal(int fd) { return ::isatty(fd) == 1; }

void EndEvenIfOutputHangs() {}
