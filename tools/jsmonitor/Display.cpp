#include "Display.h"

#include <cerrno>
#include <chrono>

#include "LogSink.h"
#include "StateLine.h"

namespace {

constexpr auto kLockSlice = std::chrono::milliseconds(100);
constexpr const char* kClearLine = "\r\x1b[K";

std::atomic<Display*> g_hooked{nullptr};
thread_local Display* t_holding = nullptr;  // the display a log write on this thread has taken

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
    : live_(live), abandon_(std::move(abandon)), port_(fd, live) {}

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
  int error = 0;
  if (port_.Write(text, abandon_, error)) return true;
  if (error != 0) error_.store(error);
  return false;
}

bool Display::ReaderGone() {
  if (error_.load() != 0) return error_.load() == EPIPE;
  if (!port_.ReaderGone()) return false;
  int expected = 0;
  error_.compare_exchange_strong(expected, EPIPE);
  return true;
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
    std::string drawn = FitToWidth(line, port_.Columns());
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
  if (!port_.TakeResize() || !Lock()) return;
  if (!status_.empty()) {
    std::string drawn = FitToWidth(wanted_, port_.Columns());
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
