#pragma once
// The standard-error sink's queue: callers format and enqueue, one writer thread writes. A
// stalled standard error (a pipe nobody reads, a terminal on hold) then stalls only the writer;
// callers, the link's reader thread among them, never wait for it. When the queue is full, lines
// are dropped and counted, and a line in their place says how many:
//   [0:1] log: 37 lines dropped
// Lines stay whole and in order; repeats are folded (LineFolder).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "LineFolder.h"

namespace jslog {

// Category and level of the line that counts dropped lines: the log itself, a failure.
inline constexpr std::uint32_t kLogCategory = 0;
inline constexpr std::uint32_t kDroppedLevel = 1;
std::string DroppedText(std::uint64_t dropped);

class StderrQueue {
 public:
  using WriteFunction = std::function<void(std::string_view)>;
  using ClockFunction = std::function<LineFolder::Clock::time_point()>;
  using Hook = void (*)();

  struct Options {
    WriteFunction write;  // writes whole lines; may block
    ClockFunction clock;  // for folding; empty: the steady clock
    std::size_t capacity = 1024;        // lines waiting
    std::size_t byteCapacity = 1 << 20; // their text
    bool detachWriter = false;  // the process's own queue: it is never destroyed, never joined
  };

  // Slots, and bytes in each, kept for the program's own lines (PushPlain) when log lines fill
  // the rest.
  static constexpr std::size_t kPlainReserve = 32;
  static constexpr std::size_t kPlainReserveBytes = 1024;

  explicit StderrQueue(Options options);
  // Writes out what is queued and ends the writer (which must not be stalled for ever).
  ~StderrQueue();
  StderrQueue(const StderrQueue&) = delete;
  StderrQueue& operator=(const StderrQueue&) = delete;

  // Copies the line in and returns; the writer starts at the first line. Never blocks on the
  // writer: the lock is held only to move the prepared text into its slot.
  void Push(std::uint32_t category, std::uint32_t level, std::string_view text) noexcept;
  // A line of the program's own ("jskeys: ..."), written as it stands, in order with the rest.
  void PushPlain(std::string_view text) noexcept;
  // Waits until what was queued before the call is written, the count of a run of repeats
  // included, or until `timeout` has passed; true when it was written.
  bool Flush(std::chrono::milliseconds timeout) noexcept;
  // Called on the writer thread around each write (nullptr: none). The two are taken as a pair
  // for each write, so that a change between them can never call one without the other.
  void SetHooks(Hook before, Hook after) noexcept;

  // Around fork(): the child gets a queue that works, with a writer of its own at its first
  // line, and none of the parent's lines (the parent writes them). No lock is held across the
  // fork, so none can be left locked in the child by a thread that does not exist there.
  void BeforeFork() noexcept;
  void AfterForkInParent() noexcept;
  void AfterForkInChild() noexcept;

 private:
  struct Slot {
    std::uint32_t category = 0;
    std::uint32_t level = 0;
    std::uint64_t droppedBefore = 0;  // lines dropped just before this one
    bool plain = false;               // the program's own: no prefix, never folded
    std::string text;
  };

  void Enqueue(std::uint32_t category, std::uint32_t level, bool plain,
               std::string_view text) noexcept;
  void StartWriter() noexcept;
  void Run() noexcept;
  void WaitForWork(std::unique_lock<std::mutex>& lock);
  LineFolder::Clock::time_point Now() const;

  Options options_;
  std::mutex startLock_;
  std::atomic<bool> started_{false};
  std::thread writer_;
  std::mutex hookLock_;
  Hook before_ = nullptr;  // guarded by hookLock_
  Hook after_ = nullptr;

  std::mutex lock_;
  std::condition_variable wakeWriter_;
  std::condition_variable written_;
  // Guarded by lock_: a ring of slots, the count of drops not yet told, and the flush requests.
  std::vector<Slot> slots_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  std::size_t bytes_ = 0;
  std::uint64_t dropped_ = 0;
  bool writerWaiting_ = false;
  bool stop_ = false;
  std::uint64_t flushWanted_ = 0;
  std::uint64_t flushDone_ = 0;

  LineFolder folder_;  // the writer's alone
};

}  // namespace jslog
