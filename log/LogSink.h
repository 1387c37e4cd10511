#pragma once
// Where wPrintf's lines go. By default each line is written whole to standard error as
//   [category:level] message
// in UTF-8; the message is the last thing on the line. The standard-error sink never holds its
// caller: lines are queued and one writer thread writes them, so a stalled standard error stalls
// only that thread. When the queue is full, lines are dropped and a line in their place says how
// many ("[0:1] log: 37 lines dropped"). A line that repeats the one before it exactly (category,
// level and text) is counted instead of written; "(last message repeated N times)", with the
// same category and level, follows when another line comes, every 10 s while the run lasts, and
// at a flush. What is queued at exit is written with a wait of at most half a second.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace jslog {

class LogSink {
 public:
  virtual ~LogSink() = default;
  // `text` is the formatted message: one line, UTF-8, without its line feed. Called from any
  // thread, possibly from two at once; must not fail back.
  virtual void Write(std::uint32_t category, std::uint32_t level, std::string_view text) noexcept = 0;
};

// Installs `sink` (nullptr: the standard-error sink) and returns the one it replaces. Once it
// returns, no call is still inside the replaced sink.
LogSink* SetLogSink(LogSink* sink);

// Installs a sink for the life of a scope.
class ScopedLogSink {
 public:
  explicit ScopedLogSink(LogSink& sink) : previous_(SetLogSink(&sink)) {}
  ~ScopedLogSink() { SetLogSink(previous_); }
  ScopedLogSink(const ScopedLogSink&) = delete;
  ScopedLogSink& operator=(const ScopedLogSink&) = delete;

 private:
  LogSink* previous_;
};

// The standard-error sink's line for a message, line feed included.
void AppendStderrLine(std::string& out, std::uint32_t category, std::uint32_t level,
                      std::string_view text);

// Writes `text` and a line feed to standard error as it stands: a program's own message
// ("jsmonitor: COM3 is busy"). It goes through the standard-error sink's queue, so that it comes
// out after the log lines made before it (the ones that say why); it is never filtered by level,
// never folded, and never passed to an installed sink. Text from outside must be escaped first.
void WriteStderrText(std::string_view text) noexcept;

// Writes out what the standard-error sink has queued, the count of a run of repeats included,
// waiting at most `milliseconds` for a stalled standard error.
void FlushStderr(std::uint32_t milliseconds);

// The standard-error sink drops lines whose level is above `level` (1: failures only). Without
// this call, JS_LOG_LEVEL decides, read once at the first line; without that, every line goes.
// Installed sinks always get every line.
void SetStderrMaxLevel(std::uint32_t level);

// What JS_LOG_LEVEL says, when it is a decimal number from 0 to 4294967295 and nothing else. A
// program with a default of its own sets it only when this has no value.
std::optional<std::uint32_t> StderrLevelFromEnvironment();

// For a program that keeps a status line on the same terminal: `before` is called just before,
// `after` just after each write of one or more lines to standard error (nullptr: none). Both run
// on the sink's writer thread, not the caller's; they must not call wPrintf or FlushStderr and
// should be quick. A write under way when they are replaced may still call the old ones.
void SetStderrWriteHooks(void (*before)(), void (*after)());

}  // namespace jslog
