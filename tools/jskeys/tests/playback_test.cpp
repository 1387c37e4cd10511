// End to end: a simulated controller, jskeys (keys through XTest on an X server of the test's
// own), and playback driven through the map: mpv over MPRIS on a session bus of the test's own,
// and MIDI through a JACK server of the test's own (the dummy driver) to a recording client.

#include <chrono>
#include <cmath>
#include <thread>

#include "JackSession.h"
#include "PlayerSession.h"
#include "ToolFixture.h"
#include "XServer.h"
// Xlib's name for a result type; here it is the player's property.
#undef Status

namespace {

using namespace jskeys_test;

const std::string kPlayerMap = TestMap(R"(
1 = { player = "play_pause" }
[default.jog]
forward = { player = "seek", ms = 40 }
back = { player = "seek", ms = -40 }
[default.shuttle]
3 = { player = "rate", rate = 2.0 }
-3 = { player = "rate", rate = -2.0 }
)");

const std::string kMidiMap = TestMap(R"(
1 = { midi = "note", note = 60, velocity = 100, channel = 2 }
[default.jog]
forward = { midi = "cc", cc = 16, value = 1 }
back = { midi = "cc", cc = 16, value = 65 }
[midi]
connect = ["^recorder:in$"]
)");

// Keys through XTest: jskeys needs a way to send keys, whatever else its map does.
class OnX : public ToolTest {
 protected:
  void SetUp() override {
    ToolTest::SetUp();
    if (!Xvfb::Installed()) GTEST_SKIP() << "Xvfb is not installed (Debian package xvfb)";
    std::string why;
    ASSERT_TRUE(xvfb_.Running() || xvfb_.Start(why)) << why;
    ASSERT_TRUE(StartSim(why)) << why;
  }
  void StartKeys(const std::string& map, std::string environment) {
    WriteFile("map.toml", map);
    StartTool({"--config", Path("map.toml"), "--backend", "x11"},
              {"DISPLAY=" + xvfb_.display(), std::move(environment)});
    ASSERT_TRUE(tool.WaitForError("jskeys: controller on COM3", 10s)) << tool.Errors();
  }

  Xvfb& xvfb_ = Xvfb::Shared();
};

class Playback : public OnX {
 protected:
  void SetUp() override {
    OnX::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    std::string why;
    ASSERT_TRUE(player_.Start(why) && player_.MakeClip(why) && player_.StartMpv(why)) << why;
    StartKeys(kPlayerMap, "DBUS_SESSION_BUS_ADDRESS=" + player_.Address());
  }

