// The reader thread over Win32 threads. The link waits for the thread's end before it lets the
// object go, so the thread may read its entry and parameter from here for its whole life.

#include "WinApi.h"

#include "Platform.h"

namespace js::sys {

struct Thread::Impl {
  HANDLE handle = nullptr;  // null when no thread was started
  Entry entry = nullptr;
  void* parameter = nullptr;

  static DWORD WINAPI Run(LPVOID self) {
    auto* impl = static_cast<Impl*>(self);
    return impl->entry(impl->parameter);
  }
};

Thread::Thread() : impl_(std::make_unique<Impl>()) {}
Thread::~Thread() { Release(); }

bool Thread::Start(Entry entry, void* parameter) {
  if (impl_->handle != nullptr) return false;
  impl_->entry = entry;
  impl_->parameter = parameter;
  // Default security and stack size, running at once; the thread id is not kept.
  impl_->handle = CreateThread(nullptr, 0, &Impl::Run, impl_.get(), 0, nullptr);
  return impl_->handle != nullptr;
}

bool Thread::IsStarted() const { return impl_->handle != nullptr; }

void Thread::RaisePriority() {
  if (impl_->handle == nullptr) return;
  (void)SetThreadPriority(impl_->handle, THREAD_PRIORITY_TIME_CRITICAL);  // a refusal is fine
}

bool Thread::WaitForExit(std::uint32_t milliseconds) {
  if (impl_->handle == nullptr) return true;
  // Only a time-out means the thread is still running; a failed wait is not a reason to end it
  // by force.
  return WaitForSingleObject(impl_->handle, milliseconds) != WAIT_TIMEOUT;
}

std::intptr_t Thread::Waitable() const {
  return impl_->handle != nullptr ? reinterpret_cast<std::intptr_t>(impl_->handle) : -1;
}

void Thread::ForceEnd() {
  if (impl_->handle == nullptr) return;
  // TerminateThread only asks for the end; the thread may still run for a moment after it
  // returns. Its entry and parameter live in this object, so wait for the real end before
  // anyone can free it.
  if (TerminateThread(impl_->handle, 0)) (void)WaitForSingleObject(impl_->handle, INFINITE);
}

void Thread::Release() {
  if (impl_->handle == nullptr) return;
  CloseHandle(impl_->handle);
  impl_->handle = nullptr;
}

}  // namespace js::sys
