#pragma once
// Folds runs of one repeated line on standard error: the first is written, the rest counted.
// A device that repeats one complaint a hundred times a second costs a line every ten seconds,
// not a flood that hides everything else.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace jslog {

class LineFolder {
 public:
  using Clock = std::chrono::steady_clock;
  // While a line goes on repeating, its count is written at least this often.
  static constexpr std::chrono::seconds kCountEvery{10};

  // Appends to `out` the standard-error lines for this message: the line itself, after the
  // count of the run it ends; nothing while it repeats the last one (unless a count is due).
  void Add(std::uint32_t category, std::uint32_t level, std::string_view text,
           Clock::time_point now, std::string& out);
  // The count of the run so far, once kCountEvery has passed since its last line.
  void Tick(Clock::time_point now, std::string& out);
  // The count of the run so far; the next message is written in full whatever it is.
  void Finish(std::string& out);
  // When Tick will next have a count to write, while repeats are being counted.
  std::optional<Clock::time_point> NextCountDue() const;

 private:
  void AppendCount(std::string& out);

  bool haveLast_ = false;
  std::uint32_t category_ = 0;
  std::uint32_t level_ = 0;
  std::string text_;
  std::uint64_t repeats_ = 0;   // since the last line written for this message
  Clock::time_point since_{};   // when that line was written
};

// The message of a count line.
std::string RepeatCountText(std::uint64_t repeats);

}  // namespace jslog
