// Standard output on Windows: a console's window width read at each draw, the console made to
// take the status line's escapes for as long as the display lives, and plain blocking writes.

#include <io.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "ErrnoWin32.h"
#include "OutputPort.h"
#include "Program.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace {

// Long enough for a console paused by a selection to be let go of by the user; a stopped program
// whose output takes nothing for that long ends all the same.
constexpr std::chrono::milliseconds kStopGrace{3000};
constexpr DWORD kLive = ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING;

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// A console takes "\r" and "\x1b[K" once told to; its mode before that, or nothing when it is no
// console or refuses (an old console: a line per change then).
bool MakeLive(HANDLE console, DWORD& before) {
  if (console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &before)) return false;
  return (before & kLive) == kLive || SetConsoleMode(console, before | kLive);
}

}  // namespace

struct OutputPort::Impl {
  HANDLE handle = INVALID_HANDLE_VALUE;  // the C runtime's: not ours to close
  bool terminal = false;
  bool restore = false;  // the console's mode was changed and is put back
  DWORD mode = 0;
};

OutputPort::OutputPort(int fd, bool terminal) : impl_(std::make_unique<Impl>()) {
  impl_->handle = HandleOf(fd);
  if (!terminal) return;
  impl_->terminal = true;
  DWORD before = 0;
  if (MakeLive(impl_->handle, before) && (before & kLive) != kLive) {
    impl_->restore = true;
    impl_->mode = before;
  }
}

OutputPort::~OutputPort() {
  // The console outlives us: the shell gets it back as it was.
  if (impl_->restore) (void)SetConsoleMode(impl_->handle, impl_->mode);
}

std::size_t OutputPort::Columns() const {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!impl_->terminal || !GetConsoleScreenBufferInfo(impl_->handle, &info)) return 0;
  const int columns = info.srWindow.Right - info.srWindow.Left + 1;
  return columns > 0 ? static_cast<std::size_t>(columns) : 0;
}

jsprogram::WaitHandle OutputPort::ResizeSignal() const { return jsprogram::kNoWaitHandle; }

bool OutputPort::TakeResize() { return false; }

bool OutputPort::Write(std::string_view text, const std::function<bool()>&, int& error) {
  error = 0;
  std::size_t done = 0;
  while (done < text.size()) {
    DWORD put = 0;
    const DWORD size = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 1 << 16));
    if (!WriteFile(impl_->handle, text.data() + done, size, &put, nullptr)) {
      error = ErrnoFromWin32(GetLastError());
      return false;
    }
    if (put == 0) {
      error = EIO;
      return false;
    }
    done += put;
  }
  return true;
}

bool OutputPort::ReaderGone() const { return false; }

jsprogram::WaitHandle OutputPort::ReaderGoneSignal() const { return jsprogram::kNoWaitHandle; }

bool IsLiveTerminal(int fd) {
  const HANDLE console = HandleOf(fd);
  DWORD before = 0;
  if (!MakeLive(console, before)) return false;
  // Only asked here: the display's port changes the mode for its own life.
  if ((before & kLive) != kLive) (void)SetConsoleMode(console, before);
  return true;
}

void EndEvenIfOutputHangs() {
  jsprogram::EndWithin(kStopGrace, "standard output takes nothing: ending all the same");
}
