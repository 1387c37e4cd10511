#pragma once
// A thread's own scratch object, kept for the thread's life so that logging allocates nothing per
// line. A line may still be logged after it is gone: from the destructor of a static object (a
// library user's link kept in a static, whose Close logs) or of another thread-local. Then this
// gives null and the caller makes a scratch object of its own for that one line.

namespace jslog {

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

}  // namespace jslog
