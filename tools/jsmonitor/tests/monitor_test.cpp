// jsmonitor: its command line, its state line, and the real binary against a simulator.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "ControllerSim.h"
#include "MonitorOptions.h"
#include "PipedSession.h"
#include "Recording.h"
#include "ChildProcess.h"
#include "StateLine.h"
#include "TempDir.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// How long a stop signal may take to end jsmonitor: a second, and slack; the sanitizers slow
// the exit itself (the log's bounded flush and the safeguard after it) several times over.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr auto kStopLimit = 6000ms;
#else
constexpr auto kStopLimit = 1500ms;
#endif

TEST(MonitorOptions, Accepted) {
  struct Case {
    std::vector<std::string> arguments;
    std::uint32_t port, s, c;
    bool reset, verbose, once, wait, list;
    std::string record;
  };
  const Case cases[] = {
      {{}, 0, 0, 0, false, false, false, false, false, ""},
      {{"--port", "3"}, 3, 0, 0, false, false, false, false, false, ""},
      {{"--port=12", "--reset"}, 12, 0, 0, true, false, false, false, false, ""},
      {{"--s-modifiers", "0x40", "--c-modifiers=128"}, 0, 0x40, 0x80, false, false, false, false,
       false, ""},
      {{"-v"}, 0, 0, 0, false, true, false, false, false, ""},
      {{"--verbose", "--once", "--wait"}, 0, 0, 0, false, true, true, true, false, ""},
      {{"--list", "--port", "3"}, 3, 0, 0, false, false, false, false, true, ""},
      {{"--record", "/tmp/x.rec"}, 0, 0, 0, false, false, false, false, false, "/tmp/x.rec"},
      {{"--record=/tmp/y"}, 0, 0, 0, false, false, false, false, false, "/tmp/y"},
  };
  for (const Case& c : cases) {
    MonitorOptions options;
    std::string error;
    ASSERT_TRUE(ParseMonitorOptions(c.arguments, options, error)) << error;
    EXPECT_EQ(c.port, options.port);
    EXPECT_EQ(c.s, options.sModifiers);
    EXPECT_EQ(c.c, options.cModifiers);
    EXPECT_EQ(c.reset, options.reset);
    EXPECT_EQ(c.verbose, options.verbose);
    EXPECT_EQ(c.once, options.once);
    EXPECT_EQ(c.wait, options.wait);
    EXPECT_EQ(c.list, options.list);
    EXPECT_EQ(c.record, options.recordPath);
  }
}

TEST(MonitorOptions, Refused) {
  const std::vector<std::vector<std::string>> cases = {
      {"--port"},         {"--port", "0"},          {"--port", "-1"},
      {"--port", "x"},    {"--s-modifiers", "0x1FFFFFFFF"}, {"--c-modifiers", ""},
      {"--reset=yes"},    {"COM3"},                 {"--port", "3abc"},
      {"--s-modifiers", "0xFFFFFFFF"},  // bits that are no key's
      {"--s-modifiers", "0x40", "--c-modifiers", "0x40"},  // one key, both kinds
      // What once wrapped round to another port or was read as octal.
      {"--port", "4294967295"}, {"--port", "010"}, {"--port", " -18446744073709551613"},
      {"--c-modifiers", "-1"},
      // Switches take no value, and --record needs one.
      {"--record"}, {"--record", ""}, {"--once=1"}, {"--list=yes"},
  };
  for (const auto& arguments : cases) {
    MonitorOptions options;
    std::string error;
    EXPECT_FALSE(ParseMonitorOptions(arguments, options, error))
        << arguments[0] << " ... " << arguments.back();
    EXPECT_FALSE(error.empty());
  }
}

TEST(StateLine, NamesKeysByNumberWhateverTheirBits) {
  JogShuttleState state{};
  state.heldKeys = 0x0100 | 0x0040 | 0x2000;  // keys 0, 5 and 8
  state.sKeys = 0x4000;                       // key 7
  state.jogIncrements = 12;
  state.jogDecrements = 3;
  state.shuttle = -7;
  EXPECT_EQ("held [K0 K5 K8]  K []  S [K7]  C []  SC []  jog +12 -3  shuttle -7", StateLine(state));
  EXPECT_EQ("held []  K []  S []  C []  SC []  jog +0 -0  shuttle +0", StateLine(JogShuttleState{}));
}

