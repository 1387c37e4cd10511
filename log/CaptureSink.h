#pragma once
// A sink that keeps every line, for tests and tools that look at what was logged.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "LogSink.h"

namespace jslog {

struct LogLine {
  std::uint32_t category;
  std::uint32_t level;
  std::string text;
  bool operator==(const LogLine&) const = default;
};

class CaptureSink final : public LogSink {
 public:
  void Write(std::uint32_t category, std::uint32_t level, std::string_view text) noexcept override;

  std::vector<LogLine> Lines() const;
  std::vector<std::string> Texts() const;
  // How many lines have exactly this category, level and text.
  std::size_t Count(std::uint32_t category, std::uint32_t level, std::string_view text) const;
  void Clear();

  // Waits until `done` holds for the lines so far, or the time runs out; returns `done`'s last answer.
  bool WaitFor(const std::function<bool(const std::vector<LogLine>&)>& done,
               std::chrono::milliseconds timeout) const;

 private:
  mutable std::mutex lock_;
  mutable std::condition_variable changed_;
  std::vector<LogLine> lines_;
};

}  // namespace jslog
