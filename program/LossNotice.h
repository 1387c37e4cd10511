#pragma once
// The notice that changes of the controller came faster than a program could take them (the
// link's queue lost them): at most one a second, the counts in between summed, so that a flood of
// changes does not become a flood of notices.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "Program.h"

namespace jsprogram {

class LossNotice {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kInterval{1};

  // `text` words the notice for a count.
  explicit LossNotice(std::string (*text)(std::uint64_t lost)) : text_(text) {}

  void Add(std::uint32_t lost) { pending_ += lost; }
  // When what is pending may be told; none while nothing is.
  std::optional<Clock::time_point> Due() const {
    if (pending_ == 0) return std::nullopt;
    return nextTell_;
  }
  // Says what is due (`all`: whatever is pending) as the program's message.
  void Tell(bool all = false) {
    if (const std::string notice = Take(Clock::now(), all); !notice.empty()) jsprogram::Say(notice);
  }
  // The notice to give at `now`, or "" when none is due; `all`: whatever the time.
  std::string Take(Clock::time_point now, bool all = false) {
    if (pending_ == 0 || (!all && now < *Due())) return "";
    const std::uint64_t lost = pending_;
    pending_ = 0;
    nextTell_ = now + kInterval;
    return text_(lost);
  }

 private:
  std::string (*text_)(std::uint64_t lost);
  std::uint64_t pending_ = 0;
  Clock::time_point nextTell_{};  // the first notice may go at once
};

}  // namespace jsprogram
