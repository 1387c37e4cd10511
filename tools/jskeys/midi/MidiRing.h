#pragma once
// What goes from one thread (the one writer) to another (the one reader) without a lock: a ring
// of fixed-size entries whose two positions are atomic words. The reader is JACK's process
// callback, which must never wait, allocate or call the system; the entries are all allocated
// (and locked in memory, where the system allows) before it runs.

#include <sys/mman.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace jskeys {

struct MidiEvent {
  std::uint32_t frame = 0;  // jack_frame_time when it was sent
  std::uint8_t bytes[3] = {};
  std::uint8_t unused = 0;
};

template <typename Entry>
class OneWayRing {
 public:
  explicit OneWayRing(std::size_t entries) : slots_(entries + 1) {
    // Best effort: a page fault in the process callback costs a period, not an event.
    ::mlock(slots_.data(), slots_.size() * sizeof(Entry));
  }
  ~OneWayRing() { ::munlock(slots_.data(), slots_.size() * sizeof(Entry)); }
  OneWayRing(const OneWayRing&) = delete;
  OneWayRing& operator=(const OneWayRing&) = delete;

  // The writer's side. False when the ring is full.
  bool Push(const Entry& entry) {
    const std::size_t write = write_.load(std::memory_order_relaxed);
    const std::size_t next = Next(write);
    if (next == read_.load(std::memory_order_acquire)) return false;
    slots_[write] = entry;
    write_.store(next, std::memory_order_release);
    return true;
  }
  // The reader's side: the oldest entry, left in place until Drop.
  bool Peek(Entry& entry) const {
    const std::size_t read = read_.load(std::memory_order_relaxed);
    if (read == write_.load(std::memory_order_acquire)) return false;
    entry = slots_[read];
    return true;
  }
  void Drop() {
    read_.store(Next(read_.load(std::memory_order_relaxed)), std::memory_order_release);
  }
  // Either side: nothing waits.
  bool Empty() const {
    return read_.load(std::memory_order_acquire) == write_.load(std::memory_order_acquire);
  }

 private:
  std::size_t Next(std::size_t at) const { return at + 1 == slots_.size() ? 0 : at + 1; }

  std::vector<Entry> slots_;  // one more than it holds: full and empty differ
  std::atomic<std::size_t> write_{0};
  std::atomic<std::size_t> read_{0};
};

using MidiRing = OneWayRing<MidiEvent>;

}  // namespace jskeys
