// jskeys.exe under the Wine bench (.ci/wine-tests.sh): the Windows event loop, its console and
// its port, playing the session every way of sending keys plays alike. Skipped elsewhere.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "ControllerSim.h"
#include "LineSpeed.h"
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

// Folders named as users name them: Latin-1 letters (which Windows' ANSI code page still holds,
// as bytes that are no UTF-8) and CJK (which a Western code page turns into '?'). "plain" is the
// control: what fails there is no matter of names.
struct Place {
  const char* folder;
  const char* file;
};
const Place kPlaces[] = {
    {"plain", "session.toml"},
    {"Café live", "keys.toml"},
    {"日本/José", "キー.toml"},
};

// The bench's jskeys.exe under Wine; the test is skipped elsewhere.
struct Bench {
  std::string exe = Environment("JS_WINE_JSKEYS");
  std::string ports = Environment("JS_WINE_PORT_DIR");
  bool Here() const { return !exe.empty() && !ports.empty(); }
  // Wine takes the command line and the environment in the locale's character set: UTF-8, so
  // that they reach the program as the test wrote them. The preload library lets its serial
  // layer wait on a pseudo-terminal.
  jstesting::ChildSetup Setup(std::vector<std::string> more = {}) const {
    more.push_back("LD_PRELOAD=" + Environment("JS_WINE_PRELOAD"));
    more.push_back("LC_ALL=C.UTF-8");
    return {.environment = std::move(more)};
  }
  std::vector<std::string> Words(const std::vector<std::string>& arguments) const {
    std::vector<std::string> words = {"/usr/bin/timeout", "-k", "10", "240", Environment("JS_WINE"),
                                      exe};
    words.insert(words.end(), arguments.begin(), arguments.end());
    return words;
  }
  // With %APPDATA% set as a Windows parent sets it: Wine sets it anew, from the prefix's
  // profile, for a program started from this side. A stop (SIGINT to the process group) reaches
  // jskeys.exe too.
  std::vector<std::string> WordsWithAppData(const std::string& appData,
                                            const std::string& arguments) const;
};

// A path here as the Windows program names it: Wine's Z: is this machine's root.
std::string WindowsPath(const std::string& path) {
  std::string windows = "Z:" + path;
  for (char& c : windows) {
    if (c == '/') c = '\\';
  }
  return windows;
}

std::vector<std::string> Bench::WordsWithAppData(const std::string& appData,
                                                 const std::string& arguments) const {
  return {"/usr/bin/timeout", "-k", "10", "240", Environment("JS_WINE"), "cmd", "/c",
          "set APPDATA=" + appData + "&& " + WindowsPath(exe) + " " + arguments};
}

std::string Made(const jstesting::TempDir& dir, const std::string& folder) {
  std::error_code fault;
  std::filesystem::create_directories(dir / folder, fault);
  return dir / folder;
}

// A line of standard output without a Windows console's line end.
std::string LineOf(jstesting::ChildProcess& tool, std::chrono::milliseconds wait) {
  std::string text = tool.NextLine(wait);
  if (!text.empty() && text.back() == '\r') text.pop_back();
  return text;
}

// Waits until standard error holds `text` past its first `from` bytes.
bool WaitForErrorAfter(const jstesting::ChildProcess& tool, const std::string& text,
                       std::size_t from, std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (tool.Errors().find(text, from) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(100ms);
  }
  return true;
}

std::size_t Occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

TEST(Wine, TheSharedSessionAsJskeysExePrintsIt) {
  const Bench bench;
  if (!bench.Here()) {
    GTEST_SKIP() << "not under the Wine bench (.ci/wine-tests.sh sets JS_WINE_JSKEYS)";
  }
  for (const Place& place : kPlaces) {
    SCOPED_TRACE(place.folder);
    jstesting::TempDir dir;
    ASSERT_TRUE(dir.Made());
    const std::string map = Made(dir, place.folder) + "/" + place.file;
    std::ofstream(map) << kSessionMap;
    jssim::ControllerSim sim;
    std::string error;
    ASSERT_TRUE(sim.Start(bench.ports + "/com3", {}, &error)) << error;
    jstesting::ChildProcess tool;
    // Wine's prefix maps COM3 to the simulator's link.
    ASSERT_TRUE(tool.Start(bench.Words({"--config", WindowsPath(map), "--dry-run", "--port", "3"}),
                           bench.Setup()));
    ASSERT_TRUE(tool.WaitForError("jskeys: controller on COM3", 60s)) << tool.Errors();
    EXPECT_NE(std::string::npos, tool.Errors().find("jskeys: map: " + WindowsPath(map) + "\n"))
        << tool.Errors();
    for (const jskeys_test::SessionStep& step : kSessionSteps) {
      ASSERT_TRUE(sim.Send(step.bytes));
      for (const std::string& action : step.actions) EXPECT_EQ(action, LineOf(tool, 10s));
    }
    EXPECT_EQ("", LineOf(tool, 300ms));  // nothing more than that
    EXPECT_EQ(0, tool.Stop(SIGINT, 30s)) << tool.Errors();
  }
}

