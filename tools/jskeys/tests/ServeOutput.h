#pragma once
// An output served as jskeys' event loop serves it: its handle dispatched when ready, its own
// timers ticked when due.

#include <algorithm>
#include <chrono>

#include "EventLoop.h"
#include "Output.h"

namespace jskeys_test {

// Until `done` holds or `limit` has passed; whether `done` came to hold.
template <typename Done>
bool Serve(jskeys::ActionOutput& output, Done done, std::chrono::milliseconds limit) {
  using Clock = std::chrono::steady_clock;
  using namespace std::chrono_literals;
  jsprogram::EventLoop loop;
  if (output.Handle() != jsprogram::kNoWaitHandle) {
    loop.Watch(output.Handle(), [&] { output.Dispatch(); });
  }
  for (const Clock::time_point until = Clock::now() + limit;;) {
    if (done()) return true;
    if (Clock::now() >= until) return false;
    Clock::time_point wake = std::min(until, Clock::now() + 20ms);
    if (const auto due = output.Due()) wake = std::min(wake, *due);
    loop.RunOnce(wake);
    if (const auto due = output.Due(); due && *due <= Clock::now()) output.Tick(Clock::now());
  }
}

}  // namespace jskeys_test
