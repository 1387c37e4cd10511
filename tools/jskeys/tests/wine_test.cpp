// jskeys.exe under the Wine bench (.ci/wine-tests.sh): the Windows event loop, its console and
// its port, playing the session every way of sending keys plays alike. Skipped elsewhere.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "ChildProcess.h"
#include "ControllerSim.h"
#include "SharedSession.h"
#include "TempDir.h"

namespace {

using namespace std::chrono_literals;
using jskeys_test::kSessionMap;
using jskeys_test::kSessionSteps;

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
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

}  // namespace
