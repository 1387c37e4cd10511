// A serial port over termios. The rules that matter on Linux:
// - open with O_NOCTTY (the port must never become our controlling terminal), refuse what is
//   surely no serial line (our own terminal, a pseudo-terminal master), then take flock and
//   TIOCEXCL, so that a port another program holds fails at the open step; TIOCEXCL
//   alone does not stop root, flock does. TIOCNXCL comes before every close, or the exclusive
//   flag outlives our fd while another process has the device open.
// - the line is made raw; otherwise 0x03, 0x0D, 0x11, 0x13 and friends are eaten or changed,
//   and what arrives is echoed back to the controller.
// - closing an fd does not wake a poll() on it in another thread: the reader's wait also
//   watches a wake-up fd that Close signals.
// - the fd is never closed while the reader may still be inside a call on it: the number could
//   be handed to the next port opened, and the old reader would read the new port's bytes.
// - no fd of ours sits on 0 to 2: in a program started with standard error closed, the port
//   would otherwise be fd 2 and every log line would go down the line to the controller.
// - Close puts back the line settings the port had when it was opened, before it gives up the
//   exclusive flag: the next program to use the device finds it as it was.

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/eventfd.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "Platform.h"
#include "PortNames.h"

namespace js::sys {

struct IoRecord::Impl {
  std::uint32_t transferred = 0;  // transfers here complete at once
};

IoRecord::IoRecord() : impl_(std::make_unique<Impl>()) {}
IoRecord::~IoRecord() = default;

struct Port::Impl {
  std::atomic<int> fd{-1};
  int wakeReadFd = -1;
  int wakeWriteFd = -1;
  termios settings{};  // the record ReadLineSettings fills and WriteLineSettings applies
  termios original{};  // the line as it was at Open, put back by Close
  bool restoreOriginal = false;
  Timeouts timeouts{};
  std::atomic<bool> closing{false};
  std::atomic<int> callsInside{0};
};

namespace {

ErrorCode LastErrno() { return static_cast<ErrorCode>(errno); }

// Lets a call use the fd only while Close has not begun; Close waits for the calls inside.
class CallGuard {
 public:
  explicit CallGuard(Port::Impl& impl) : impl_(impl) {
    impl_.callsInside.fetch_add(1);
    fd_ = impl_.closing.load() ? -1 : impl_.fd.load();
  }
  ~CallGuard() {
    if (impl_.callsInside.fetch_sub(1) == 1 && impl_.closing.load()) {
      impl_.callsInside.notify_all();
    }
  }
  CallGuard(const CallGuard&) = delete;
  CallGuard& operator=(const CallGuard&) = delete;
  int fd() const { return fd_; }

