#include "StderrSink.h"

#include <atomic>
#include <cstdlib>
#include <limits>
#include <string>

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include "LogSink.h"
#include "StderrWrite.h"

namespace jslog {
namespace {

// What is still queued at exit gets this long to reach standard error; a stalled one must not
// keep the process alive.
constexpr std::chrono::milliseconds kExitFlushWait{500};

constexpr std::uint64_t kUndecided = std::uint64_t{1} << 32;
std::atomic<std::uint64_t> g_maxLevel{kUndecided};

std::atomic<StderrQueue*> g_queue{nullptr};

// Where a line goes: into the queue while the process runs; after the exit flush, straight to
// standard error when that flush got through, nowhere when standard error was stalled.
enum ExitState : int { kRunning, kFlushed, kStalled };
std::atomic<int> g_exitState{kRunning};

void WriteToStderr(std::string_view lines) { WriteAllToStderr(lines.data(), lines.size()); }

// Flushes at the end of the process with a bounded wait. Static objects destroyed after this
// one (made before it) may still log: their lines are written at once from then on.
struct ExitFlush {
  ExitFlush() = default;
  ExitFlush(const ExitFlush&) = delete;
  ExitFlush& operator=(const ExitFlush&) = delete;
  ~ExitFlush() {
    StderrQueue* queue = g_queue.load(std::memory_order_acquire);
    const bool flushed = queue == nullptr || queue->Flush(kExitFlushWait);
    g_exitState.store(flushed ? kFlushed : kStalled);
  }
};
ExitFlush g_exitFlush;

#if !defined(_WIN32)
void BeforeFork() { StandardQueue().BeforeFork(); }
void AfterForkInParent() { StandardQueue().AfterForkInParent(); }
void AfterForkInChild() {
  StandardQueue().AfterForkInChild();
  // The child's own exit flushes again (its exit flush object is a copy of the parent's).
  g_exitState.store(kRunning);
}
#endif

}  // namespace

std::optional<std::uint32_t> ParseLogLevel(const char* text) {
  if (text == nullptr || *text == '\0') return std::nullopt;
  std::uint64_t value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(*p - '0');
    if (value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

std::optional<std::uint32_t> StderrLevelFromEnvironment() {
  return ParseLogLevel(std::getenv("JS_LOG_LEVEL"));
}

void SetStderrMaxLevel(std::uint32_t level) {
  g_maxLevel.store(level, std::memory_order_relaxed);
}

std::uint32_t StderrMaxLevel() noexcept {
  std::uint64_t level = g_maxLevel.load(std::memory_order_relaxed);
  if (level == kUndecided) {
    const std::uint64_t fromEnvironment =
        StderrLevelFromEnvironment().value_or(std::numeric_limits<std::uint32_t>::max());
    // A level set meanwhile wins over the environment.
    if (g_maxLevel.compare_exchange_strong(level, fromEnvironment, std::memory_order_relaxed)) {
      level = fromEnvironment;
    }
  }
  return static_cast<std::uint32_t>(level);
}

StderrQueue& StandardQueue() {
  static StderrQueue* const queue = [] {
    StderrQueue::Options options;
    options.write = WriteToStderr;
    options.detachWriter = true;
    auto* made = new StderrQueue(std::move(options));
    g_queue.store(made, std::memory_order_release);
#if !defined(_WIN32)
    (void)pthread_atfork(&BeforeFork, &AfterForkInParent, &AfterForkInChild);
#endif
    return made;
  }();
  return *queue;
}

void WriteStderrLine(std::uint32_t category, std::uint32_t level, std::string_view text) noexcept {
  const int state = g_exitState.load();
  try {
    if (state == kRunning) {
      StandardQueue().Push(category, level, text);
    } else if (state == kFlushed) {
      std::string line;
      AppendStderrLine(line, category, level, text);
      WriteToStderr(line);
    }
  } catch (...) {
    // No room for the line or the queue: it is dropped; logging never fails back.
  }
}

void WriteStderrText(std::string_view text) noexcept {
  const int state = g_exitState.load();
  try {
    if (state == kRunning) {
      StandardQueue().PushPlain(text);
    } else if (state == kFlushed) {
      std::string line(text);
      line.push_back('\n');
      WriteToStderr(line);
    }
  } catch (...) {
    // As for a log line.
  }
}

void FlushStderr(std::uint32_t milliseconds) {
  if (StderrQueue* queue = g_queue.load(std::memory_order_acquire)) {
    queue->Flush(std::chrono::milliseconds(milliseconds));
  }
}

void SetStderrWriteHooks(void (*before)(), void (*after)()) {
  try {
    StandardQueue().SetHooks(before, after);
  } catch (...) {
    // No queue could be made: there is nothing to write, so nothing to hook.
  }
}

}  // namespace jslog
