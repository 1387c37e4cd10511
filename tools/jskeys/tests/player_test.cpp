// The player output against mpv (through its MPRIS plugin) and players of the test's own, on a
// session bus of the test's own: what each command does to the player, which player is picked,
// players that come back, one that hangs, and no bus at all.

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "FakePlayer.h"
#include "LogSink.h"
#include "PlayerDrive.h"
#include "PlayerOutput.h"
#include "PlayerSession.h"

namespace {

using jskeys::Action;
using jskeys::PlayerCommand;
using jskeys::PlayerOutput;
using Clock = std::chrono::steady_clock;
using Kind = PlayerCommand::Kind;
using namespace std::chrono_literals;

Action Command(Kind kind, std::string name = "", double rate = 0, int ms = 0) {
  PlayerCommand command;
  command.kind = kind;
  command.rate = rate;
  command.ms = ms;
  return Action::Player(command, name);
}
Action Rate(double rate, std::string name = "") { return Command(Kind::kRate, name, rate); }
Action Seek(int ms, std::string name = "") { return Command(Kind::kSeek, name, 0, ms); }

using jskeys_test::Drive;
using jskeys_test::Pass;

class PlayerOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(session_.Start(why) && session_.MakeClip(why) && session_.StartMpv(why)) << why;
    output_ = std::make_unique<PlayerOutput>();
    ASSERT_TRUE(Drive(*output_, 30s, [&] { return output_->Ready(); }))
        << "the output never listed the players on the test's bus";
  }
  // Sends `action` and serves the output until mpv shows `rate` and `status`.
  void Expect(const std::vector<Action>& actions, double rate, const std::string& status) {
    for (const Action& action : actions) output_->Send(action);
    std::optional<double> seenRate;
    std::optional<std::string> seenStatus;
    const bool reached = Drive(*output_, 20s, [&] {
      seenRate = session_.Rate();
      seenStatus = session_.Status();
      return seenRate == rate && seenStatus == status;
    });
    EXPECT_TRUE(reached) << actions.back().Text() << ": mpv's rate " << seenRate.value_or(-99)
                         << ", " << seenStatus.value_or("(no answer)") << "; expected " << rate
                         << ", " << status;
  }
  // mpv's position once its seeks are done, the output served meanwhile.
  // Once everything sent has gone out and been answered (the output is served meanwhile).
  std::int64_t Settled() {
    Pass(*output_, 300ms);
    EXPECT_TRUE(Drive(*output_, 20s, [&] { return output_->Idle(); }))
        << "calls to the player still waiting after 20 s";
    const auto position = session_.SettledPosition();
    EXPECT_TRUE(position) << "mpv's position never settled";
    return position.value_or(0);
  }

  jskeys_test::PlayerSession session_;
  std::unique_ptr<PlayerOutput> output_;
};

TEST_F(PlayerOutputTest, CommandsChangeWhatMpvPlays) {
  struct Step {
    std::vector<Action> actions;
    double rate;
    const char* status;
  };
  const std::vector<Step> steps = {
      {{Rate(2)}, 2.0, "Playing"},
      {{Command(Kind::kRest)}, 1.0, "Paused"},
      {{Command(Kind::kPlayPause)}, 1.0, "Playing"},
      {{Command(Kind::kPlayPause)}, 1.0, "Paused"},
      {{Rate(0.5), Rate(1.5), Rate(3)}, 3.0, "Playing"},  // the newest rate wins
      {{Rate(-2), Command(Kind::kRest)}, 1.0, "Paused"},
      {{Command(Kind::kPlay, "mpv")}, 1.0, "Playing"},
      {{Command(Kind::kPause, "mpv")}, 1.0, "Paused"},
  };
  for (const Step& step : steps) Expect(step.actions, step.rate, step.status);
}

