#include "StderrQueue.h"

#include <algorithm>
#include <utility>

#include "LogSink.h"

namespace jslog {

std::string DroppedText(std::uint64_t dropped) {
  return "log: " + std::to_string(dropped) + (dropped == 1 ? " line dropped" : " lines dropped");
}

StderrQueue::StderrQueue(Options options) : options_(std::move(options)) {
  slots_.resize(std::max<std::size_t>(options_.capacity, 1));
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
  before_.store(before);
  after_.store(after);
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
  try {
    // The text is copied before the lock; under it, buffers are only swapped.
    thread_local std::string pending;
    pending.assign(text.data(), text.size());
    if (!started_.load(std::memory_order_acquire)) StartWriter();
    bool wake = false;
    {
      std::lock_guard<std::mutex> lock(lock_);
      wake = writerWaiting_;
      writerWaiting_ = false;
      if (count_ == slots_.size() || bytes_ + pending.size() > options_.byteCapacity) {
        ++dropped_;
      } else {
        Slot& slot = slots_[(head_ + count_) % slots_.size()];
        slot.category = category;
        slot.level = level;
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
        folder_.Add(line.category, line.level, line.text, now, out);
      }
      if (droppedAfter > 0) {
        folder_.Add(kLogCategory, kDroppedLevel, DroppedText(droppedAfter), now, out);
      }
      folder_.Tick(now, out);
      if (flushing != flushDone_ || stopping) folder_.Finish(out);
      if (!out.empty()) {
        if (Hook before = before_.load()) before();
        options_.write(out);
        if (Hook after = after_.load()) after();
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