TEST(StateLine, FitsTheTerminalWidth) {
  JogShuttleState seven{};
  for (std::size_t key = 0; key < 7; ++key) seven.heldKeys |= SerialJS::kKeyMasks[key];
  seven.keys = seven.heldKeys;
  seven.jogIncrements = 1234;
  seven.shuttle = -7;
  const std::string sevenLine = StateLine(seven);
  const std::string rest = StateLine(JogShuttleState{});  // 55 characters
  ASSERT_EQ(55u, rest.size());
  struct Case {
    const std::string& line;
    std::size_t columns;
    std::string shown;
  };
  const Case cases[] = {
      {sevenLine, 80,
       "held [K0 K1 K2 K3 K4 K5 K6]  K [K0 K1 K2 K3 K4 K5 K6]  S []  C []  SC []  jog >"},
      {sevenLine, 0, sevenLine},  // width not known: whole
      {sevenLine, 200, sevenLine},
      {rest, 56, rest},  // fits with the last column left free
      {rest, 55, rest.substr(0, 53) + ">"},
      {rest, 2, ">"},
      {rest, 1, ""},
  };
  for (const Case& c : cases) {
    const std::string shown = FitToWidth(c.line, c.columns);
    EXPECT_EQ(c.shown, shown) << c.columns << " columns";
    if (c.columns > 0) {
      EXPECT_LT(shown.size(), c.columns) << "the last column must stay free";
    }
  }
}

TEST(StateLine, StatusAloneIsNotAChangeToShow) {
  JogShuttleState a{};
  JogShuttleState b{};
  b.statusC0 = 5;
  EXPECT_TRUE(SameShown(a, b));
  b.cKeys = 0x100;
  EXPECT_FALSE(SameShown(a, b));
}

// Whether the simulator hears a reset beyond `resets` within half a second: a handshake made by
// someone else than the test's own link. Resets are counted as they are read, so the link's own
// are all in `resets` once its Open has returned, however late their bytes are recorded.
bool MoreResetsThan(const jssim::ControllerSim& sim, std::uint32_t resets) {
  return sim.WaitUntil([&](const Bytes&) { return sim.ResetsReceived() > resets; }, 500ms);
}

// The real binary against simulators on links in a directory of its own.
class Monitor : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Made());
    ASSERT_EQ(0, setenv("JS_PORT_DIR", dir_.path().c_str(), 1));  // for the test's own links
  }
  void TearDown() override { sim.Stop(); }

  // JS_PORT_DIR is the only variable it gets.
  void Start(const std::vector<std::string>& arguments, jstesting::ChildSetup setup = {}) {
    std::vector<std::string> words = {JSMONITOR_PATH};
    words.insert(words.end(), arguments.begin(), arguments.end());
    setup.environment = {"JS_PORT_DIR=" + dir_.path()};
    setup.ownEnvironment = true;
    ASSERT_TRUE(process_.Start(words, setup));
  }
  std::string NextLine(std::chrono::milliseconds timeout = 5000ms) {
    return process_.NextLine(timeout);
  }
  // Sends SIGINT and returns the exit status, or -1 when it did not end within a second.
  int Interrupt() { return process_.Stop(SIGINT, kStopLimit); }
  int WaitForExit(std::chrono::milliseconds timeout) { return process_.WaitForExit(timeout); }

  std::string Port(int n) const { return dir_ / ("com" + std::to_string(n)); }
  std::string StandardError() const { return process_.Errors(); }
  // The announcement of a controller found on `port`, naming the device the link leads to.
  std::string Found(int port, const jssim::ControllerSim& on) const {
    return "jsmonitor: controller on COM" + std::to_string(port) + " (" + on.SlavePath() + ")";
  }

  jssim::ControllerSim sim;
  jstesting::ChildProcess process_;
  jstesting::TempDir dir_;
};