TEST_F(PlayerOutputTest, JogSeeksAddUpToTheFrame) {
  Expect({Command(Kind::kPause)}, 1.0, "Paused");
  const std::int64_t before = Settled();
  for (int i = 0; i < 30; ++i) output_->Send(Seek(40));
  const std::int64_t moved = Settled() - before;
  EXPECT_NEAR(moved, 1'200'000, 40'000) << "30 seeks of 40 ms moved mpv by " << moved << " us";
}

TEST_F(PlayerOutputTest, NegativeRatePlaysMpvBackwards) {
  Expect({Command(Kind::kPause)}, 1.0, "Paused");
  ASSERT_TRUE(session_.MoveTo(60'000'000)) << "mpv never got to 60 s";
  const std::int64_t before = Settled();
  const auto start = Clock::now();
  output_->Send(Rate(-2));
  Pass(*output_, 2s);
  output_->Send(Command(Kind::kRest));
  const double played = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
  const std::int64_t back = before - Settled();
  // Steps are sought by the time that passed, so a late wake loses nothing but the last step.
  EXPECT_GT(back, 0.6 * 2 * played) << "back " << back << " us in " << played << " us at -2";
  EXPECT_LT(back, 2 * played + 200'000) << "back " << back << " us in " << played << " us at -2";
  EXPECT_EQ(session_.Status(), "Paused");
}

TEST_F(PlayerOutputTest, PlayerThatQuitsAndComesBackIsUsedAgain) {
  session_.StopMpv();
  std::string why;
  ASSERT_TRUE(session_.StartMpv(why)) << why;
  ASSERT_TRUE(Drive(*output_, 30s, [&] { return output_->Knows("mpv"); }))
      << "the output never learned of mpv's return";
  Expect({Rate(2)}, 2.0, "Playing");
}

// The player picked: by name (an instance after it too), by the focused window's class (its
// desktop entry or its name, case aside), else the last one playing.
TEST_F(PlayerOutputTest, PicksThePlayer) {
  jskeys_test::FakePlayer fake("fake", "FakePlay"), other("other.instance7", "Other");
  ASSERT_TRUE(fake.Start() && other.Start()) << "the test's players could not join the bus";
  ASSERT_TRUE(Drive(*output_, 30s, [&] { return output_->Knows("fake") && output_->Knows("other"); }));
  struct Row {
    Action action;
    std::string focus;
    jskeys_test::FakePlayer* to;
    std::vector<std::string> calls;
  };
  const std::vector<Row> rows = {
      {Rate(-2, "fake"), "", &fake, {"Rate -2", "Play"}},  // it takes negative rates itself
      {Command(Kind::kRest, "fake"), "", &fake, {"Pause", "Rate 1"}},
      {Command(Kind::kPlayPause), "fakeplay", &fake, {"PlayPause"}},
      {Command(Kind::kNext, "other"), "", &other, {"Next"}},
      {Command(Kind::kPrevious), "OTHER", &other, {"Previous"}},
      {Seek(-40), "", &fake, {"Seek -40000"}},  // the fake played last
  };
  for (const Row& row : rows) {
    const std::size_t had = row.to->Calls().size();
    output_->Focus({row.focus, ""});
    output_->Send(row.action);
    Drive(*output_, 20s, [&] { return row.to->Calls().size() >= had + row.calls.size(); });
    const auto calls = row.to->Calls();
    EXPECT_EQ(std::vector<std::string>(calls.begin() + static_cast<long>(had), calls.end()),
              row.calls)
        << row.action.Text() << " with " << row.focus << " focused";
  }
}

// mpv stopped (SIGSTOP): sending returns at once, the other player is still served, and the
// seeks made meanwhile reach mpv once it runs again, each once.
TEST_F(PlayerOutputTest, HungPlayerHoldsUpNothing) {
  jskeys_test::FakePlayer fake("fake", "FakePlay");
  ASSERT_TRUE(fake.Start());
  ASSERT_TRUE(Drive(*output_, 30s, [&] { return output_->Knows("fake"); }));
  Expect({Command(Kind::kPause, "mpv")}, 1.0, "Paused");
  const std::int64_t before = Settled();
  session_.Mpv().Signal(SIGSTOP);
  Clock::duration sending{};
  auto seeks = [&](int count) {
    for (int i = 0; i < count; ++i) {
      const auto start = Clock::now();
      output_->Send(Seek(40, "mpv"));
      sending += Clock::now() - start;
      Pass(*output_, 20ms);
    }
  };
  seeks(20);
  output_->Send(Command(Kind::kNext, "fake"));
  EXPECT_TRUE(Drive(*output_, 20s, [&] { return !fake.Calls().empty(); }))
      << "the other player was not served while mpv was stopped";
  Pass(*output_, jskeys::kCallPatience + 500ms);  // past the wait for mpv's answer
  seeks(10);
  EXPECT_LT(sending, 1s) << "sending to a stopped player waited";
  session_.Mpv().Signal(SIGCONT);
  const std::int64_t moved = Settled() - before;
  EXPECT_NEAR(moved, 1'200'000, 40'000) << "30 seeks of 40 ms moved mpv by " << moved << " us";
}

// A closed connection stays readable: kept, it would wake jskeys' loop without end.
TEST_F(PlayerOutputTest, BusThatGoesAwayIsLetGo) {
  session_.StopBus();
  EXPECT_TRUE(Drive(*output_, 20s, [&] { return output_->Handle() == jsprogram::kNoWaitHandle; }))
      << "the output kept the bus that went away";
  EXPECT_TRUE(output_->Due()) << "the output does not look for the bus again";
}

TEST(PlayerOutputNoBus, SaysSoOnceAndDropsCommands) {
  const char* old = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const std::string kept = old != nullptr ? old : "";
  ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/js-no-bus", 1);
  ::testing::internal::CaptureStderr();
  const auto start = Clock::now();
  {
    const auto output = jskeys::MakePlayerOutput();
    EXPECT_EQ(output->Handle(), jsprogram::kNoWaitHandle);
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(output->Send(Rate(2)));
    output->Finish();
  }
  const auto took = Clock::now() - start;
  jslog::FlushStderr(2000);
  const std::string said = ::testing::internal::GetCapturedStderr();
  old != nullptr ? ::setenv("DBUS_SESSION_BUS_ADDRESS", kept.c_str(), 1)
                 : ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  EXPECT_LT(took, 2s);
  const auto first = said.find("no session bus");
  EXPECT_NE(first, std::string::npos) << said;
  EXPECT_EQ(said.find("no session bus", first + 1), std::string::npos) << said;
}

}  // namespace
