#include "ResizeWatch.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

// The pipe the handler writes into; -1 while no watch is started.
std::atomic<int> g_resizeWrite{-1};
static_assert(std::atomic<int>::is_always_lock_free, "read from a signal handler");

void OnResize(int) {
  const int saved = errno;
  const int fd = g_resizeWrite.load();
  const char byte = 1;
  // A full pipe has a resize waiting already: one is as good as many.
  if (fd >= 0) (void)!::write(fd, &byte, 1);
  errno = saved;
}

}  // namespace

ResizeWatch::~ResizeWatch() {
  if (installed_) {
    (void)::sigaction(SIGWINCH, &previous_, nullptr);
    g_resizeWrite.store(-1);
  }
}

bool ResizeWatch::Start() {
  if (installed_) return true;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  read_.Reset(ends[0]);
  write_.Reset(ends[1]);
  g_resizeWrite.store(write_.get());
  struct sigaction action {};
  action.sa_handler = &OnResize;
  action.sa_flags = SA_RESTART;  // a read or write it lands in goes on
  sigemptyset(&action.sa_mask);
  if (::sigaction(SIGWINCH, &action, &previous_) != 0) {
    g_resizeWrite.store(-1);
    read_.Reset();
    write_.Reset();
    return false;
  }
  installed_ = true;
  return true;
}

bool ResizeWatch::Take() {
  if (!read_.valid()) return false;
  bool resized = false;
  char bytes[64];
  while (::read(read_.get(), bytes, sizeof bytes) > 0) resized = true;
  return resized;
}