TEST_F(Monitor, ShowsAScriptedSessionInOrderAndEndsCleanly) {
  std::string error;
  ASSERT_TRUE(sim.Start(Port(2), {}, &error)) << error;
  Start({"--s-modifiers", "0x40", "--c-modifiers", "0x80"});
  ASSERT_EQ(Found(2, sim), NextLine());
  ASSERT_EQ("held []  K []  S []  C []  SC []  jog +0 -0  shuttle +0", NextLine());

  for (const jsmonitor_test::Step& step : jsmonitor_test::kPipedSession) {
    ASSERT_TRUE(sim.Send(step.bytes));
    for (const char* line : step.shown) EXPECT_EQ(line, NextLine());
  }
  EXPECT_EQ(0, Interrupt());
  EXPECT_EQ("jsmonitor: stopped", NextLine());

  // The port is free again.
  SerialJS again(2);
  EXPECT_TRUE(again.Open());
}

TEST_F(Monitor, ResetOptionResetsTheControllerFirst) {
  std::string error;
  ASSERT_TRUE(sim.Start(Port(1), {}, &error)) << error;
  Start({"--port", "1", "--reset"});
  ASSERT_EQ(Found(1, sim), NextLine());
  ASSERT_EQ("held []  K []  S []  C []  SC []  jog +0 -0  shuttle +0", NextLine());
  EXPECT_TRUE(sim.WaitUntil([&](const Bytes&) { return sim.ResetsReceived() == 2; }, 5s));
  EXPECT_EQ(0, Interrupt());
}

TEST_F(Monitor, NoControllerIsAClearFailure) {
  Start({"--port", "4"});
  EXPECT_EQ(1, WaitForExit(5000ms));
  EXPECT_EQ("", NextLine(100ms));
  const std::string errors = StandardError();
  EXPECT_NE(std::string::npos, errors.find("[24:1] SerialJS: Error (2) opening COM4: config: "));
  EXPECT_NE(std::string::npos, errors.find("jsmonitor: no controller answered on COM4"));
}

TEST_F(Monitor, SilentPortsEverywhereMeanNoController) {
  std::string error;
  ASSERT_TRUE(sim.Start(Port(6), {.silent = true}, &error)) << error;
  Start({});
  EXPECT_EQ(1, WaitForExit(10000ms));
  EXPECT_NE(std::string::npos, StandardError().find("jsmonitor: no controller answered on COM1 to COM7"));
  EXPECT_TRUE(jssim::IsHandshakeStart(sim.Received(), 7, 8)) << sim.Received().size();
}

// A refused command line ends the binary with status 2 and a message, and nothing reaches the
// controller (what is refused is MonitorOptions.Refused's).
TEST_F(Monitor, BadNumbersAreRefusedWithStatus2) {
  std::string error;
  ASSERT_TRUE(sim.Start(Port(3), {}, &error)) << error;
  const std::vector<std::vector<std::string>> cases = {{"--port", "010"}, {"--bogus"}};
  for (const auto& arguments : cases) {
    Start(arguments);
    EXPECT_EQ(2, WaitForExit(5000ms)) << arguments.back();
    EXPECT_EQ("", NextLine(100ms));
    const std::string errors = StandardError();
    EXPECT_EQ(0u, errors.find("jsmonitor: ")) << errors;
    EXPECT_NE(std::string::npos, errors.find("Try 'jsmonitor --help'.")) << errors;
  }
  EXPECT_TRUE(sim.Received().empty());
}

TEST_F(Monitor, HelpNamesEveryOption) {
  Start({"--help"});
  const std::string text = process_.RestOfOutput();
  EXPECT_EQ(0, WaitForExit(3000ms));
  for (const char* option : {"--port", "--s-modifiers", "--c-modifiers", "--reset", "--verbose",
                             "--once", "--wait", "--list", "--record", "Exit status"}) {
    EXPECT_NE(std::string::npos, text.find(option)) << option;
  }
}

// Each stop signal ends it within a second with the port released.
TEST_F(Monitor, StopSignalsReleaseThePort) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    std::string error;
    ASSERT_TRUE(sim.Start(Port(2), {}, &error)) << error;
    Start({"--port", "2"});
    ASSERT_EQ(Found(2, sim), NextLine()) << signal;
    ASSERT_NE("", NextLine());
    EXPECT_EQ(0, process_.Stop(signal, kStopLimit)) << signal;
    EXPECT_EQ("jsmonitor: stopped", NextLine());
    SerialJS again(2);
    EXPECT_TRUE(again.Open()) << signal;
    again.Close();
    sim.Stop();
  }
}