TEST(Wine, ACheckFindsTheMapByTheNameGivenAndSaysItSo) {
  const Bench bench;
  if (!bench.Here()) GTEST_SKIP() << "not under the Wine bench";
  for (const Place& place : kPlaces) {
    SCOPED_TRACE(place.folder);
    jstesting::TempDir dir;
    ASSERT_TRUE(dir.Made());
    const std::string folder = Made(dir, place.folder);
    std::ofstream(folder + "/" + place.file) << kSessionMap;
    std::ofstream(folder + "/bad.toml") << "[default.keys]\n0 = \"nothing\"\n";
    const struct {
      std::string file;
      int status;
      std::string out, err;
    } cases[] = {
        {place.file, 0, "jskeys: " + WindowsPath(folder + "/" + place.file) + ": the map is good\n",
         ""},
        {"bad.toml", 2, "", "jskeys: " + WindowsPath(folder + "/bad.toml") + ":2:5: "},
        {"missing.toml", 2, "", "jskeys: " + WindowsPath(folder + "/missing.toml") + ": cannot be opened"},
    };
    for (const auto& c : cases) {
      jstesting::ChildProcess tool;
      ASSERT_TRUE(tool.Start(bench.Words({"--check", WindowsPath(folder + "/" + c.file)}),
                             bench.Setup()));
      EXPECT_EQ(c.status, tool.WaitForExit(60s)) << c.file << ": " << tool.Errors();
      std::string out = tool.RestOfOutput(5s);
      std::erase(out, '\r');
      EXPECT_EQ(c.out, out) << c.file;
      EXPECT_EQ(0u, tool.Errors().find(c.err)) << c.file << ": " << tool.Errors();
    }
  }
}

// %APPDATA% with the user's name in it and no map folder yet: the built-in map, nothing said
// about the watch; the map made later is read, and read again when it changes.
TEST(Wine, TheUsersMapUnderTheirOwnNameIsPickedUpWhenMadeAndWhenChanged) {
  const Bench bench;
  if (!bench.Here()) GTEST_SKIP() << "not under the Wine bench";
  for (const Place& place : kPlaces) {
    SCOPED_TRACE(place.folder);
    jstesting::TempDir dir;
    ASSERT_TRUE(dir.Made());
    const std::string appData = Made(dir, place.folder);
    jssim::ControllerSim sim;
    std::string error;
    ASSERT_TRUE(sim.Start(bench.ports + "/com3", {}, &error)) << error;
    jstesting::ChildProcess tool;
    ASSERT_TRUE(
        tool.Start(bench.WordsWithAppData(WindowsPath(appData), "--dry-run --port 3"), bench.Setup()));
    ASSERT_TRUE(tool.WaitForError("jskeys: controller on COM3", 60s)) << tool.Errors();
    EXPECT_NE(std::string::npos, tool.Errors().find("jskeys: map: built-in\n")) << tool.Errors();

    const std::string map = appData + "/jogshuttle/keys.toml";
    const std::string readAgain = "jskeys: map read again: " + WindowsPath(map) + "\n";
    Made(dir, std::string(place.folder) + "/jogshuttle");
    std::ofstream(map) << kSessionMap;
    ASSERT_TRUE(tool.WaitForError(readAgain, 60s))
        << "the map made after the start was not read: " << tool.Errors();
    const std::vector<std::uint8_t> tap = {0x40, 0x60};  // K0 down and up in one read
    ASSERT_TRUE(sim.Send(tap));
    EXPECT_EQ("tap space", LineOf(tool, 10s));

    // Changed in place: read again, and its new binding in force.
    const std::size_t before = tool.Errors().size();
    std::ofstream(map) << "[default.keys]\n0 = \"Return\"\n";
    ASSERT_TRUE(WaitForErrorAfter(tool, readAgain, before, 60s))
        << "the changed map was not read again: " << tool.Errors();
    ASSERT_TRUE(sim.Send(tap));
    EXPECT_EQ("tap Return", LineOf(tool, 10s));
    EXPECT_EQ(std::string::npos, tool.Errors().find("not watched")) << tool.Errors();
    EXPECT_EQ(0, tool.Stop(SIGINT, 30s)) << tool.Errors();
  }
}

// Port numbers past the old device names: the port is opened under the name the system finds it
// by (from COM10 on only "\\.\COMn"), read, and at the stop left with the line settings it had.
// The bench maps these COM numbers too. A SIGQUIT ends, under Wine, only the thread it lands on:
// the main one (the reader then ends the process), the reader (the main thread ends it), or the
// thread Wine serves the reader's wait with (the wait is found lost, the reader ends); each way
// the whole process ends, with SIGQUIT's Linux status, the port put back. On a helper thread
// (the log's writer, the stop's timer) it leaves a program that works and stops when asked.
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
    {"Com3Quit", 3, SIGQUIT, 128 + SIGQUIT},
    {"Com10Quit", 10, SIGQUIT, 128 + SIGQUIT},
};

