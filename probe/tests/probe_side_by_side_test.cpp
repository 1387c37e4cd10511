// One table of controllers, played by the simulator on pseudo-terminals, and two builds of the
// probe run against each: jsprobe here, and jsprobe.exe under Wine when the Wine bench
// (.ci/wine-tests.sh) has set its environment (skipped with the reason otherwise). Each checks
// the exit status, the log lines from the port of interest on, and that the controller received
// exactly what the log says was sent. Where Wine honestly differs (absent ports, error codes and
// texts, the event mask of a hung-up line) the expected lines come from a per-platform table.
// Each port is set to 9600 baud first and must be found so afterwards: the probe puts back the
// line settings it found.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <csignal>
#include <algorithm>
#include <functional>
#include <map>
#include <ostream>
#include <memory>
#include <string>
#include <vector>

#include "ControllerSim.h"
#include "ChildProcess.h"
#include "LineSpeed.h"
#include "TempDir.h"

namespace {

using jstesting::ProgramRun;
using jstesting::RunProgram;

using Bytes = std::vector<std::uint8_t>;

enum class Build { kLinux, kWine };

// What each platform writes where they differ.
struct PlatformLines {
  std::function<std::string(int)> missing;  // the line(s) for COMn with nothing behind it
  std::string hangUpWait;                   // the reader on a hung-up line
  std::string hungUpSendPrefix;             // a send to a hung-up line
};

const PlatformLines& LinesOf(Build build) {
  static const PlatformLines linux{
      [](int n) {
        return "[24:1] SerialJS: Error (2) opening COM" + std::to_string(n) +
               ": config: No such file or directory";
      },
      "[24:1] SerialJS: Invalid WaitCommEvent(00000080)",
      "[24:1] SerialJS: Error (5) sending command: Input/output error",
  };
  // Wine opens a COM name whose path has nothing there and fails at the next call; a hung-up
  // line ends the event wait with mask 0, and writes to it fail with ERROR_NOT_READY.
  static const PlatformLines wine{
      [](int n) {
        return "[24:1] SerialJS: Error (1) setting up COM" + std::to_string(n) +
               ": config: Invalid function.";
      },
      "[24:1] SerialJS: Invalid WaitCommEvent(00000000)",
      "[24:1] SerialJS: Error (21) sending command: Not ready.",
  };
  return build == Build::kLinux ? linux : wine;
}

std::string Testing(int n) { return "[27:10] JS: testing COM" + std::to_string(n); }
std::string Found(int n) { return "[27:10] JS: found JS at COM" + std::to_string(n); }
const std::string kReset = "[24:8] SerialJS: Sending reset";
const std::string kGetStatus = "[24:8] SerialJS: Sending get status";
const std::string kClosing = "[24:1] SerialJS: Invalid WaitCommEvent(00000000)";
const std::string kNotAnswering = "[24:2] SerialJS: JS ist not answering after 7 trys";

// A line that comes between min and max times in a row.
struct Expect {
  std::string text;
  std::size_t min = 1;
  std::size_t max = 1;
  std::string orStartingWith{};  // a line that starts so matches too

  bool Matches(const std::string& line) const {
    return line == text || (!orStartingWith.empty() && line.rfind(orStartingWith, 0) == 0);
  }
};
using Lines = std::vector<Expect>;

// What a run must show.
struct Outcome {
  int exitStatus;
  Lines lines;     // in this order, once the floating lines are taken out
  Lines floating;  // anywhere, each between min and max times in all
};

struct Scenario {
  const char* name;  // also what a failure report shows of it
  std::map<int, jssim::SimOptions> controllers;  // by port number
  int firstPort;  // the lines are compared from "testing COM<firstPort>" on
  std::function<Outcome(const PlatformLines&)> expected;
  Bytes afterReset{};  // sent by the controller right after each reset
};

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }
void PrintTo(Build build, std::ostream* out) { *out << (build == Build::kLinux ? "Linux" : "Wine"); }

// The port closed under its reader: the reader's closing line; or, when the close came while it
// was decoding, one failed read (in its own words) or nothing.
const Expect kClosed{kClosing, 0, 1, "[24:1] SerialJS: COM Error("};

// The seven silent attempts on one port, the port closed and the level-2 line.
Lines Unanswered() {
  Lines lines;
  for (int attempt = 0; attempt < 7; ++attempt) {
    lines.push_back({kReset});
    lines.push_back({kGetStatus, 8, 8});
  }
  lines.push_back(kClosed);
  lines.push_back({kNotAnswering});
  return lines;
}

