#pragma once
// A thread's own scratch object, kept for the thread's life so that logging allocates nothing per
// line. A line may still be logged after it is gone: from the destructor of a static object (a
// library user's link kept in a static, whose Close logs) or of another thread-local. Then this
// gives null and the caller makes a scratch object of its own for that one line.

namespace jslog {

#if defined(_WIN32)
namespace detail {
// mingw-w64 emulates thread_local with winpthreads keys: a second thread-local touched from the
// first one's destructor left the key lock taken and hung the process at exit, and a holder that
// marks itself is read after its storage is freed. So Windows keeps the object in a fiber-local
// slot, whose callback frees it, and the "gone" mark in a plain TLS slot, which lasts as long as
// the thread does.
struct WindowsSlot {
  unsigned long object;
  unsigned long gone;
};
WindowsSlot MakeWindowsSlot();
void* WindowsThreadObject(const WindowsSlot& slot, void* (*make)(), void (*destroy)(void*));
}  // namespace detail

template <typename T>
T* ThreadLocal() {
  static const detail::WindowsSlot slot = detail::MakeWindowsSlot();
  return static_cast<T*>(detail::WindowsThreadObject(
      slot, []() -> void* { return new T(); }, [](void* object) { delete static_cast<T*>(object); }));
}
#else
template <typename T>
T* ThreadLocal() {
  // Trivially destructible, so it can still be read once the holder below has been destroyed.
  thread_local bool gone = false;
  struct Holder {
    T value;
    ~Holder() { gone = true; }
  };
  if (gone) return nullptr;
  thread_local Holder holder;
  return &holder.value;
}
#endif

}  // namespace jslog
