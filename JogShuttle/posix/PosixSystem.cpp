// Sleep, error texts and events over POSIX.

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>

#include <fcntl.h>
#include <unistd.h>

#include "Platform.h"

#if defined(__linux__)
#include <sys/eventfd.h>
#include <sys/prctl.h>
#endif

namespace js::sys {

// A signal ends every thread or none.
bool MainThreadEnded() { return false; }

void EndProcess(int status) { _exit(status); }

void Sleep(std::uint32_t milliseconds) {
#if defined(__linux__)
  // The handshake paces itself with dozens of 5 and 10 ms pauses; Linux's default timer slack
  // of 50 us on each would add up to a noticeable delay per port.
  thread_local const bool tightTimers = prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
  (void)tightTimers;
#endif
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

namespace {
// strerror_r comes in two shapes; take the text from either.
[[maybe_unused]] const char* PickText(int result, const char* buffer) {
  return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* PickText(const char* result, const char*) { return result; }
}  // namespace

std::wstring ErrorText(ErrorCode code) {
  char buffer[256] = {};
  const char* text = PickText(strerror_r(static_cast<int>(code), buffer, sizeof buffer), buffer);
  if (text == nullptr || *text == '\0') return kNoErrorText;
  std::wstring wide;
  for (const char* p = text; *p != '\0'; ++p) {
    wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
  }
  return wide;
}

struct Event::Impl {
  ~Impl() {
    if (readEnd >= 0) ::close(readEnd);
    if (writeEnd >= 0 && writeEnd != readEnd) ::close(writeEnd);
  }
  // Keeps the waitable in step with `signalled`, under the lock: one byte (or count) while set.
  void Mirror(bool set) {
    if (readEnd < 0) return;
    if (set) {
      const std::uint64_t one = 1;
      (void)!::write(writeEnd, &one, writeEnd == readEnd ? sizeof one : 1);
    } else {
      std::uint64_t drained[8];
      while (::read(readEnd, drained, sizeof drained) > 0) {
      }
    }
  }

  std::mutex lock;
  std::condition_variable changed;
  bool signalled = false;  // guarded by lock
  // Mirrors `signalled` so that setting an event that is already set takes no lock: the decoder
  // sets it after every report, and a client resets it only now and then.
  std::atomic<bool> alreadySet{false};
  int readEnd = -1;  // the waitable, once asked for: an eventfd (both ends) or a pipe
  int writeEnd = -1;
};

Event::Event() : impl_(new (std::nothrow) Impl) {}
Event::~Event() = default;

void Event::Set() {
  if (!impl_ || impl_->alreadySet.load(std::memory_order_acquire)) return;
  {
    std::lock_guard<std::mutex> guard(impl_->lock);
    if (impl_->signalled) return;
    impl_->signalled = true;
    impl_->alreadySet.store(true, std::memory_order_release);
    impl_->Mirror(true);
  }
  impl_->changed.notify_all();
}

void Event::Reset() {
  if (!impl_) return;
  std::lock_guard<std::mutex> guard(impl_->lock);
  if (impl_->signalled) impl_->Mirror(false);
  impl_->signalled = false;
  impl_->alreadySet.store(false, std::memory_order_release);
}

std::intptr_t Event::Waitable() {
  if (!impl_) return -1;
  std::lock_guard<std::mutex> guard(impl_->lock);
  if (impl_->readEnd < 0) {
#if defined(__linux__)
    impl_->readEnd = impl_->writeEnd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
#else
    int ends[2];
    if (::pipe(ends) == 0) {
      for (const int end : ends) {
        (void)::fcntl(end, F_SETFL, O_NONBLOCK);
        (void)::fcntl(end, F_SETFD, FD_CLOEXEC);
      }
      impl_->readEnd = ends[0];
      impl_->writeEnd = ends[1];
    }
#endif
    if (impl_->readEnd >= 0 && impl_->signalled) impl_->Mirror(true);
  }
  return impl_->readEnd;
}

Event::WaitResult Event::Wait(std::uint32_t milliseconds) {
  if (!impl_) return WaitResult::kFailed;
  std::unique_lock<std::mutex> guard(impl_->lock);
  auto isSet = [this] { return impl_->signalled; };
  if (milliseconds == kInfinite) {
    impl_->changed.wait(guard, isSet);
    return WaitResult::kSignalled;
  }
  return impl_->changed.wait_for(guard, std::chrono::milliseconds(milliseconds), isSet)
             ? WaitResult::kSignalled
             : WaitResult::kTimeout;
}

}  // namespace js::sys
