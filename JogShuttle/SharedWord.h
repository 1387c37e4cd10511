#pragma once
// A 32-bit word that one thread writes while another reads it, without a lock. Every read sees
// a whole value that was written; no ordering with other words is promised (relaxed).

#include <atomic>

namespace js {

template <typename T>
class SharedWord {
  static_assert(sizeof(T) == 4 && std::atomic<T>::is_always_lock_free);

 public:
  constexpr SharedWord(T value = T{}) noexcept : value_(value) {}
  SharedWord(const SharedWord&) = delete;
  SharedWord& operator=(const SharedWord&) = delete;

  T Load() const noexcept { return value_.load(std::memory_order_relaxed); }
  void Store(T value) noexcept { value_.store(value, std::memory_order_relaxed); }
  operator T() const noexcept { return Load(); }
  SharedWord& operator=(T value) noexcept {
    Store(value);
    return *this;
  }
  // Read-modify-write as one step, so a concurrent Reset cannot be undone by a stale write-back.
  // Bits already as wanted are left alone: a locked step costs more than a look.
  void SetBits(T bits) noexcept {
    if ((Load() & bits) != bits) value_.fetch_or(bits, std::memory_order_relaxed);
  }
  void ClearBits(T bits) noexcept {
    if ((Load() & bits) != 0) value_.fetch_and(static_cast<T>(~bits), std::memory_order_relaxed);
  }
  void operator+=(T amount) noexcept {
    if (amount != 0) value_.fetch_add(amount, std::memory_order_relaxed);
  }

 private:
  std::atomic<T> value_;
};

}  // namespace js
