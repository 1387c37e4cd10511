#pragma once
// The player output served as jskeys' loop serves it (its connection, its timers), for tests and
// benchmarks that drive it directly.

#include <poll.h>

#include <algorithm>
#include <chrono>

#include "EventLoop.h"
#include "PlayerOutput.h"

namespace jskeys_test {

// Until `done` holds (looked at after each turn) or the time is up; false then. `also`: a
// descriptor of the caller's that wakes the wait too (what `done` looks at).
template <typename Done>
bool Drive(jskeys::PlayerOutput& output, std::chrono::milliseconds timeout, Done done,
           int also = -1) {
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + timeout;
  for (;;) {
    const auto due = output.Due();
    auto until = std::min(end, Clock::now() + std::chrono::milliseconds(50));
    if (due && *due < until) until = *due;
    pollfd wait[2] = {{static_cast<int>(output.Handle()), POLLIN, 0}, {also, POLLIN, 0}};
    ::poll(wait, 2, static_cast<int>(jsprogram::WaitMilliseconds(until)));
    output.Dispatch();
    const auto now = Clock::now();
    if (const auto tick = output.Due(); tick && *tick <= now) output.Tick(now);
    if (done()) return true;
    if (now >= end) return false;
  }
}

inline void Pass(jskeys::PlayerOutput& output, std::chrono::milliseconds time) {
  Drive(output, time, [] { return false; });
}

}  // namespace jskeys_test
