#include "ChangeQueue.h"

#include <algorithm>
#include <bit>
#include <chrono>

namespace js {

ChangeQueue::ChangeQueue(std::uint32_t capacity, std::uint32_t firstCount)
    : capacity_(std::clamp<std::uint32_t>(capacity, 2, 1u << 31)),
      slots_(std::bit_ceil(capacity_)),
      mask_(static_cast<std::uint32_t>(slots_.size() - 1)),
      written_(firstCount),
      taken_(firstCount),
      waitable_(ready_.Waitable()) {}

void ChangeQueue::Push(const JogShuttleChange& change) noexcept {
  std::uint32_t written = written_.load(std::memory_order_relaxed);
  auto room = [&] { return capacity_ - (written - taken_.load(std::memory_order_acquire)); };
  // Changes lost before this one are told in their place, as soon as there is room to say so.
  if (lost_.load(std::memory_order_relaxed) != 0 && room() >= 2) {
    if (const std::uint32_t lost = lost_.exchange(0); lost != 0) {
      JogShuttleChange& marker = slots_[written & mask_];
      marker = JogShuttleChange{};
      marker.kind = JogShuttleChange::Kind::kLost;
      marker.lost = lost;
      marker.readTime = change.readTime;
      written_.store(++written, std::memory_order_release);
    }
  }
  if (room() == 0) {
    lost_.fetch_add(1);
  } else {
    slots_[written & mask_] = change;
    written_.store(written + 1, std::memory_order_release);
  }
  ready_.Set();
}

bool ChangeQueue::Pop(JogShuttleChange& change) noexcept {
  const std::uint32_t taken = taken_.load(std::memory_order_relaxed);
  if (taken == written_.load(std::memory_order_acquire)) {
    // Everything kept has been taken: changes lost after it are told now.
    const std::uint32_t lost = lost_.load() != 0 ? lost_.exchange(0) : 0;
    if (lost == 0) return false;
    change = JogShuttleChange{};
    change.kind = JogShuttleChange::Kind::kLost;
    change.lost = lost;
    change.readTime = std::chrono::steady_clock::now();
    return true;
  }
  change = slots_[taken & mask_];
  taken_.store(taken + 1, std::memory_order_release);
  return true;
}

bool ChangeQueue::Wait(JogShuttleChange& change, std::uint32_t milliseconds) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    if (Pop(change)) return true;
    // Reset before the second look, so that a change pushed in between sets it again.
    ready_.Reset();
    if (Pop(change)) return true;
    std::uint32_t wait = sys::kInfinite;
    if (milliseconds != sys::kInfinite) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      wait = static_cast<std::uint32_t>(left.count());
    }
    if (ready_.Wait(wait) != sys::Event::WaitResult::kSignalled) return Pop(change);
  }
}

void ChangeQueue::Clear() noexcept {
  written_.store(0);
  taken_.store(0);
  lost_.store(0);
  ready_.Reset();
}

}  // namespace js
