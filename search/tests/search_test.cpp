// The search against simulated controllers on pseudo-terminals in a port directory of its own:
// how soon a controller that starts answering late is found, and what the log hears of a port
// that does not answer or answers garbage.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "CaptureSink.h"
#include "ControllerSearch.h"
#include "ControllerSim.h"
#include "TempDir.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using jsprogram::ControllerSearch;

// Get-status requests one failed try sends at most: seven attempts of a request and seven repeats.
constexpr std::uint32_t kRequestsPerTry = 7 * 8;

class Search : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Made());
    ASSERT_EQ(0, setenv("JS_PORT_DIR", dir_.path().c_str(), 1));
  }
  void TearDown() override { sim_.Stop(); }

  // The simulator on COMn; `firstAnswer` gets the time of its first reply.
  void StartSim(int n, jssim::SimOptions options) {
    options.observer = [this](const jssim::SimEvent& event) {
      Clock::time_point none{};
      if (event.kind == jssim::SimEvent::Kind::kSentReply) {
        firstAnswer_.compare_exchange_strong(none, Clock::now());
      }
    };
    std::string error;
    ASSERT_TRUE(sim_.Start(dir_ / ("com" + std::to_string(n)), options, &error)) << error;
  }

  // Looks as a program does, every kLookEvery, until a controller answers or `limit` passes.
  static bool LookUntilFound(ControllerSearch& search, Clock::duration limit) {
    for (const auto end = Clock::now() + limit; Clock::now() < end;) {
      if (search.LookOnce()) return true;
      std::this_thread::sleep_for(ControllerSearch::kLookEvery);
    }
    return false;
  }

  // What a user sees by default: failures and warnings (levels 1 and 2).
  std::vector<std::string> Warnings() const {
    std::vector<std::string> texts;
    for (const jslog::LogLine& line : log_.Lines()) {
      if (line.level <= 2) texts.push_back(line.text);
    }
    return texts;
  }
  std::size_t Logged(const std::string& part) const {
    const std::vector<std::string> texts = Warnings();
    return static_cast<std::size_t>(std::count_if(
        texts.begin(), texts.end(),
        [&part](const std::string& text) { return text.find(part) != std::string::npos; }));
  }

  jstesting::TempDir dir_;
  jssim::ControllerSim sim_;
  std::atomic<Clock::time_point> firstAnswer_{};
  jslog::CaptureSink log_;
  jslog::ScopedLogSink capture_{log_};
};

// A controller switched on while the search waits: on the port the user named it is found soon
// after it starts answering; among COM1 to COM7 its port keeps the back-off meant for strangers,
// unless it was not there at all when the search began: a port that is missing failed nothing.
// Its first failure is logged once either way.
TEST_F(Search, ANamedPortIsTriedAgainSoonAndStrangersWait) {
  struct Case {
    std::uint32_t port;  // as given on the command line; the controller is on COM3
    bool late;           // its port appears only after the search began, answering at once
    bool found;          // within the bound below, long before the first back-off ends
  };
  const Case cases[] = {{3, false, true}, {0, false, false}, {0, true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE("port " + std::to_string(c.port) + (c.late ? ", appearing late" : ""));
    firstAnswer_ = Clock::time_point{};
    log_.Clear();
    // Answers from the middle of the third try on: two tries find nothing.
    const jssim::SimOptions options{.answerFrom = 2 * kRequestsPerTry + kRequestsPerTry / 2};
    if (!c.late) StartSim(3, options);
    ControllerSearch search(c.port);
    ASSERT_EQ(nullptr, search.Begin(true));
    if (c.late) {
      std::this_thread::sleep_for(500ms);
      StartSim(3, {});
    }
    const bool found = LookUntilFound(search, 12s);
    EXPECT_EQ(c.found, found) << "the search looked for 12 s";
    // A stranger's device (a modem, a GPS receiver) hears the handshake once, not every second.
    if (!c.found) {
      EXPECT_LE(sim_.ResetsReceived(), 7u) << "asked again within the back-off";
    }
    if (found) {
      const Clock::time_point answered = firstAnswer_.load();
      ASSERT_NE(Clock::time_point{}, answered);
      // A retry every 1.5 s and a handshake or two: a few seconds on a loaded machine, not 60.
      EXPECT_LT(Clock::now() - answered, 6s);
    }
    EXPECT_EQ(c.late ? 0u : 1u, Logged("not answering"))
        << "a failure is logged at its first try only";
    sim_.Stop();
  }
}

// A port that answers with what is no message of the controller's: its first try logs the first
// few of them and a count of the rest; the tries after it log nothing until the back-off step.
TEST_F(Search, GarbageIsLoggedAFewLinesAndACount) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> reply;  // sent for each get-status request; none: silent
    std::uint32_t answerFrom;         // the first request answered
    std::size_t fewestShown, mostShown;  // "Invalid command" lines at the first try
    std::size_t counts;                  // lines with the count of the rest
  };
  constexpr std::size_t kShown = ControllerSearch::kWarningsShown;
  const Case cases[] = {
      {"unknown codes", {0x01, 0x02, 0x03, 0x10, 0x20}, 1, kShown, kShown, 1},
      {"init texts too short to hold", {0x82, 0x00, 0x82, 0x01}, 1, kShown, kShown, 1},
      // The last few requests of the try: what comes after the link has given up is not read.
      {"a few", {0x01}, kRequestsPerTry - 5, 1, 6, 0},
      {"silence", {}, 1, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    log_.Clear();
    StartSim(3, {.silent = c.reply.empty(), .answerFrom = c.answerFrom, .replyOverride = c.reply});
    ControllerSearch search(3);
    ASSERT_EQ(nullptr, search.Begin(false));
    EXPECT_GE(Logged("Invalid command"), c.fewestShown);
    EXPECT_LE(Logged("Invalid command"), c.mostShown);
    EXPECT_EQ(c.counts, Logged("more invalid commands not shown"));
    EXPECT_EQ(1u, Logged("not answering"));
    // Two tries more, well within the back-off: not a line.
    const std::size_t before = Warnings().size();
    EXPECT_FALSE(LookUntilFound(search, 2 * ControllerSearch::kNamedRetryEvery + 500ms));
    EXPECT_GE(sim_.ResetsReceived(), 2 * 7u) << "tried again";
    EXPECT_EQ(before, Warnings().size()) << "the last: " << Warnings().back();
    sim_.Stop();
  }
}

}  // namespace