  void Shuttle(std::int8_t position) {
    ASSERT_TRUE(sim.Send(Bytes{0x81, 0x00, static_cast<std::uint8_t>(position)}));
  }
  // Until mpv shows `rate` and `status`, for a loaded machine's time.
  ::testing::AssertionResult Shows(double rate, const std::string& status) {
    std::optional<double> seenRate;
    std::optional<std::string> seenStatus;
    for (const auto end = std::chrono::steady_clock::now() + 20s;
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(50ms)) {
      seenRate = player_.Rate();
      seenStatus = player_.Status();
      if (seenRate == rate && seenStatus == status) return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "mpv's rate " << seenRate.value_or(-99) << ", " << seenStatus.value_or("(no answer)")
           << "; expected " << rate << ", " << status << "; jskeys said: " << tool.Errors();
  }

  jskeys_test::PlayerSession player_;
};

TEST_F(Playback, TheShuttlePlaysAtItsRateAndRestsAtZeroAndTheJogSeeks) {
  Shuttle(3);
  ASSERT_TRUE(Shows(2.0, "Playing"));
  Shuttle(0);
  ASSERT_TRUE(Shows(1.0, "Paused"));

  // Paused, 30 steps of 40 ms move it 1.2 s, give or take a frame of 40 ms.
  const std::optional<std::int64_t> before = player_.SettledPosition();
  ASSERT_TRUE(before) << "mpv's position never settled";
  for (int step = 0; step < 30; ++step) ASSERT_TRUE(sim.Send(Bytes{0x80, 0x01}));
  std::optional<std::int64_t> after;
  for (const auto end = std::chrono::steady_clock::now() + 20s;
       std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(200ms)) {
    after = player_.SettledPosition();
    if (after && std::llabs(*after - *before - 1'200'000) <= 40'000) break;
  }
  ASSERT_TRUE(after);
  EXPECT_NEAR(1'200'000, *after - *before, 40'000) << tool.Errors();

  // mpv takes no negative rate: backwards by steady seeks, about 2 s a second, paused. Each
  // seek waits for the one before to land, so the slope is read once they flow.
  ASSERT_TRUE(player_.MoveTo(60'000'000)) << "mpv never got to 60 s";  // room to go back in
  Shuttle(-3);
  std::this_thread::sleep_for(1s);
  const auto first = std::chrono::steady_clock::now();
  const std::optional<std::int64_t> from = player_.Position();
  std::this_thread::sleep_for(3s);
  const std::optional<std::int64_t> to = player_.Position();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - first).count();
  ASSERT_TRUE(from && to);
  EXPECT_EQ("Paused", player_.Status().value_or("(no answer)"));
  const double speed = static_cast<double>(*from - *to) / 1e6 / seconds;
  EXPECT_NEAR(2.0, speed, 0.6) << "back " << *from - *to << " us in " << seconds << " s; "
                               << tool.Errors();
  Shuttle(0);
  ASSERT_TRUE(Shows(1.0, "Paused"));

  // A key: play/pause.
  ASSERT_TRUE(sim.Send(Bytes{0x41}));  // key 1 down
  ASSERT_TRUE(Shows(1.0, "Playing"));
}

class Midi : public OnX {
 protected:
  void SetUp() override {
    OnX::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    if (!JackServer::Installed()) GTEST_SKIP() << "jackd is not installed (Debian package jackd2)";
    std::string why;
    ASSERT_TRUE(jack_.Start(why)) << why << jack_.Log();
    ASSERT_TRUE(recorder_.Open("recorder", why)) << why;
    StartKeys(kMidiMap, "JACK_DEFAULT_SERVER=" + jack_.Name());
    for (const auto end = std::chrono::steady_clock::now() + 20s;
         !recorder_.ConnectedTo("jskeys:midi_out"); std::this_thread::sleep_for(50ms)) {
      ASSERT_LT(std::chrono::steady_clock::now(), end)
          << "jskeys never connected to the recorder; it said: " << tool.Errors();
    }
  }

  JackServer jack_;
  JackRecorder recorder_;
};

// Every step one event, in the order turned: forward twice, back once, and so on.
TEST_F(Midi, AThousandJogStepsAreAThousandControllerEventsInOrder) {
  std::vector<HeardEvent> expected;
  for (int step = 0; step < 1000; ++step) {
    const bool back = step % 3 == 2;
    ASSERT_TRUE(sim.Send(Bytes{0x80, static_cast<std::uint8_t>(back ? 0xFF : 0x01)}));
    expected.push_back({0, {0xB0, 16, static_cast<std::uint8_t>(back ? 65 : 1)}});
    if (step % 50 == 49) std::this_thread::sleep_for(20ms);  // a fast hand, not one burst
  }
  std::vector<HeardEvent> heard = recorder_.WaitFor(1000);
  for (HeardEvent& event : heard) event.frame = 0;
  EXPECT_EQ(expected.size(), heard.size()) << tool.Errors();
  EXPECT_TRUE(expected == heard) << "the events came in another order or with other bytes";
}

// A note held as jskeys is stopped is let go before it ends, whichever signal stops it.
TEST_F(Midi, ANoteHeldAtTheEndIsLetGoForEveryStopSignal) {
  const HeardEvent on{0, {0x91, 60, 100}}, off{0, {0x81, 60, 0}};
  for (const int signal : {SIGTERM, SIGHUP, SIGQUIT}) {
    SCOPED_TRACE(strsignal(signal));
    if (!tool.Running()) StartKeys(kMidiMap, "JACK_DEFAULT_SERVER=" + jack_.Name());
    for (const auto end = std::chrono::steady_clock::now() + 20s;
         !recorder_.ConnectedTo("jskeys:midi_out"); std::this_thread::sleep_for(50ms)) {
      ASSERT_LT(std::chrono::steady_clock::now(), end) << tool.Errors();
    }
    ASSERT_TRUE(sim.Send(Bytes{0x41}));  // key 1 down
    std::vector<HeardEvent> heard = recorder_.WaitFor(1);
    ASSERT_EQ(1u, heard.size()) << tool.Errors();
    heard[0].frame = 0;
    EXPECT_EQ(on, heard[0]);
    tool.Stop(signal, 5s);
    heard = recorder_.WaitFor(1, 5s);
    ASSERT_EQ(1u, heard.size()) << "no note-off; jskeys said: " << tool.Errors();
    heard[0].frame = 0;
    EXPECT_EQ(off, heard[0]);
  }
}

}  // namespace