// `jsmonitor | head -1`: the reader going away ends it cleanly, without a change to show.
TEST_F(Monitor, OutputReaderGoneEndsCleanly) {
  std::string error;
  ASSERT_TRUE(sim.Start(Port(2), {}, &error)) << error;
  Start({"--port", "2"});
  ASSERT_EQ(Found(2, sim), NextLine());
  process_.CloseOutput();
  EXPECT_EQ(0, WaitForExit(3000ms));
  SerialJS again(2);
  EXPECT_TRUE(again.Open());
}

// Started with 0 to 2 closed, the port would be opened as descriptor 2 and the log written
// into the line.
TEST_F(Monitor, ClosedStandardDescriptorsKeepTheLogOffTheLine) {
  std::string error;
  ASSERT_TRUE(sim.Start(Port(2), {}, &error)) << error;
  Start({"--port", "2", "-v"}, {.closeDescriptors = {0, 1, 2}});
  ASSERT_TRUE(sim.WaitUntil([](const Bytes& bytes) { return bytes.size() >= 4; }, 5s));
  ASSERT_TRUE(sim.Send(Bytes{0x40, 0x60, 0x80, 0x01}));  // changes that are logged
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(0, process_.Stop(SIGTERM, kStopLimit));
  // Only the handshake's bytes, once or, on a slow machine, asked again: never a log line's text.
  const Bytes received = sim.Received();
  ASSERT_GE(received.size(), 4u);
  EXPECT_EQ((Bytes{0x43, 0x40, 0x41, 0x42}), Bytes(received.begin(), received.begin() + 4));
  for (const std::uint8_t byte : received) EXPECT_TRUE(byte >= 0x40 && byte <= 0x43) << int{byte};
}

// A port another program holds is told apart from a silent one, and never written to.
TEST_F(Monitor, BusyPortIsReportedAndLeftAlone) {
  std::string error;
  ASSERT_TRUE(sim.Start(Port(2), {}, &error)) << error;
  SerialJS holder(2);
  ASSERT_TRUE(holder.Open());
  const std::uint32_t resets = sim.ResetsReceived();
  Start({"--port", "2"});
  EXPECT_EQ(1, WaitForExit(5000ms));
  const std::string errors = StandardError();
  EXPECT_NE(std::string::npos, errors.find("jsmonitor: COM2 is busy: held by another program"))
      << errors;
  EXPECT_EQ(std::string::npos, errors.find("no controller answered")) << errors;
  EXPECT_FALSE(MoreResetsThan(sim, resets));
}

// --list says what each name leads to and writes nothing to any port.
TEST_F(Monitor, ListWritesNothing) {
  std::string error;
  ASSERT_TRUE(sim.Start(Port(2), {}, &error)) << error;
  jssim::ControllerSim held;
  ASSERT_TRUE(held.Start(Port(5), {}, &error)) << error;
  SerialJS holder(5);
  ASSERT_TRUE(holder.Open());
  const std::uint32_t resets = held.ResetsReceived();
  ASSERT_EQ(0, symlink((dir_ / "nowhere").c_str(), Port(6).c_str()));

  Start({"--list"});
  const std::string expected[] = {
      "COM1  " + Port(1) + "  missing",
      "COM2  " + Port(2) + " -> " + sim.SlavePath() + "  free",
      "COM3  " + Port(3) + "  missing",
      "COM4  " + Port(4) + "  missing",
      "COM5  " + Port(5) + " -> " + held.SlavePath() + "  busy: held by another program",
      "COM6  " + Port(6) + " -> " + (dir_ / "nowhere") + "  missing (the link leads nowhere)",
      "COM7  " + Port(7) + "  missing",
  };
  for (const std::string& line : expected) EXPECT_EQ(line, NextLine());
  EXPECT_EQ(0, WaitForExit(3000ms));
  EXPECT_TRUE(sim.Received().empty());
  EXPECT_FALSE(MoreResetsThan(held, resets));
}