Lines AbsentFrom(int first, const PlatformLines& platform) {
  Lines lines;
  for (int n = first; n <= 7; ++n) {
    lines.push_back({Testing(n)});
    lines.push_back({platform.missing(n)});
  }
  return lines;
}

Lines Concat(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A busy machine may let more requests of an attempt out before the reply is decoded.
Lines AnsweredOn(int n, std::size_t fromRequest = 1) {
  return {{Testing(n)}, {kReset}, {kGetStatus, fromRequest, 8}, kClosed, {Found(n)}};
}

const std::vector<Scenario>& Scenarios() {
  static const std::vector<Scenario> table = {
      {"AnswersAtOnce", {{1, {}}}, 1, [](const PlatformLines&) {
         return Outcome{1, AnsweredOn(1), {}};
       }},
      {"AnswersTheFourthRequest", {{1, {.answerFrom = 4}}}, 1, [](const PlatformLines&) {
         return Outcome{1, AnsweredOn(1, 4), {}};
       }},
      {"AnswersOnlyInTheSecondAttempt", {{1, {.answerFrom = 9}}}, 1, [](const PlatformLines&) {
         return Outcome{1,
                        {{Testing(1)}, {kReset}, {kGetStatus, 8, 8}, {kReset}, {kGetStatus, 1, 8},
                         kClosed, {Found(1)}},
                        {}};
       }},
      {"SilentPort", {{1, {.silent = true}}}, 1, [](const PlatformLines& platform) {
         return Outcome{0, Concat(Concat({{Testing(1)}}, Unanswered()), AbsentFrom(2, platform)), {}};
       }},
      {"InitTextWithControlBytes",
       {{1, {.initText = "JS\x1b[2J\a\r\n", .sendInit = true}}}, 1, [](const PlatformLines&) {
         // The text, escaped, and the state report that follows it.
         return Outcome{1, AnsweredOn(1),
                        {{R"([24:9] SerialJS: Init(JS\x1b[2J\x07\r\n))"},
                         {"[24:8] SerialJS: JI:00 JD:00 S:+0(00000000) K:0000 SK:0000 CK:0000 "
                          "SCK:0000 E:ffff M:0000"}}};
       }},
      {"KeysJogAndShuttleRightAfterTheReset", {{1, {}}}, 1,
       [](const PlatformLines&) {
         return Outcome{
             1, AnsweredOn(1),
             {{"[24:8] SerialJS: JI:00 JD:00 S:+0(00000000) K:0400 SK:0000 CK:0000 SCK:0000 E:ffff M:0400"},
              {"[24:8] SerialJS: JI:03 JD:00 S:+0(00000000) K:0400 SK:0000 CK:0000 SCK:0000 E:ffff M:0400"},
              {"[24:8] SerialJS: JI:03 JD:00 S:-2(fffffffe) K:0400 SK:0000 CK:0000 SCK:0000 E:ffff M:0400"},
              {"[24:8] SerialJS: JI:03 JD:00 S:-2(fffffffe) K:0000 SK:0000 CK:0000 SCK:0000 E:ffff M:0000"}}};
       },
       // key 2 pressed, jog +3, shuttle -2, key 2 released
       {0x42, 0x80, 0x03, 0x81, 0x00, 0xFE, 0x62}},
      {"StatusC0OfFFFFOnly", {{1, {.replyOverride = {0xC0, 0xFF, 0xFF}}}}, 1,
       [](const PlatformLines& platform) {
         return Outcome{0, Concat(Concat({{Testing(1)}}, Unanswered()), AbsentFrom(2, platform)), {}};
       }},
      {"ControllersOnCom3AndCom5", {{3, {}}, {5, {}}}, 3, [](const PlatformLines&) {
         return Outcome{3, AnsweredOn(3), {}};
       }},
      {"HangUpDuringTheHandshake", {{1, {.silent = true, .hangUpAfterRequests = 3}}, {2, {}}}, 1,
       [](const PlatformLines& platform) {
         Outcome outcome{2,
                         {{Testing(1)}, {kReset}, {kGetStatus, 3, 8}, {platform.hungUpSendPrefix},
                          {Testing(2)}, {kReset}, {kGetStatus, 1, 8}, {Found(2)}},
                         {}};
         // The reader logs the dead line once per 10 ms pause until the port is closed; COM2's
         // reader is closed as kClosed says.
         if (platform.hangUpWait == kClosing) {
           outcome.floating = {{kClosing, 0, 60, kClosed.orStartingWith}};
         } else {
           outcome.floating = {{platform.hangUpWait, 0, 60}, {kClosing, 0, 2, kClosed.orStartingWith}};
         }
         return outcome;
       }},
      {"NoPorts", {}, 1, [](const PlatformLines& platform) {
         return Outcome{0, AbsentFrom(1, platform), {}};
       }},
  };
  return table;
}

// Checks the lines against the outcome; empty when they match, else what went wrong.
std::string Mismatch(std::vector<std::string> lines, const Outcome& outcome) {
  for (const Expect& floating : outcome.floating) {
    const auto matches = [&](const std::string& line) { return floating.Matches(line); };
    const auto count = static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), matches));
    if (count < floating.min || count > floating.max) {
      return "\"" + floating.text + "\" came " + std::to_string(count) + " times";
    }
    lines.erase(std::remove_if(lines.begin(), lines.end(), matches), lines.end());
  }
  std::size_t at = 0;
  for (const Expect& expect : outcome.lines) {
    std::size_t count = 0;
    while (at < lines.size() && count < expect.max && expect.Matches(lines[at])) {
      ++at;
      ++count;
    }
    if (count < expect.min) {
      return "expected \"" + expect.text + "\" at line " + std::to_string(at + 1) + ", found \"" +
             (at < lines.size() ? lines[at] : std::string("(the end)")) + "\"";
    }
  }
  if (at != lines.size()) return "unexpected line " + std::to_string(at + 1) + ": \"" + lines[at] + "\"";
  return {};
}

