// jsmonitor.exe under the Wine bench (.ci/wine-tests.sh): the Windows build's event loop, its
// port list, its record file and its console stop, against a simulator behind a Wine COM name.
// Skipped elsewhere.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "ControllerSim.h"
#include "LineSpeed.h"
#include "PipedSession.h"
#include "TempDir.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// The same file as Wine names it: the Unix root is drive Z.
std::string WinePath(std::string path) {
  for (char& c : path) c = c == '/' ? '\\' : c;
  return "Z:" + path;
}

class Wine : public ::testing::Test {
 protected:
  void SetUp() override {
    exe_ = Environment("JS_WINE_JSMONITOR");
    ports_ = Environment("JS_WINE_PORT_DIR");
    if (exe_.empty() || ports_.empty()) {
      GTEST_SKIP() << "not under the Wine bench (.ci/wine-tests.sh sets JS_WINE_JSMONITOR)";
    }
    ASSERT_TRUE(dir_.Made());
  }
  void TearDown() override { sim_.Stop(); }

  void StartSim() {
    std::string error;
    ASSERT_TRUE(sim_.Start(ports_ + "/com3", {}, &error)) << error;
  }
  // Wine's prefix maps COM3 to the simulator's link; the preload library lets its serial layer
  // wait on a pseudo-terminal. A limit of its own, so that a hung Wine never outlives the test.
  void Start(std::vector<std::string> arguments) {
    std::vector<std::string> words = {"/usr/bin/timeout", "-k", "10", "180",
                                      Environment("JS_WINE"), exe_};
    words.insert(words.end(), arguments.begin(), arguments.end());
    ASSERT_TRUE(tool_.Start(words, {.environment = {"LD_PRELOAD=" +
                                                    Environment("JS_WINE_PRELOAD")}}));
  }
  std::string Line(std::chrono::milliseconds wait = 20s) {
    std::string text = tool_.NextLine(wait);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    return text;
  }

  std::string exe_, ports_;
  jstesting::TempDir dir_;
  jssim::ControllerSim sim_;
  jstesting::ChildProcess tool_;
};

using jsmonitor_test::kRest;

// Keys, jog and shuttle as the POSIX build shows them; the controller unplugged and back; the
// record file written through Windows' own file calls; Ctrl-C (SIGINT, a console event under
// Wine) ends it with status 0.
TEST_F(Wine, ShowsStateUnplugAndReturnAsJsmonitorExe) {
  StartSim();
  const std::string record = dir_ / "session.rec";
  Start({"--port", "3", "--s-modifiers", "0x40", "--record", WinePath(record)});
  ASSERT_EQ(0u, Line(60s).rfind("jsmonitor: controller on COM3", 0)) << tool_.Errors();
  ASSERT_EQ(kRest, Line()) << tool_.Errors();
  for (std::size_t i = 0; i < jsmonitor_test::kStepsWithoutC; ++i) {
    const jsmonitor_test::Step& step = jsmonitor_test::kPipedSession[i];
    ASSERT_TRUE(sim_.Send(step.bytes));
    for (const char* line : step.shown) EXPECT_EQ(line, Line()) << tool_.Errors();
  }

  sim_.HangUp();
  EXPECT_EQ("jsmonitor: controller on COM3 disconnected", Line()) << tool_.Errors();
  sim_.Stop();
  StartSim();
  EXPECT_EQ(0u, Line(60s).rfind("jsmonitor: controller on COM3", 0)) << tool_.Errors();
  EXPECT_EQ(kRest, Line()) << tool_.Errors();
  ASSERT_TRUE(sim_.Send(Bytes{0x42}));
  EXPECT_EQ("held [K2]  K [K2]  S []  C []  SC []  jog +0 -0  shuttle +0", Line())
      << tool_.Errors();
  EXPECT_EQ(0, tool_.Stop(SIGINT, 30s)) << tool_.Errors();
  EXPECT_EQ("jsmonitor: stopped", Line()) << tool_.Errors();

  // Whole lines with the header first; the bytes of both controllers' sessions in them.
  std::ifstream file(record);
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ(0u, text.find("# jogshuttle recording 1\n")) << text;
  EXPECT_EQ('\n', text.empty() ? '\0' : text.back()) << text;
  for (const char* chunk : {"40 60", "80 05", "81 fe f9", "42"}) {
    EXPECT_NE(std::string::npos, text.find(chunk)) << chunk << " not in:\n" << text;
  }
}

// Under Wine a SIGQUIT ends only the thread it lands on. On the main thread, the link's reader or
// the one Wine waits on the port with, the whole program ends within seconds with 131 and the
// port put back; on a helper thread it stays whole, and stops on Ctrl-C.
TEST_F(Wine, ASigquitNeverLeavesItHalfDead) {
  StartSim();
  const std::string port = ports_ + "/com3";
  ASSERT_TRUE(jstesting::SetLineSpeed(port, B9600)) << port;
  Start({"--port", "3"});
  ASSERT_EQ(0u, Line(60s).rfind("jsmonitor: controller on COM3", 0)) << tool_.Errors();
  ASSERT_EQ(kRest, Line()) << tool_.Errors();
  const int status = tool_.QuitUnderWine(15s);
  ASSERT_NE(jstesting::ChildProcess::kNoWineProcess, status) << "no Wine under " << tool_.Pid();
  if (status == jstesting::ChildProcess::kStillRunning) {
    EXPECT_EQ(0, tool_.Stop(SIGINT, 30s)) << "a SIGQUIT left it half-dead: " << tool_.Errors();
  } else {
    EXPECT_EQ(131, status) << tool_.Errors();
  }
  EXPECT_EQ(9600u, jstesting::LineBaudRate(port)) << "the line settings were not put back";
}

// --list from the system's port list, one line per COM name: the simulator's port free, a name
// whose link leads nowhere not (Wine opens it, and calls it no terminal); nothing written to the
// controller.
TEST_F(Wine, ListNamesTheSystemsPorts) {
  StartSim();
  Start({"--list"});
  std::vector<std::string> lines;
  for (std::string line = Line(60s); !line.empty(); line = Line(10s)) lines.push_back(line);
  EXPECT_EQ(0, tool_.WaitForExit(30s)) << tool_.Errors();
  ASSERT_EQ(7u, lines.size()) << tool_.Output() << tool_.Errors();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(0u, lines[i].rfind("COM" + std::to_string(i + 1) + "  ", 0)) << lines[i];
  }
  EXPECT_EQ(lines[2].size() - 6, lines[2].rfind("  free")) << lines[2];
  EXPECT_EQ(std::string::npos, lines[0].find("  free")) << lines[0];
  EXPECT_TRUE(sim_.Received().empty());
}

}  // namespace
