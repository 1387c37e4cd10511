// End to end: a simulated controller, jskeys (keys through XTest on an X server of the test's
// own), and playback driven through the map: mpv over MPRIS on a session bus of the test's own.

#include <chrono>
#include <cmath>
#include <thread>

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

class Playback : public ToolTest {
 protected:
  void SetUp() override {
    ToolTest::SetUp();
    if (!Xvfb::Installed()) GTEST_SKIP() << "Xvfb is not installed (Debian package xvfb)";
    std::string why;
    ASSERT_TRUE(xvfb_.Running() || xvfb_.Start(why)) << why;
    ASSERT_TRUE(player_.Start(why) && player_.MakeClip(why) && player_.StartMpv(why)) << why;
    ASSERT_TRUE(StartSim(why)) << why;
    WriteFile("player.toml", kPlayerMap);
    StartTool({"--config", Path("player.toml"), "--backend", "x11"},
              {"DISPLAY=" + xvfb_.display(), "DBUS_SESSION_BUS_ADDRESS=" + player_.Address()});
    ASSERT_TRUE(tool.WaitForError("jskeys: controller on COM3", 10s)) << tool.Errors();
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

  Xvfb& xvfb_ = Xvfb::Shared();
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
  ASSERT_GE(sd_bus_call_method(player_.Bus(), kMpvBusName, "/org/mpris/MediaPlayer2",
                               "org.mpris.MediaPlayer2.Player", "Seek", nullptr, nullptr, "x",
                               std::int64_t{60'000'000}),
            0);  // room to go back in
  ASSERT_TRUE(player_.SettledPosition());
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

}  // namespace