// The bytes the log says were sent to COMn: its window runs from its testing line to the next.
Bytes SentTo(int n, const std::vector<std::string>& lines) {
  Bytes sent;
  auto it = std::find(lines.begin(), lines.end(), Testing(n));
  if (it == lines.end()) return sent;
  for (++it; it != lines.end() && it->rfind("[27:10] JS: testing", 0) != 0; ++it) {
    if (*it == kReset) sent.push_back(0x43);
    if (*it == kGetStatus) sent.insert(sent.end(), {0x40, 0x41, 0x42});
  }
  return sent;
}

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : value;
}

class SideBySide : public ::testing::TestWithParam<std::tuple<Scenario, Build>> {
 protected:
  void SetUp() override {
    if (Platform() == Build::kWine) {
      if (Environment("JS_WINE_PROBE").empty() || Environment("JS_WINE_PORT_DIR").empty()) {
        GTEST_SKIP() << "not under the Wine bench (.ci/wine-tests.sh sets JS_WINE_PROBE)";
      }
      portDir_ = Environment("JS_WINE_PORT_DIR");
    } else {
      ASSERT_TRUE(ownDir_.Made());
      portDir_ = ownDir_.path();
    }
  }
  void TearDown() override { sims_.clear(); }

  static Build Platform() { return std::get<1>(GetParam()); }

  // The probe's command line: jsprobe, or jsprobe.exe under Wine with a time limit. Wine's own
  // COM mapping (its prefix points COMn at the bench's port directory) decides the ports; the
  // preload library lets its serial layer wait on pseudo-terminals.
  static std::vector<std::string> Words() {
    if (Platform() == Build::kLinux) return {JSPROBE_PATH};
    return {"/usr/bin/timeout", "-k", "10", "300", Environment("JS_WINE"),
            Environment("JS_WINE_PROBE")};
  }
  std::vector<std::string> ChildEnvironment() const {
    if (Platform() == Build::kLinux) return {"JS_PORT_DIR=" + portDir_};
    return {"LD_PRELOAD=" + Environment("JS_WINE_PRELOAD"), "JS_PORT_DIR=" + portDir_};
  }

  ProgramRun Run() {
    const std::vector<std::string> words = Words();
    return RunProgram(words.front(), {words.begin() + 1, words.end()}, ChildEnvironment());
  }

  std::string portDir_;
  std::map<int, std::unique_ptr<jssim::ControllerSim>> sims_;

 private:
  jstesting::TempDir ownDir_;
};