// At start with no controller, --wait keeps looking, quietly, until one answers.
TEST_F(Monitor, WaitFindsAControllerThatComesLater) {
  Start({"--wait", "--port", "3"});
  std::this_thread::sleep_for(1500ms);
  std::string error;
  ASSERT_TRUE(sim.Start(Port(3), {}, &error)) << error;
  EXPECT_EQ(Found(3, sim), NextLine(3000ms));
  EXPECT_EQ("held []  K []  S []  C []  SC []  jog +0 -0  shuttle +0", NextLine());
  EXPECT_EQ(0, Interrupt());
  const std::string errors = StandardError();
  EXPECT_NE(std::string::npos, errors.find("jsmonitor: no controller answered on COM3"));
}

// Counts lines of standard error after `from`.
std::size_t LinesAfter(const std::string& text, std::size_t from) {
  std::size_t lines = 0;
  for (std::size_t i = from; i < text.size(); ++i) lines += text[i] == '\n' ? 1 : 0;
  return lines;
}

// Unplugged and plugged in again: told within a second, found again within two, and the
// state goes on from the new controller; the search in between stays quiet in the log.
TEST_F(Monitor, UnplugAndReturn) {
  for (const bool withPort : {true, false}) {
    std::string error;
    ASSERT_TRUE(sim.Start(Port(2), {}, &error)) << error;
    Start(withPort ? std::vector<std::string>{"--port", "2"} : std::vector<std::string>{});
    ASSERT_EQ(Found(2, sim), NextLine());
    ASSERT_EQ("held []  K []  S []  C []  SC []  jog +0 -0  shuttle +0", NextLine());
    ASSERT_TRUE(sim.Send(Bytes{0x80, 0x03}));
    ASSERT_EQ("held []  K []  S []  C []  SC []  jog +3 -0  shuttle +0", NextLine());

    sim.HangUp();
    EXPECT_EQ("jsmonitor: controller on COM2 disconnected", NextLine(1500ms));
    const std::size_t logged = StandardError().size();
    sim.Stop();
    std::this_thread::sleep_for(3000ms);  // away for a while
    EXPECT_LE(LinesAfter(StandardError(), logged), 20u);

    ASSERT_TRUE(sim.Start(Port(2), {}, &error)) << error;
    EXPECT_EQ(Found(2, sim), NextLine(3000ms));
    EXPECT_EQ("held []  K []  S []  C []  SC []  jog +0 -0  shuttle +0", NextLine());
    ASSERT_TRUE(sim.Send(Bytes{0x41}));
    EXPECT_EQ("held [K1]  K [K1]  S []  C []  SC []  jog +0 -0  shuttle +0", NextLine());
    EXPECT_EQ(0, Interrupt());
    sim.Stop();
  }
}

TEST_F(Monitor, OnceEndsAtTheFirstLoss) {
  std::string error;
  ASSERT_TRUE(sim.Start(Port(4), {}, &error)) << error;
  Start({"--once"});
  ASSERT_EQ(Found(4, sim), NextLine());
  ASSERT_NE("", NextLine());
  sim.HangUp();
  EXPECT_EQ("jsmonitor: controller on COM4 disconnected", NextLine(1500ms));
  EXPECT_EQ(1, WaitForExit(1500ms));
}

