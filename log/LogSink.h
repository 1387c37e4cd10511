#pragma once
// Where wPrintf's lines go. By default each line is written whole to standard error as
//   [category:level] message
// in UTF-8, with one write per line; the message is the last thing on the line.

#include <cstdint>
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

}  // namespace jslog
