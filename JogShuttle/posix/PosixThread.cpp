// Threads over pthreads. No thread is ever ended by force here: ForceEnd waits for the end, and
// a thread never outlives the object that started it.

#include <pthread.h>
#include <sched.h>

#include <condition_variable>
#include <mutex>

#include "Platform.h"

namespace js::sys {

struct Thread::Impl {
  pthread_t handle{};
  // From Start until Release, as a Win32 thread handle is held: a thread that has ended still
  // counts as started, and Start is refused, until it is released.
  bool started = false;
  bool joined = false;
  Entry entry = nullptr;
  void* parameter = nullptr;
  std::mutex lock;
  std::condition_variable endedChanged;
  bool ended = false;

  static void* Run(void* self) {
    auto* impl = static_cast<Impl*>(self);
    impl->entry(impl->parameter);
    {
      std::lock_guard<std::mutex> guard(impl->lock);
      impl->ended = true;
    }
    impl->endedChanged.notify_all();
    return nullptr;
  }

  void Join() {
    if (!started || joined) return;
    pthread_join(handle, nullptr);
    joined = true;
  }
};

Thread::Thread() : impl_(std::make_unique<Impl>()) {}
Thread::~Thread() { Release(); }

bool Thread::Start(Entry entry, void* parameter) {
  if (impl_->started) return false;
  impl_->entry = entry;
  impl_->parameter = parameter;
  impl_->ended = false;
  impl_->joined = false;
  impl_->started = pthread_create(&impl_->handle, nullptr, &Impl::Run, impl_.get()) == 0;
  return impl_->started;
}

bool Thread::IsStarted() const { return impl_->started; }

void Thread::RaisePriority() {
  if (!impl_->started) return;
  // A real-time policy where the system grants it; refused without privilege, which is fine.
  const int lowest = sched_get_priority_min(SCHED_FIFO);
  const int highest = sched_get_priority_max(SCHED_FIFO);
  if (lowest < 0 || highest < 0) return;
  sched_param param{};
  param.sched_priority = lowest + (highest - lowest) / 2;
  (void)pthread_setschedparam(impl_->handle, SCHED_FIFO, &param);
}

bool Thread::WaitForExit(std::uint32_t milliseconds) {
  if (!impl_->started) return true;
  {
    std::unique_lock<std::mutex> guard(impl_->lock);
    auto hasEnded = [this] { return impl_->ended; };
    if (milliseconds == kInfinite) {
      impl_->endedChanged.wait(guard, hasEnded);
    } else if (!impl_->endedChanged.wait_for(guard, std::chrono::milliseconds(milliseconds),
                                             hasEnded)) {
      return false;
    }
  }
  impl_->Join();
  return true;
}

// A signal ends every thread or none.
std::intptr_t Thread::Waitable() const { return -1; }

void Thread::ForceEnd() { impl_->Join(); }

void Thread::Release() {
  impl_->Join();
  impl_->started = false;
}

}  // namespace js::sys
