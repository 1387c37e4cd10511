// Windows ends a process whose console is closed as soon as its control handler returns: the
// handler must ask for a stop and hold on until the main loop has let go of what it held.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Program.h"

namespace {

using namespace std::chrono_literals;

TEST(ConsoleControl, AClosingConsoleWaitsUntilHeldKeysAreReleased) {
  ASSERT_TRUE(jsprogram::Start("test"));
  std::atomic<bool> returned{false};
  std::thread system([&] {
    jsprogram::HandleConsoleControl(CTRL_CLOSE_EVENT);
    returned.store(true);
  });
  // The main loop hears the stop at once, and releases its keys in its own time.
  EXPECT_TRUE(jsprogram::WaitForStop(10s));
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(returned.load()) << "the process would have ended with the keys still down";
  jsprogram::MarkReleased();
  system.join();
  EXPECT_TRUE(returned.load());
}

}  // namespace