 private:
  Port::Impl& impl_;
  int fd_;
};

void CloseQuietly(int fd) {
  if (fd >= 0) (void)::close(fd);
}

// A new fd on 0 to 2 is moved to the lowest free number from 3 and the low one closed. -1 with
// errno set when it cannot be moved (the low one is closed all the same).
int AboveStandardStreams(int fd) {
  if (fd < 0 || fd > 2) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  const int error = errno;
  (void)::close(fd);
  errno = error;
  return moved;
}

void ReleaseDevice(int fd) {
  (void)ioctl(fd, TIOCNXCL);
  CloseQuietly(fd);
}

struct BaudRate {
  std::uint32_t rate;
  speed_t speed;
};
constexpr BaudRate kBaudRates[] = {
    {1200, B1200},   {2400, B2400},   {4800, B4800},     {9600, B9600},
    {19200, B19200}, {38400, B38400}, {57600, B57600},   {115200, B115200},
};

bool SpeedOf(std::uint32_t rate, speed_t& speed) {
  for (const BaudRate& entry : kBaudRates) {
    if (entry.rate == rate) {
      speed = entry.speed;
      return true;
    }
  }
  return false;
}

std::uint32_t RateOf(speed_t speed) {
  for (const BaudRate& entry : kBaudRates) {
    if (entry.speed == speed) return entry.rate;
  }
  return 0;
}

ErrorCode OpenWakeUp(int& readFd, int& writeFd) {
#if defined(__linux__)
  readFd = AboveStandardStreams(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (readFd < 0) return LastErrno();
  writeFd = readFd;
#else
  int fds[2];
  if (pipe(fds) != 0) return LastErrno();
  for (int& fd : fds) {
    fd = AboveStandardStreams(fd);
    if (fd >= 0) continue;
    const ErrorCode code = LastErrno();
    CloseQuietly(fds[0]);
    CloseQuietly(fds[1]);
    return code;
  }
  for (int fd : fds) {
    (void)fcntl(fd, F_SETFD, FD_CLOEXEC);
    (void)fcntl(fd, F_SETFL, O_NONBLOCK);
  }
  readFd = fds[0];
  writeFd = fds[1];
#endif
  return kSuccess;
}

void SignalWakeUp(int writeFd) {
#if defined(__linux__)
  const std::uint64_t one = 1;
#else
  const std::uint8_t one = 1;
#endif
  while (::write(writeFd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

// ENOTTY for a device that is surely no serial line. Checked before the lock, TIOCEXCL or any
// byte: a name that leads to the user's own terminal must neither lock it nor write into it.
ErrorCode RefuseNonSerial(int fd) {
  struct stat node {};
  if (fstat(fd, &node) != 0) return LastErrno();
  if (!S_ISCHR(node.st_mode)) return ENOTTY;
  // The line's own answer where it has one: an 8250 slot with no UART behind it says EIO.
  if (!isatty(fd)) return errno != 0 && errno != ENOTTY ? LastErrno() : ENOTTY;
  if (WhyNotSerial(node.st_rdev) != nullptr) return ENOTTY;
#if defined(TIOCGPTN)
  // Only a pseudo-terminal master has a slave number, whatever node it was opened through.
  unsigned int slave = 0;
  if (ioctl(fd, TIOCGPTN, &slave) == 0) return ENOTTY;
#endif
  return kSuccess;
}

}  // namespace

Port::Port() : impl_(std::make_unique<Impl>()) {}
Port::~Port() { Close(); }

bool Port::IsOpen() const { return impl_->fd.load() >= 0; }

ErrorCode Port::Open(const wchar_t* name) {
  if (IsOpen()) return EBUSY;
  const char* portDir = std::getenv("JS_PORT_DIR");
  const std::string path = PortPath(name, portDir);
  if (path.empty()) return ENOENT;

  const int fd =
      AboveStandardStreams(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (fd < 0) return LastErrno();
  if (const ErrorCode code = RefuseNonSerial(fd); code != kSuccess) {
    CloseQuietly(fd);
    return code;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    // Another program holds the port: say busy, as an exclusive open elsewhere would.
    const ErrorCode code = (errno == EWOULDBLOCK) ? EBUSY : LastErrno();
    CloseQuietly(fd);
    return code;
  }
  if (ioctl(fd, TIOCEXCL) != 0) {
    const ErrorCode code = LastErrno();
    CloseQuietly(fd);
    return code;
  }
  if (const ErrorCode code = OpenWakeUp(impl_->wakeReadFd, impl_->wakeWriteFd);
      code != kSuccess) {
    ReleaseDevice(fd);
    return code;
  }
  // Read before anything changes the line; a device that has none is left alone at Close.
  impl_->restoreOriginal = tcgetattr(fd, &impl_->original) == 0;
  impl_->settings = termios{};
  impl_->timeouts = Timeouts{};
  impl_->closing.store(false);
  impl_->fd.store(fd);
  return kSuccess;
}

ErrorCode Port::SetEventMask(std::uint32_t) {
  // The wait always watches for received characters and hang-ups.
  CallGuard call(*impl_);
  return call.fd() < 0 ? EBADF : kSuccess;
}

ErrorCode Port::SetQueueSizes(std::uint32_t, std::uint32_t) {
  // The tty layer keeps queues of its own size; nothing to set.
  CallGuard call(*impl_);
  return call.fd() < 0 ? EBADF : kSuccess;
}

ErrorCode Port::Purge() {
  CallGuard call(*impl_);
  if (call.fd() < 0) return EBADF;
  return tcflush(call.fd(), TCIOFLUSH) == 0 ? kSuccess : LastErrno();
}

ErrorCode Port::SetTimeouts(const Timeouts& timeouts) {
  CallGuard call(*impl_);
  if (call.fd() < 0) return EBADF;
  impl_->timeouts = timeouts;  // reads never wait here; Write applies the write time-out
  return kSuccess;
}

ErrorCode Port::ReadLineSettings(LineSettings& settings) {
  CallGuard call(*impl_);
  impl_->settings = termios{};
  settings = LineSettings{};
  if (call.fd() < 0) return EBADF;
  termios current{};
  if (tcgetattr(call.fd(), &current) != 0) return LastErrno();
  impl_->settings = current;
  settings.baudRate = RateOf(cfgetospeed(&current));
  switch (current.c_cflag & CSIZE) {
    case CS5: settings.byteSize = 5; break;
    case CS6: settings.byteSize = 6; break;
    case CS7: settings.byteSize = 7; break;
    default: settings.byteSize = 8; break;
  }
  settings.parity = (current.c_cflag & PARENB) == 0 ? 0 : (current.c_cflag & PARODD) ? 1 : 2;
  settings.stopBits = (current.c_cflag & CSTOPB) ? 2 : 0;
  return kSuccess;
}

ErrorCode Port::WriteLineSettings(const LineSettings& settings) {
  CallGuard call(*impl_);
  if (call.fd() < 0) return EBADF;
  termios line = impl_->settings;
  cfmakeraw(&line);  // a binary line: no echo, no signals, no translation
  line.c_cflag |= CLOCAL | CREAD;
  line.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSIZE | PARENB | PARODD | CSTOPB);
  line.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  switch (settings.byteSize) {
    case 5: line.c_cflag |= CS5; break;
    case 6: line.c_cflag |= CS6; break;
    case 7: line.c_cflag |= CS7; break;
    case 8: line.c_cflag |= CS8; break;
    default: return EINVAL;
  }
  switch (settings.parity) {
    case 0: break;                                     // none
    case 1: line.c_cflag |= PARENB | PARODD; break;    // odd
    case 2: line.c_cflag |= PARENB; break;             // even
    default: return EINVAL;                            // mark and space: not offered
  }
  switch (settings.stopBits) {
    case 0: break;                        // one
    case 2: line.c_cflag |= CSTOPB; break;  // two
    default: return EINVAL;               // one and a half
  }
  line.c_cc[VMIN] = 0;  // reads return what is queued, at once
  line.c_cc[VTIME] = 0;
  speed_t speed;
  if (!SpeedOf(settings.baudRate, speed)) return EINVAL;
  if (cfsetispeed(&line, speed) != 0 || cfsetospeed(&line, speed) != 0) return LastErrno();
  if (tcsetattr(call.fd(), TCSANOW, &line) != 0) return LastErrno();

  // tcsetattr succeeds when any part was taken; make sure all of it was.
  termios applied{};
  if (tcgetattr(call.fd(), &applied) != 0) return LastErrno();
  const tcflag_t lineBits = CSIZE | PARENB | PARODD | CSTOPB | CLOCAL | CREAD;
  if ((applied.c_cflag & lineBits) != (line.c_cflag & lineBits) ||
      cfgetospeed(&applied) != speed || (applied.c_lflag & (ECHO | ICANON | ISIG)) != 0 ||
      (applied.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP)) != 0) {
    return EINVAL;
  }
  impl_->settings = applied;
  return kSuccess;
}

ErrorCode Port::WaitEvent(std::uint32_t& mask, std::uint32_t milliseconds) {
  mask = 0;
  CallGuard call(*impl_);
  if (call.fd() < 0) return EBADF;
  pollfd fds[2] = {{call.fd(), POLLIN, 0}, {impl_->wakeReadFd, POLLIN, 0}};
  const int bound = milliseconds == kInfinite ? -1 : static_cast<int>(milliseconds);
  int ready = 0;
  while ((ready = poll(fds, 2, bound)) < 0) {
    if (errno != EINTR) return LastErrno();
  }
  if (ready == 0) return kErrorTimeout;
  if (fds[1].revents != 0 || impl_->closing.load()) return ECANCELED;  // the port is closing
  const short seen = fds[0].revents;
  if ((seen & POLLIN) != 0) {
    int queued = 0;
    if ((seen & (POLLHUP | POLLERR)) == 0 ||
        (ioctl(call.fd(), FIONREAD, &queued) == 0 && queued > 0)) {
      mask = kEventReceiveChar;  // bytes first, even when the far end has just gone
      return kSuccess;
    }
  }
  if ((seen & (POLLHUP | POLLERR | POLLNVAL)) != 0) mask = kEventLineError;
  return kSuccess;
}

ErrorCode Port::QueuedInput(std::uint32_t& count) {
  count = 0;
  CallGuard call(*impl_);
  if (call.fd() < 0) return EBADF;
  int queued = 0;
  if (ioctl(call.fd(), FIONREAD, &queued) != 0) return LastErrno();
  count = queued > 0 ? static_cast<std::uint32_t>(queued) : 0;
  return kSuccess;
}

ErrorCode Port::Read(void* buffer, std::uint32_t count, IoRecord& record,
                     std::uint32_t& transferred) {
  transferred = 0;
  record.impl().transferred = 0;
  CallGuard call(*impl_);
  if (call.fd() < 0) return EBADF;
  for (;;) {
    const ssize_t got = ::read(call.fd(), buffer, count);
    if (got >= 0) {
      transferred = static_cast<std::uint32_t>(got);  // 0: the far end hung up
      record.impl().transferred = transferred;
      return kSuccess;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kSuccess;  // nothing queued after all
    return LastErrno();
  }
}

ErrorCode Port::Write(const void* bytes, std::uint32_t count, IoRecord& record,
                      std::uint32_t& transferred) {
  transferred = 0;
  record.impl().transferred = 0;
  CallGuard call(*impl_);
  if (call.fd() < 0) return EBADF;
  // The write time-out: a total of multiplier × count + constant milliseconds, none when 0.
  const std::uint64_t limit = std::uint64_t{impl_->timeouts.writeTotalTimeoutMultiplier} * count +
                              impl_->timeouts.writeTotalTimeoutConstant;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit);
  const auto* next = static_cast<const std::uint8_t*>(bytes);
  while (transferred < count) {
    const ssize_t put = ::write(call.fd(), next, count - transferred);
    if (put > 0) {
      transferred += static_cast<std::uint32_t>(put);
      next += put;
      continue;
    }
    if (put < 0 && errno == EINTR) continue;
    if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return LastErrno();
    int waitMs = -1;
    if (limit != 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;  // timed out: what went out counts, as on Win32
      waitMs = static_cast<int>(left.count());
    }
    pollfd out = {call.fd(), POLLOUT, 0};
    const int ready = poll(&out, 1, waitMs);
    if (ready < 0) {
      if (errno == EINTR) continue;  // a signal: wait again, for what is left of the time
      return LastErrno();
    }
    if (ready == 0) break;  // timed out
    // POLLHUP or POLLERR: the next write tells the error.
  }
  record.impl().transferred = transferred;
  return kSuccess;
}

ErrorCode Port::AwaitResult(IoRecord& record, std::uint32_t& transferred) {
  transferred = record.impl().transferred;
  return kSuccess;
}

// Only a whole process ends here, never a thread inside a call alone.
void Port::CloseWithin(std::uint32_t) { Close(); }

void Port::Close() {
  const int fd = impl_->fd.load();
  if (fd < 0) return;
  impl_->closing.store(true);
  SignalWakeUp(impl_->wakeWriteFd);
  // Wait for the calls still inside (the reader's wait ends at the wake-up just sent).
  for (int inside = impl_->callsInside.load(); inside != 0; inside = impl_->callsInside.load()) {
    impl_->callsInside.wait(inside);
  }
  if (impl_->restoreOriginal) (void)tcsetattr(fd, TCSANOW, &impl_->original);
  impl_->restoreOriginal = false;
  ReleaseDevice(fd);  // the flock goes with the last close
  CloseQuietly(impl_->wakeReadFd);
  if (impl_->wakeWriteFd != impl_->wakeReadFd) CloseQuietly(impl_->wakeWriteFd);
  impl_->wakeReadFd = -1;
  impl_->wakeWriteFd = -1;
  impl_->fd.store(-1);
}

}  // namespace js::sys