// The recording holds exactly the bytes the controller sent, status replies included.
TEST_F(Monitor, RecordHoldsWhatTheControllerSent) {
  std::mutex mutex;
  Bytes sent;
  jssim::SimOptions options;
  options.sendInit = true;
  options.initText = "JS 1.0";
  options.observer = [&](const jssim::SimEvent& event) {
    if (event.kind != jssim::SimEvent::Kind::kSentReply &&
        event.kind != jssim::SimEvent::Kind::kSentInit) {
      return;
    }
    std::lock_guard lock(mutex);
    sent.insert(sent.end(), event.bytes.begin(), event.bytes.end());
  };
  std::string error;
  ASSERT_TRUE(sim.Start(Port(2), options, &error)) << error;
  const std::string record = dir_ / "session.rec";
  Start({"--port", "2", "--record", record});
  ASSERT_EQ(Found(2, sim), NextLine());
  ASSERT_NE("", NextLine());
  const Bytes steps[] = {{0x40}, {0x60, 0x80, 0x05}, {0x81, 0xFF, 0x10}};
  for (const Bytes& step : steps) {
    ASSERT_TRUE(sim.Send(step));
    ASSERT_NE("", NextLine());
    std::lock_guard lock(mutex);
    sent.insert(sent.end(), step.begin(), step.end());
  }
  // A step may show more lines than the one waited for: the last one tells all were read.
  ASSERT_TRUE(process_.WaitForOutput("jog +5 -1  shuttle +16\n"));
  EXPECT_EQ(0, Interrupt());

  std::FILE* file = std::fopen(record.c_str(), "r");
  ASSERT_NE(nullptr, file);
  char line[4096];
  std::vector<std::string> lines;
  while (std::fgets(line, sizeof line, file) != nullptr) lines.emplace_back(line);
  std::fclose(file);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ("# jogshuttle recording 1\n", lines[0]);
  EXPECT_EQ("# milliseconds since the link opened, then the bytes of one read in hex\n", lines[1]);
  Bytes recorded;
  unsigned long long last = 0;
  for (std::size_t i = 2; i < lines.size(); ++i) {
    std::istringstream fields(lines[i]);
    unsigned long long ms = 0;
    ASSERT_TRUE(fields >> ms) << lines[i];
    EXPECT_GE(ms, last) << lines[i];
    last = ms;
    std::string hex;
    while (fields >> hex) {
      ASSERT_EQ(2u, hex.size()) << lines[i];
      recorded.push_back(static_cast<std::uint8_t>(std::stoul(hex, nullptr, 16)));
    }
  }
  std::lock_guard lock(mutex);
  EXPECT_EQ(sent, recorded);
}

// A fifo nobody reads yet is waited for: a stop while waiting ends it at once, and a reader that
// comes gets the recording.
TEST_F(Monitor, RecordToAFifoWaitsForItsReader) {
  const std::string fifo = dir_ / "rec.fifo";
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  for (const bool stop : {true, false}) {
    SCOPED_TRACE(stop ? "stopped" : "read");
    Start({"--port", "4", "--record", fifo});
    ASSERT_TRUE(process_.WaitForError("jsmonitor: waiting for a reader of " + fifo + "\n"))
        << StandardError();
    if (stop) {
      EXPECT_EQ(0, process_.Stop(SIGTERM, kStopLimit)) << StandardError();
      EXPECT_NE(std::string::npos,
                StandardError().find("jsmonitor: stopped while waiting for a reader of " + fifo))
          << StandardError();
      continue;
    }
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(1, WaitForExit(5000ms)) << StandardError();  // no controller on COM4
    char text[256];
    const ssize_t got = ::read(reader, text, sizeof text);
    ::close(reader);
    EXPECT_EQ(jssim::kRecordingHeader, std::string(text, got > 0 ? got : 0));
  }
}

// Whatever standard error does (here: a pipe no one reads, filled by traces), a stop signal
// ends it within a second with the port released.
TEST_F(Monitor, StopsWhileStandardErrorIsStuck) {
  std::string error;
  ASSERT_TRUE(sim.Start(Port(2), {}, &error)) << error;
  Start({"--port", "2", "-v"}, {.stderrTo = jstesting::StderrTo::kUnreadPipe});
  ASSERT_EQ(Found(2, sim), NextLine());
  for (int i = 0; i < 2000; ++i) ASSERT_TRUE(sim.Send(Bytes{0x80, 0x01}));  // a trace each
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(0, process_.Stop(SIGTERM, kStopLimit));
  SerialJS again(2);
  EXPECT_TRUE(again.Open());
}


// Waits, without reading its output, until the child has ended (it stays to be reaped); how long
// that took, or nothing when it did not end within `limit`.
std::optional<std::chrono::milliseconds> EndedWithin(pid_t pid, std::chrono::milliseconds limit) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    siginfo_t info{};
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid) {
      return took;
    }
    if (took > limit) return std::nullopt;
    std::this_thread::sleep_for(5ms);
  }
}

