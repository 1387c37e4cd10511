#pragma once
// The changes the decoder makes, kept in order for a client that wants every one of them: a ring
// the reader thread fills and one client thread empties, with no lock between them. The reader
// never waits and never allocates here; when the ring is full it counts the changes it could not
// keep, and the client is told how many, in their place.

#include <atomic>
#include <cstdint>
#include <vector>

#include "Platform.h"
#include "SerialJS.h"

namespace js {

class ChangeQueue {
 public:
  // Keeps up to `capacity` changes (at least 2, at most 2^31). `firstCount` is where the counts
  // start; tests start them near their wrap.
  explicit ChangeQueue(std::uint32_t capacity, std::uint32_t firstCount = 0);

  // The reader thread's.
  void Push(const JogShuttleChange& change) noexcept;

  // The client's: the oldest change kept, or where changes were lost, a kLost change with their
  // number. False when there is nothing.
  bool Pop(JogShuttleChange& change) noexcept;
  // Waits up to `milliseconds` (sys::kInfinite: no limit) for a change; false when none came.
  bool Wait(JogShuttleChange& change, std::uint32_t milliseconds);
  // Forgets everything; only while no reader runs.
  void Clear() noexcept;
  // Ready while changes (or a loss) wait to be taken; see SerialJS::ChangeSignal.
  std::intptr_t Waitable() { return waitable_; }

 private:
  std::uint32_t capacity_;
  // A power of two, at least capacity_ (up to twice as many for a capacity that is not one): 2^32
  // is then a whole number of laps, so `count & mask_` goes on in step when a count wraps.
  std::vector<JogShuttleChange> slots_;
  std::uint32_t mask_;
  // Counts of changes written and taken, modulo 2^32; their difference is what waits in the ring.
  std::atomic<std::uint32_t> written_{0};
  std::atomic<std::uint32_t> taken_{0};
  std::atomic<std::uint32_t> lost_{0};  // not kept since the last kLost was put in the ring
  sys::Event ready_;                    // set after each Push
  std::intptr_t waitable_ = -1;         // ready_'s, made with the queue, before any reader runs
};

}  // namespace js