std::string StopCaseName(const ::testing::TestParamInfo<StopCase>& test) {
  return test.param.name;
}

class WineStop : public ::testing::TestWithParam<StopCase> {};

TEST_P(WineStop, OpensReadsAndLetsThePortGo) {
  const StopCase& c = GetParam();
  const Bench bench;
  if (!bench.Here()) GTEST_SKIP() << "not under the Wine bench";
  jstesting::TempDir dir;
  ASSERT_TRUE(dir.Made());
  std::ofstream(dir / "session.toml") << kSessionMap;
  const std::string path = bench.ports + "/com" + std::to_string(c.port);
  jssim::ControllerSim sim;
  std::string error;
  ASSERT_TRUE(sim.Start(path, {}, &error)) << error;
  ASSERT_TRUE(jstesting::SetLineSpeed(path, B9600)) << path;
  jstesting::ChildProcess tool;
  ASSERT_TRUE(tool.Start(bench.Words({"--config", WindowsPath(dir / "session.toml"), "--dry-run",
                                      "--port", std::to_string(c.port)}),
                         bench.Setup()));
  const std::string found = "jskeys: controller on COM" + std::to_string(c.port);
  ASSERT_TRUE(tool.WaitForError(found, 60s)) << tool.Errors();
  // A quiet line first: the reader's waits that pass their bound with nothing are no line fault.
  std::this_thread::sleep_for(2500ms);
  const jskeys_test::SessionStep& step = kSessionSteps.front();
  ASSERT_TRUE(sim.Send(step.bytes));
  EXPECT_EQ(step.actions.front(), LineOf(tool, 10s)) << tool.Errors();
  EXPECT_EQ(std::string::npos, tool.Errors().find("went down")) << tool.Errors();
  if (c.signal != SIGQUIT) {
    // Ended by itself: one left behind is killed by timeout (ChildProcess::kKilledBy + 9).
    EXPECT_EQ(c.status, tool.Stop(c.signal, 120s)) << tool.Errors();
  } else {
    const int status = tool.QuitUnderWine(15s);
    ASSERT_NE(jstesting::ChildProcess::kNoWineProcess, status) << "no Wine under " << tool.Pid();
    if (status == jstesting::ChildProcess::kStillRunning) {
      EXPECT_EQ(0, tool.Stop(SIGINT, 60s)) << "a SIGQUIT left it half-dead: " << tool.Errors();
    } else {
      EXPECT_EQ(c.status, status) << tool.Errors();
    }
  }
  EXPECT_EQ(9600u, jstesting::LineBaudRate(path)) << "the line settings were not put back";
}

INSTANTIATE_TEST_SUITE_P(Wine, WineStop, ::testing::ValuesIn(kStopCases),
                         StopCaseName);

// jskeys.exe waiting on COM1 to COM7: a controller switched on after it started, and the same
// one unplugged and plugged in again, are each found within moments of answering. Wine keeps the
// COM name defined while the pseudo-terminal behind it is gone; a look at it then must not count
// as a device that did not answer, which would wait out the minute's back-off meant for strangers.
TEST(Wine, JskeysExeFindsAControllerAsSoonAsItAnswersAndAgainAfterAnUnplug) {
  const Bench bench;
  if (!bench.Here()) GTEST_SKIP() << "not under the Wine bench";
  jstesting::TempDir dir;
  ASSERT_TRUE(dir.Made());
  std::ofstream(dir / "session.toml") << kSessionMap;
  jstesting::ChildProcess tool;
  ASSERT_TRUE(tool.Start(
      bench.Words({"--config", WindowsPath(dir / "session.toml"), "--dry-run", "--wait"}),
      bench.Setup()));
  ASSERT_TRUE(tool.WaitForError("jskeys: waiting for one to appear on COM1 to COM7", 120s))
      << tool.Errors();
  // The simulator answers from its start: found the n-th time within `bound` of it.
  jssim::ControllerSim sim;
  auto foundSoon = [&](std::size_t n, Clock::duration bound) {
    std::string error;
    ASSERT_TRUE(sim.Start(bench.ports + "/com5", {}, &error)) << error;
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
  ASSERT_NO_FATAL_FAILURE(foundSoon(1, 10s));
  sim.HangUp();
  ASSERT_TRUE(tool.WaitForError("jskeys: the line to COM5 went down", 30s)) << tool.Errors();
  sim.Stop();
  std::this_thread::sleep_for(2s);
  ASSERT_NO_FATAL_FAILURE(foundSoon(2, 10s));
  EXPECT_EQ(0, tool.Stop(SIGINT, 30s)) << tool.Errors();
}

}  // namespace
