// jskeys.exe under the Wine bench (.ci/wine-tests.sh): the Windows event loop, its console and
// its port, playing the session every way of sending keys plays alike. Skipped elsewhere.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "ChildProcess.h"
#include "ControllerSim.h"
#include "SharedSession.h"
#include "TempDir.h"

namespace {

using namespace std::chrono_literals;
using jskeys_test::kSessionMap;
using jskeys_test::kSessionSteps;

using Clock = std::chrono::steady_clock;

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

std::size_t Occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

TEST(Wine, TheSharedSessionAsJskeysExePrintsIt) {
  const std::string exe = Environment("JS_WINE_JSKEYS"), ports = Environment("JS_WINE_PORT_DIR");
  if (exe.empty() || ports.empty()) {
    GTEST_SKIP() << "not under the Wine bench (.ci/wine-tests.sh sets JS_WINE_JSKEYS)";
  }
  jstesting::TempDir dir;
  ASSERT_TRUE(dir.Made());
  std::ofstream(dir / "session.toml") << kSessionMap;
  jssim::ControllerSim sim;
  std::string error;
  ASSERT_TRUE(sim.Start(ports + "/com3", {}, &error)) << error;
  jstesting::ChildProcess tool;
  // Wine's prefix maps COM3 to the simulator's link; the preload library lets its serial layer
  // wait on a pseudo-terminal.
  ASSERT_TRUE(tool.Start({"/usr/bin/timeout", "-k", "10", "120", Environment("JS_WINE"), exe,
                          "--config", dir / "session.toml", "--dry-run", "--port", "3"},
                         {.environment = {"LD_PRELOAD=" + Environment("JS_WINE_PRELOAD")}}));
  ASSERT_TRUE(tool.WaitForError("jskeys: controller on COM3", 60s)) << tool.Errors();
  auto line = [&tool](std::chrono::milliseconds wait) {
    std::string text = tool.NextLine(wait);
    if (!text.empty() && text.back() == '\r') text.pop_back();  // a Windows console's line end
    return text;
  };
  for (const jskeys_test::SessionStep& step : kSessionSteps) {
    ASSERT_TRUE(sim.Send(step.bytes));
    for (const std::string& action : step.actions) EXPECT_EQ(action, line(10s));
  }
  EXPECT_EQ("", line(300ms));  // nothing more than that
  EXPECT_EQ(0, tool.Stop(SIGINT, 30s)) << tool.Errors();
}

// jskeys.exe waiting on COM1 to COM7: a controller switched on after it started, and the same
// one unplugged and plugged in again, are each found within moments of answering. Wine keeps the
// COM name defined while the pseudo-terminal behind it is gone; a look at it then must not count
// as a device that did not answer, which would wait out the minute's back-off meant for strangers.
TEST(Wine, JskeysExeFindsAControllerAsSoonAsItAnswersAndAgainAfterAnUnplug) {
  const std::string exe = Environment("JS_WINE_JSKEYS"), ports = Environment("JS_WINE_PORT_DIR");
  if (exe.empty() || ports.empty()) {
    GTEST_SKIP() << "not under the Wine bench (.ci/wine-tests.sh sets JS_WINE_JSKEYS)";
  }
  jstesting::TempDir dir;
  ASSERT_TRUE(dir.Made());
  std::ofstream(dir / "session.toml") << kSessionMap;
  jstesting::ChildProcess tool;
  ASSERT_TRUE(tool.Start({"/usr/bin/timeout", "-k", "10", "240", Environment("JS_WINE"), exe,
                          "--config", dir / "session.toml", "--dry-run", "--wait"},
                         {.environment = {"LD_PRELOAD=" + Environment("JS_WINE_PRELOAD")}}));
  ASSERT_TRUE(tool.WaitForError("jskeys: waiting for one to appear on COM1 to COM7", 120s))
      << tool.Errors();
  // The simulator answers from its start: found the n-th time within `bound` of it.
  jssim::ControllerSim sim;
  auto foundSoon = [&](std::size_t n, Clock::duration bound) {
    std::string error;
    ASSERT_TRUE(sim.Start(ports + "/com5", {}, &error)) << error;
    const Clock::time_point started = Clock::now();
    const std::string found = "jskeys: controller on COM5";
    while (Occurrences(tool.Errors(), found) < n && Clock::now() < started + 90s) {
      std::this_thread::sleep_for(50ms);
    }
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    ASSERT_LE(n, Occurrences(tool.Errors(), found))
        << "not found in " << took.count() << " ms; jskeys.exe said:\n" << tool.Errors();
    EXPECT_LT(took, bound) << "found " << took.count() << " ms after the controller came; "
                           << sim.StatusRequestsReceived() << " requests; jskeys.exe said:\n"
                           << tool.Errors();
  };
  std::this_thread::sleep_for(2s);  // the controller comes after the search began
  ASSERT_NO_FATAL_FAILURE(foundSoon(1, 5s));
  sim.HangUp();
  ASSERT_TRUE(tool.WaitForError("jskeys: the line to COM5 went down", 30s)) << tool.Errors();
  sim.Stop();
  std::this_thread::sleep_for(2s);
  ASSERT_NO_FATAL_FAILURE(foundSoon(2, 5s));
  EXPECT_EQ(0, tool.Stop(SIGINT, 30s)) << tool.Errors();
}

}  // namespace
