#pragma once
// The notice that changes came faster than they could be shown: at most one a second, the
// counts in between summed, so that a flood of changes does not become a flood of notices.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "Program.h"

class LossNotice {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kInterval{1};

  void Add(std::uint32_t lost) { pending_ += lost; }
  // When what is pending may be told; none while nothing is.
  std::optional<Clock::time_point> Due() const {
    if (pending_ == 0) return std::nullopt;
    return told_ ? *told_ + kInterval : Clock::time_point{};
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
    told_ = now;
    return lost == 1 ? "1 change came faster than it could be shown"
                     : std::to_string(lost) + " changes came faster than they could be shown";
  }

 private:
  std::uint64_t pending_ = 0;
  std::optional<Clock::time_point> told_;
};
