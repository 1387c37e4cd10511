// The notice of lost changes: how often it speaks, and what it sums.

#include <gtest/gtest.h>

#include <string>

#include "LossNotice.h"

namespace {

using namespace std::chrono_literals;

// Lost changes are told at once, then at most once a second, the counts in between summed;
// the loop is woken when the next notice is due, and not for nothing.
TEST(LossNotice, OnceASecondAtMostWithTheCountsSummed) {
  struct Step {
    int atMs;
    std::uint32_t lost;
    std::string told;
    int dueMs;  // when the loop must wake next; -1: it need not
  };
  const Step steps[] = {
      {0, 0, "", -1},
      {10, 1, "1 lost", -1},
      {100, 30, "", 1010},
      {900, 7, "", 1010},
      {1010, 0, "37 lost", -1},
      {1500, 5, "", 2010},
      {2010, 0, "5 lost", -1},
      {5000, 2, "2 lost", -1},  // long after: at once
  };
  jsprogram::LossNotice notice([](std::uint64_t lost) { return std::to_string(lost) + " lost"; });
  const auto origin = jsprogram::LossNotice::Clock::now();
  for (const Step& step : steps) {
    notice.Add(step.lost);
    EXPECT_EQ(step.told, notice.Take(origin + std::chrono::milliseconds(step.atMs))) << step.atMs;
    const std::optional<jsprogram::LossNotice::Clock::time_point> due = notice.Due();
    EXPECT_EQ(step.dueMs, due ? (*due - origin) / 1ms : -1) << step.atMs;
  }
}

}  // namespace
