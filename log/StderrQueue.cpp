#include "StderrQueue.h"

#include <algorithm>
#include <new>
#include <utility>

#include "LogSink.h"
#include "ThreadLocal.h"

namespace jslog {

std::string DroppedText(std::uint64_t dropped) {
  return "log: " + std::to_string(dropped) + (dropped == 1 ? " line dropped" : " lines dropped");
}

StderrQueue::StderrQueue(Options options) : options_(std::move(options)) {
  // The program's own messages have room of their own beyond the log lines': a flood of log
  // lines never drops the message that says what the flood meant.
  slots_.resize(std::max<std::size_t>(options_.capacity, 1) + kPlainReserve);
}

StderrQueue::~StderrQueue() {
  {
    std::lock_guard<std::mutex> lock(lock_);
    stop_ = true;
  }
  wakeWriter_.notify_one();
  if (writer_.joinable()) writer_.join();
}

LineFolder::Clock::time_point StderrQueue::Now() const {
  return options_.clock ? options_.clock() : LineFolder::Clock::now();
}

void StderrQueue::SetHooks(Hook before, Hook after) noexcept {
  std::lock_guard<std::mutex> lock(hookLock_);
  before_ = before;
  after_ = after;
}

void StderrQueue::BeforeFork() noexcept {
  startLock_.lock();
  hookLock_.lock();
  lock_.lock();
}

void StderrQueue::AfterForkInParent() noexcept {
  lock_.unlock();
  hookLock_.unlock();
  startLock_.unlock();
}

void StderrQueue::AfterForkInChild() noexcept {
  // Only this thread exists here; the locks it took before the fork are its own to release.
  head_ = 0;
  count_ = 0;
  bytes_ = 0;
  dropped_ = 0;
  writerWaiting_ = false;
  flushDone_ = flushWanted_;
  folder_ = LineFolder{};
  // The parent's writer may have been waiting on them; the child starts them afresh.
  new (&wakeWriter_) std::condition_variable;
  new (&written_) std::condition_variable;
  // The parent's writer is not here. A detached one is simply forgotten; the next line starts
  // a writer of the child's own.
  if (options_.detachWriter) started_.store(false);
  lock_.unlock();
  hookLock_.unlock();
  startLock_.unlock();
}

void StderrQueue::StartWriter() noexcept {
  try {
    std::lock_guard<std::mutex> lock(startLock_);
    if (started_.load()) return;
    writer_ = std::thread([this] { Run(); });
    if (options_.detachWriter) writer_.detach();
    started_.store(true);
  } catch (...) {
    // No thread now: the lines wait in the queue, and the next line tries again.
  }
}

void StderrQueue::Push(std::uint32_t category, std::uint32_t level,
                       std::string_view text) noexcept {
  Enqueue(category, level, false, text);
}

void StderrQueue::PushPlain(std::string_view text) noexcept { Enqueue(0, 0, true, text); }

void StderrQueue::Enqueue(std::uint32_t category, std::uint32_t level, bool plain,
                          std::string_view text) noexcept {
  try {
    // The text is copied before the lock; under it, buffers are only swapped.
    std::string* scratch = ThreadLocal<std::string>();
    std::string late;  // this thread's own is gone: the process is ending
    std::string& pending = scratch != nullptr ? *scratch : late;
    pending.assign(text.data(), text.size());
    if (!started_.load(std::memory_order_acquire)) StartWriter();
    bool wake = false;
    {
      std::lock_guard<std::mutex> lock(lock_);
      wake = writerWaiting_;
      writerWaiting_ = false;
      const std::size_t reserve = plain ? kPlainReserve : 0;
      if (count_ + kPlainReserve - reserve >= slots_.size() ||
          bytes_ + pending.size() > options_.byteCapacity + reserve * kPlainReserveBytes) {
        ++dropped_;
      } else {
        Slot& slot = slots_[(head_ + count_) % slots_.size()];
        slot.category = category;
        slot.level = level;
        slot.plain = plain;
        slot.droppedBefore = std::exchange(dropped_, 0);
        slot.text.swap(pending);
        ++count_;
        bytes_ += slot.text.size();
      }
    }
    if (wake) wakeWriter_.notify_one();
  } catch (...) {
    // Out of memory for the copy: the line is lost, the caller goes on.
  }
}

bool StderrQueue::Flush(std::chrono::milliseconds timeout) noexcept {
  try {
    std::unique_lock<std::mutex> lock(lock_);
    if (!started_.load()) return count_ == 0 && dropped_ == 0;
    const std::uint64_t wanted = ++flushWanted_;
    if (writerWaiting_) {
      writerWaiting_ = false;
      wakeWriter_.notify_one();
    }
    return written_.wait_for(lock, timeout, [&] { return flushDone_ >= wanted; });
  } catch (...) {
    return false;
  }
}

void StderrQueue::WaitForWork(std::unique_lock<std::mutex>& lock) {
  while (count_ == 0 && dropped_ == 0 && flushWanted_ == flushDone_ && !stop_) {
    const auto due = folder_.NextCountDue();
    writerWaiting_ = true;
    if (!due) {
      wakeWriter_.wait(lock);
    } else {
      const auto now = Now();
      if (now >= *due) break;
      // The clock may be a test's own: never sleep longer than one period on its word.
      wakeWriter_.wait_for(lock, std::min<LineFolder::Clock::duration>(*due - now,
                                                                       LineFolder::kCountEvery));
      if (Now() >= *due) break;
    }
  }
  writerWaiting_ = false;
}

void StderrQueue::Run() noexcept {
  std::vector<Slot> batch(slots_.size());
  std::string out;
  std::unique_lock<std::mutex> lock(lock_);
  for (;;) {
    WaitForWork(lock);
    const std::size_t taken = count_;
    for (std::size_t i = 0; i < taken; ++i) {
      Slot& slot = slots_[(head_ + i) % slots_.size()];
      batch[i].category = slot.category;
      batch[i].level = slot.level;
      batch[i].droppedBefore = slot.droppedBefore;
      batch[i].plain = slot.plain;
      batch[i].text.swap(slot.text);
    }
    head_ = (head_ + taken) % slots_.size();
    count_ = 0;
    bytes_ = 0;
    const std::uint64_t droppedAfter = std::exchange(dropped_, 0);
    const std::uint64_t flushing = flushWanted_;
    const bool stopping = stop_;
    lock.unlock();

    try {
      out.clear();
      const auto now = Now();
      for (std::size_t i = 0; i < taken; ++i) {
        const Slot& line = batch[i];
        if (line.droppedBefore > 0) {
          folder_.Add(kLogCategory, kDroppedLevel, DroppedText(line.droppedBefore), now, out);
        }
        if (line.plain) {
          folder_.Finish(out);  // a count due goes before it, and the next line is written whole
          out.append(line.text);
          out.push_back('\n');
        } else {
          folder_.Add(line.category, line.level, line.text, now, out);
        }
      }
      if (droppedAfter > 0) {
        folder_.Add(kLogCategory, kDroppedLevel, DroppedText(droppedAfter), now, out);
      }
      folder_.Tick(now, out);
      if (flushing != flushDone_ || stopping) folder_.Finish(out);
      if (!out.empty()) {
        Hook before = nullptr;
        Hook after = nullptr;
        {
          std::lock_guard<std::mutex> hooks(hookLock_);
          before = before_;
          after = after_;
        }
        if (before) before();
        options_.write(out);
        if (after) after();
      }
    } catch (...) {
      // Out of memory while building the lines: this batch is lost, the next may fare better.
    }

    lock.lock();
    if (flushing != flushDone_) {
      flushDone_ = flushing;
      written_.notify_all();
    }
    if (stopping && count_ == 0 && dropped_ == 0) return;
  }
}

}  // namespace jslog
