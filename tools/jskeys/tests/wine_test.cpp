// jskeys.exe under the Wine bench (.ci/wine-tests.sh): the Windows event loop, its console and
// its port, playing the session every way of sending keys plays alike. Skipped elsewhere.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <string>

#include "ChildProcess.h"
#include "ControllerSim.h"
#include "LineSpeed.h"
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

// Port numbers past the old device names: the port is opened under the name the system finds it
// by (from COM10 on only "\\.\COMn"), read, and at the stop left with the line settings it had.
// The bench maps these COM numbers too.
struct StopCase {
  const char* name;
  int port;
  int signal;
  int status;  // of the process
};
void PrintTo(const StopCase& c, std::ostream* out) { *out << c.name; }

const StopCase kStopCases[] = {
    {"Com10CtrlC", 10, SIGINT, 0},
    {"Com12CtrlC", 12, SIGINT, 0},
    {"Com255CtrlC", 255, SIGINT, 0},
};

std::string StopCaseName(const ::testing::TestParamInfo<StopCase>& test) {
  return test.param.name;
}

class WineStop : public ::testing::TestWithParam<StopCase> {};

TEST_P(WineStop, OpensReadsAndLetsThePortGo) {
  const StopCase& c = GetParam();
  const std::string exe = Environment("JS_WINE_JSKEYS"), ports = Environment("JS_WINE_PORT_DIR");
  if (exe.empty() || ports.empty()) {
    GTEST_SKIP() << "not under the Wine bench (.ci/wine-tests.sh sets JS_WINE_JSKEYS)";
  }
  jstesting::TempDir dir;
  ASSERT_TRUE(dir.Made());
  std::ofstream(dir / "session.toml") << kSessionMap;
  const std::string path = ports + "/com" + std::to_string(c.port);
  jssim::ControllerSim sim;
  std::string error;
  ASSERT_TRUE(sim.Start(path, {}, &error)) << error;
  ASSERT_TRUE(jstesting::SetLineSpeed(path, B9600)) << path;
  jstesting::ChildProcess tool;
  // timeout passes the stop on, and ends Wine by force 60 s later should it still run.
  ASSERT_TRUE(tool.Start({"/usr/bin/timeout", "-k", "60", "300", Environment("JS_WINE"), exe,
                          "--config", dir / "session.toml", "--dry-run", "--port",
                          std::to_string(c.port)},
                         {.environment = {"LD_PRELOAD=" + Environment("JS_WINE_PRELOAD")}}));
  const std::string found = "jskeys: controller on COM" + std::to_string(c.port);
  ASSERT_TRUE(tool.WaitForError(found, 60s)) << tool.Errors();
  const jskeys_test::SessionStep& step = kSessionSteps.front();
  ASSERT_TRUE(sim.Send(step.bytes));
  std::string action = tool.NextLine(10s);
  if (!action.empty() && action.back() == '\r') action.pop_back();
  EXPECT_EQ(step.actions.front(), action) << tool.Errors();
  // Ended by itself: one left behind is killed by timeout (ChildProcess::kKilledBy + 9).
  EXPECT_EQ(c.status, tool.Stop(c.signal, 120s)) << tool.Errors();
  EXPECT_EQ(9600u, jstesting::LineBaudRate(path)) << "the line settings were not put back";
}

INSTANTIATE_TEST_SUITE_P(Wine, WineStop, ::testing::ValuesIn(kStopCases),
                         StopCaseName);

}  // namespace
