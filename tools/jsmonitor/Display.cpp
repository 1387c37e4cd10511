#include "Display.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "LogSink.h"
#include "StateLine.h"

namespace {

constexpr auto kLockSlice = std::chrono::milliseconds(100);
// What a terminal that reports room takes at once (its wake-up threshold).
constexpr std::size_t kWriteSlice = 256;
constexpr const char* kClearLine = "\r\x1b[K";

std::atomic<Display*> g_hooked{nullptr};
thread_local Display* t_holding = nullptr;  // the display a log write on this thread has taken

// 0 when `fd` is no terminal or does not know its size (a serial console may say 0).
std::size_t TerminalColumns(int fd) {
  winsize size{};
  return ::ioctl(fd, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

}  // namespace

bool Display::Screen::TryTake(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!given_.wait_for(lock, timeout, [this] { return !taken_; })) return false;
  taken_ = true;
  return true;
}

void Display::Screen::Take() {
  std::unique_lock lock(mutex_);
  given_.wait(lock, [this] { return !taken_; });
  taken_ = true;
}

void Display::Screen::Give() {
  {
    std::lock_guard lock(mutex_);
    taken_ = false;
  }
  given_.notify_one();
}

Display::Display(int fd, bool live, std::function<bool()> abandon)
    : fd_(fd), live_(live), abandon_(std::move(abandon)) {
  if (!live_) return;
  (void)resize_.Start();  // before the width is read, so that no resize falls between
  columns_ = TerminalColumns(fd_);
}

bool Display::Lock() {
  // The log may hold the screen while standard error is slow; a stop must still be heard.
  for (;;) {
    const bool stopping = abandon_();
    if (screen_.TryTake(stopping ? std::chrono::milliseconds(0) : kLockSlice)) return true;
    if (stopping) return false;
  }
}

bool Display::Write(const std::string& text) {
  if (error_.load() != 0) return false;
  std::size_t done = 0;
  while (done < text.size()) {
    // A terminal on hold or a pipe nobody reads must not keep a stop from being heard: wait for
    // room in slices, then write no more than surely fits without blocking for long.
    // Once stopping, there is no waiting at all: a pipe nobody reads is never waited for twice.
    const bool stopping = abandon_();
    pollfd out = {fd_, POLLOUT, 0};
    const int ready = ::poll(&out, 1, stopping ? 0 : static_cast<int>(kLockSlice.count()));
    if (ready == 0 || (ready < 0 && errno == EINTR)) {
      if (stopping) return false;
      continue;
    }
    const ssize_t put =
        ::write(fd_, text.data() + done, std::min<std::size_t>(text.size() - done, kWriteSlice));
    if (put > 0) {
      done += static_cast<std::size_t>(put);
      continue;
    }
    if (put < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    error_.store(put < 0 ? errno : EIO);
    return false;
  }
  return true;
}

bool Display::ReaderGone() {
  if (error_.load() != 0) return error_.load() == EPIPE;
  pollfd out = {fd_, 0, 0};
  if (::poll(&out, 1, 0) == 1 && (out.revents & (POLLERR | POLLHUP)) != 0) {
    int expected = 0;
    error_.compare_exchange_strong(expected, EPIPE);
    return true;
  }
  return false;
}

std::intptr_t Display::ReaderGoneSignal() const {
  struct stat status {};
  return ::fstat(fd_, &status) == 0 && S_ISFIFO(status.st_mode) ? fd_ : -1;
}

bool Display::Announce(const std::string& line) {
  if (!Lock()) return false;
  std::string text;
  if (live_ && !status_.empty()) text = kClearLine;
  text += line;
  text += '\n';
  status_.clear();
  wanted_.clear();
  const bool written = Write(text);
  screen_.Give();
  return written;
}

bool Display::Status(const std::string& line) {
  if (!screen_.TryTake(abandon_() ? std::chrono::milliseconds(0) : kLockSlice)) return false;
  bool written;
  if (live_) {
    std::string drawn = FitToWidth(line, columns_);
    written = Write("\r" + drawn + "\x1b[K");
    status_ = std::move(drawn);
    wanted_ = line;
  } else {
    written = Write(line + "\n");
  }
  screen_.Give();
  return written;
}

void Display::Finish() {
  if (!live_ || !Lock()) return;
  if (!status_.empty()) (void)Write("\n");
  status_.clear();
  wanted_.clear();
  screen_.Give();
}

void Display::Resized() {
  if (!resize_.Take() || !Lock()) return;
  columns_ = TerminalColumns(fd_);
  if (!status_.empty()) {
    std::string drawn = FitToWidth(wanted_, columns_);
    if (drawn != status_ && Write("\r" + drawn + "\x1b[K")) status_ = std::move(drawn);
  }
  screen_.Give();
}

void Display::HookLog() {
  g_hooked.store(this);
  jslog::SetStderrWriteHooks(&Display::BeforeLogWrite, &Display::AfterLogWrite);
}

void Display::UnhookLog() {
  jslog::SetStderrWriteHooks(nullptr, nullptr);
  g_hooked.store(nullptr);
}

// On the log's writer thread: takes the screen for the length of one write to standard error.
void Display::BeforeLogWrite() {
  Display* display = g_hooked.load();
  if (display == nullptr) return;
  display->screen_.Take();
  t_holding = display;
  if (!display->status_.empty()) (void)display->Write(kClearLine);
}

void Display::AfterLogWrite() {
  Display* display = t_holding;
  if (display == nullptr) return;
  t_holding = nullptr;
  if (!display->status_.empty()) (void)display->Write("\r" + display->status_ + "\x1b[K");
  display->screen_.Give();
}