TEST_P(SideBySide, ProbeFindsWhatTheControllersShow) {
  const Scenario& scenario = std::get<0>(GetParam());
  for (const auto& [n, options] : scenario.controllers) {
    auto sim = std::make_unique<jssim::ControllerSim>();
    jssim::SimOptions withKeys = options;
    if (!scenario.afterReset.empty()) {
      jssim::ControllerSim* self = sim.get();
      withKeys.observer = [self, bytes = scenario.afterReset](const jssim::SimEvent& event) {
        if (event.kind == jssim::SimEvent::Kind::kReceivedReset) (void)self->Send(bytes);
      };
    }
    std::string error;
    const std::string path = portDir_ + "/com" + std::to_string(n);
    ASSERT_TRUE(sim->Start(path, withKeys, &error)) << error;
    ASSERT_TRUE(jstesting::SetLineSpeed(path, B9600)) << path;
    sims_[n] = std::move(sim);
  }

  const ProgramRun run = Run();
  // Wine ends lines with CR LF where the system's text does; the lines are the same.
  std::vector<std::string> lines;
  for (std::string line : run.lines) {
    line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
    if (!line.empty()) lines.push_back(line);
  }
  const Outcome outcome = scenario.expected(LinesOf(Platform()));
  EXPECT_EQ(outcome.exitStatus, run.exitStatus) << run.standardError;

  const auto first = std::find(lines.begin(), lines.end(), Testing(scenario.firstPort));
  ASSERT_NE(lines.end(), first) << run.standardError;
  const std::vector<std::string> window(first, lines.end());
  const std::string mismatch = Mismatch(window, outcome);
  EXPECT_EQ("", mismatch) << run.standardError;

  // Each controller received what the log says was sent to it; one that hung up, what was sent
  // before that. Close purges the line, which on a pseudo-terminal takes what the controller has
  // not read yet: of a port closed at the end of its handshake, the last requests may be missing.
  for (const auto& [n, sim] : sims_) {
    const jssim::SimOptions& options = scenario.controllers.at(n);
    Bytes expected = SentTo(n, lines);
    if (options.hangUpAfterRequests != 0) {
      const std::size_t before = 1 + 3 * options.hangUpAfterRequests;
      ASSERT_GT(expected.size(), before) << "no failed send logged for COM" << n;
      expected.resize(before);
    }
    const Bytes heard = sim->Received();
    const auto reset = std::find(expected.rbegin(), expected.rend(), std::uint8_t{0x43});
    const std::size_t lastReset =
        reset == expected.rend() ? 0 : static_cast<std::size_t>(expected.rend() - reset - 1);
    const bool whole = expected.empty() ? heard.empty()
                                        : heard.size() > lastReset && heard.size() <= expected.size() &&
                                              std::equal(heard.begin(), heard.end(), expected.begin());
    EXPECT_TRUE(whole)
        << "COM" << n << ": heard " << heard.size() << " of " << expected.size();
    // A line that hung up has no settings left to look at.
    if (options.hangUpAfterRequests == 0) {
      EXPECT_EQ(9600u, jstesting::LineBaudRate(portDir_ + "/com" + std::to_string(n)))
          << "COM" << n << "'s line settings were not put back";
    }
  }
}

std::string SearchName(const ::testing::TestParamInfo<std::tuple<Scenario, Build>>& test) {
  return std::get<1>(test.param) == Build::kLinux ? "Search_Linux" : "Search_Wine";
}

// Stopped while it searches (SIGINT; under Wine a Ctrl-C), the probe ends with 130, which no
// port it tries can give, and leaves the port under way as it found it. Every port holds a
// silent controller, so the search takes seconds and is surely under way.
class Interrupted : public SideBySide {};

TEST_P(Interrupted, EndsWith130) {
  for (int n = 1; n <= 7; ++n) {
    auto sim = std::make_unique<jssim::ControllerSim>();
    const std::string path = portDir_ + "/com" + std::to_string(n);
    std::string error;
    ASSERT_TRUE(sim->Start(path, {.silent = true}, &error)) << error;
    ASSERT_TRUE(jstesting::SetLineSpeed(path, B9600)) << path;
    sims_[n] = std::move(sim);
  }
  jstesting::ChildProcess probe;
  ASSERT_TRUE(probe.Start(Words(), {.environment = ChildEnvironment()}));
  ASSERT_TRUE(probe.WaitForError(kReset, std::chrono::seconds(120))) << probe.Errors();
  EXPECT_EQ(130, probe.Stop(SIGINT, std::chrono::seconds(120))) << probe.Errors();
  for (int n = 1; n <= 7; ++n) {
    EXPECT_EQ(9600u, jstesting::LineBaudRate(portDir_ + "/com" + std::to_string(n)))
        << "COM" << n << "'s line settings were not put back\n" << probe.Errors();
  }
}

INSTANTIATE_TEST_SUITE_P(Probe, Interrupted,
                         ::testing::Combine(::testing::Values(Scenarios().front()),
                                            ::testing::Values(Build::kLinux, Build::kWine)),
                         SearchName);

std::string Name(const ::testing::TestParamInfo<std::tuple<Scenario, Build>>& info) {
  return std::string(std::get<0>(info.param).name) +
         (std::get<1>(info.param) == Build::kLinux ? "_Linux" : "_Wine");
}

INSTANTIATE_TEST_SUITE_P(Probe, SideBySide,
                         ::testing::Combine(::testing::ValuesIn(Scenarios()),
                                            ::testing::Values(Build::kLinux, Build::kWine)),
                         Name);

}  // namespace