// The program's own lines on standard error that tell of lost changes ("jsmonitor: 37 changes
// came ..."), and the sum of their counts.
std::uint64_t LostTold(const std::string& errors, int& notices) {
  static const std::string kPrefix = "jsmonitor: ";
  static const std::string kTold = " came faster than ";
  std::uint64_t lost = 0;
  notices = 0;
  std::istringstream lines(errors);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(kPrefix, 0) != 0 || line.find(kTold) == std::string::npos) continue;
    lost += std::stoull(line.substr(kPrefix.size()));
    ++notices;
  }
  return lost;
}

// The log lines of standard error above level 2 (a line per change would be among them).
std::vector<std::string> ChattyLogLines(const std::string& errors) {
  std::vector<std::string> chatty;
  std::istringstream lines(errors);
  for (std::string line; std::getline(lines, line);) {
    unsigned category = 0, level = 0;
    if (std::sscanf(line.c_str(), "[%u:%u]", &category, &level) == 2 && level > 2) {
      chatty.push_back(line);
    }
  }
  return chatty;
}

// `jsmonitor | sleep 100` during a flood of changes: the output fills and the link loses what
// it cannot keep. A stop still ends it at once with the port let go of. Read again, it tells
// the loss on standard error, once, with every jog step either shown or counted; the screen
// ends on the state the link has, and the log shows no line per change by default.
TEST_F(Monitor, FloodWhileNobodyReadsTheOutput) {
  constexpr int kJogs = 6000;
  Bytes flood;
  for (int i = 0; i < kJogs; ++i) flood.insert(flood.end(), {0x80, 0x01});
  for (const bool stop : {true, false}) {
    SCOPED_TRACE(stop ? "stopped while stalled" : "read again");
    std::string error;
    ASSERT_TRUE(sim.Start(Port(2), {}, &error)) << error;
    Start({"--port", "2"});
    ASSERT_EQ(Found(2, sim), NextLine());
    ASSERT_EQ("held []  K []  S []  C []  SC []  jog +0 -0  shuttle +0", NextLine());
    ASSERT_TRUE(sim.Send(flood));
    std::this_thread::sleep_for(500ms);  // the link has it all; the output is long full
    if (stop) {
      process_.Signal(SIGTERM);
      // A second is the aim (measured, printed); the bound leaves room for a busy machine.
      const auto took = EndedWithin(process_.Pid(), 2 * kStopLimit);
      ASSERT_TRUE(took) << "still running " << (2 * kStopLimit).count() << " ms after SIGTERM";
      std::printf("SIGTERM during a stalled flood: ended in %lld ms\n",
                  static_cast<long long>(took->count()));
      EXPECT_EQ(0, WaitForExit(1000ms)) << StandardError();
      SerialJS again(2);
      EXPECT_TRUE(again.Open());
    } else {
      const std::string last = "jog +" + std::to_string(kJogs) + " -0  shuttle +0\n";
      ASSERT_TRUE(process_.WaitForOutput(last)) << StandardError();
      ASSERT_TRUE(process_.WaitForError("came faster")) << StandardError();
      const std::string output = process_.Output();
      EXPECT_EQ(std::string::npos, output.find("came faster"));
      EXPECT_EQ(last, output.substr(output.size() - last.size()));
      EXPECT_EQ(0, Interrupt());  // what is still to be told is told at the end
      int notices = 0;
      const std::uint64_t lost = LostTold(StandardError(), notices);
      EXPECT_LE(notices, 3) << StandardError();  // one a second at most, while it catches up
      // Jog lines shown, each a step of its own; the last may be the state read after a loss.
      std::uint64_t shown = 0;
      for (std::size_t at = output.find("jog +"); at != std::string::npos;
           at = output.find("jog +", at + 1)) {
        shown += output.compare(at, 7, "jog +0 ") == 0 ? 0 : 1;
      }
      EXPECT_GE(lost + shown, static_cast<std::uint64_t>(kJogs)) << lost << " lost";
      EXPECT_LE(lost + shown, static_cast<std::uint64_t>(kJogs) + 1) << lost << " lost";
      EXPECT_EQ(std::vector<std::string>{}, ChattyLogLines(StandardError()));
    }
    sim.Stop();
  }
}

}  // namespace
