// End to end under a headless sway: a simulated controller, jskeys sending through the Wayland
// virtual keyboard and pointer, and wev printing what it receives.

#include "SwaySession.h"
#include "ToolFixture.h"

namespace {

using namespace jskeys_test;
using Events = std::vector<std::string>;

constexpr const char* kMap = R"(
[modifiers]
s = [5]
c = [6]
[default.keys]
0 = "space"
1 = { send = "button1", hold = true }
2 = "ctrl+z"
3 = "ctrl+wheel_up"
4 = "wheel_right"
7 = "space"
8 = "space"
[default.s_keys]
0 = "shift+Right"
[default.jog]
forward = "wheel_down"
back = "Left"
[default.shuttle]
1 = { send = "l", every_ms = 200 }
[[application]]
class = "^other$"
[application.keys]
7 = "b"
8 = "b"
)";

class Wayland : public ToolTest {
 protected:
  void SetUp() override {
    ToolTest::SetUp();
    std::string error;
    bool missing = false;
    if (!sway_.Start(error, missing)) {
      if (missing) GTEST_SKIP() << error;
      FAIL() << error;
    }
    wev_ = sway_.StartWev(error);
    if (!wev_ && FindProgram("wev").empty()) GTEST_SKIP() << error;
    ASSERT_TRUE(wev_) << error;
    WriteFile("wayland.toml", kMap);
    ASSERT_TRUE(StartSim(error)) << error;
  }

  // jskeys up, and its keyboard in use at wev: what came before the first stroke is dropped
  // (the new keyboard's keymap and modifier state). A jog step, as no later press can merge
  // with it.
  void StartKeys() {
    StartTool({"--config", Path("wayland.toml"), "--backend", "wayland"},
              sway_.ClientEnvironment());
    ASSERT_TRUE(tool.WaitForError("jskeys: controller on COM3", 10s)) << tool.Errors();
    EXPECT_TRUE(tool.WaitForError("jskeys: keys go out through the Wayland virtual keyboard", 1s));
    ASSERT_TRUE(sim.Send(Bytes{0x80, 0xFF}));
    Events seen;
    while (seen.empty() || seen.back() != "up Left") {
      seen = wev_->Take(1, 10s);
      ASSERT_FALSE(seen.empty()) << "wev got no stroke: " << tool.Errors();
    }
  }

  Events Play(const Bytes& bytes, std::size_t expected) {
    EXPECT_TRUE(sim.Send(bytes));
    return wev_->Take(expected, 5s);
  }

  SwaySession sway_;
  std::unique_ptr<WevLog> wev_;
};

TEST_F(Wayland, AScriptedSessionGivesExactlyTheMappedEventsInOrder) {
  StartKeys();
  struct Step {
    Bytes bytes;
    Events events;
  };
  const Step steps[] = {
      {{0x40}, {"down space", "up space"}},
      {{0x60}, {}},
      {{0x42}, {"down Control_L", "mods Control", "down z", "up z", "up Control_L", "mods none"}},
      {{0x62}, {}},
      {{0x45, 0x40},  // S modifier held
       {"down Shift_L", "mods Shift", "down Right", "up Right", "up Shift_L", "mods none"}},
      {{0x60, 0x65}, {}},
      {{0x41}, {"press left"}},  // held while the key is
      {{0x61}, {"release left"}},
      {{0x43},  // zoom: the wheel with ctrl held
       {"down Control_L", "mods Control", "axis vertical -15.000000 discrete -1", "up Control_L",
        "mods none"}},
      {{0x63}, {}},
      {{0x44}, {"axis horizontal 15.000000 discrete 1"}},
      {{0x64}, {}},
      {{0x80, 0x02},
       {"axis vertical 15.000000 discrete 1", "axis vertical 15.000000 discrete 1"}},
      {{0x80, 0xFF}, {"down Left", "up Left"}},
  };
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    SCOPED_TRACE("step " + std::to_string(i));
    EXPECT_EQ(steps[i].events, Play(steps[i].bytes, steps[i].events.size()));
  }
  EXPECT_EQ(Events{}, wev_->Take(1, 300ms));  // nothing more than that

  // The shuttle out to +1 repeats "l" every 200 ms; back at 0 it stops.
  ASSERT_TRUE(sim.Send(Bytes{0x81, 0x00, 0x01}));
  EXPECT_EQ((Events{"down l", "up l", "down l", "up l", "down l", "up l"}), wev_->Take(6, 5s));
  ASSERT_TRUE(sim.Send(Bytes{0x81, 0x00, 0x00}));
  Events after = wev_->Take(2, 600ms);
  if (after == Events{"down l", "up l"}) after = wev_->Take(1, 600ms);  // one in flight
  EXPECT_EQ(Events{}, after);

  // A button held when jskeys ends is let go.
  EXPECT_EQ(Events{"press left"}, Play({0x41}, 1));
  EXPECT_EQ(0, tool.Stop(SIGINT, 5s));
  EXPECT_EQ(Events{"release left"}, wev_->Take(1, 2s));
}

TEST_F(Wayland, TheMapSectionFollowsTheFocusedAppId) {
  const std::string foot = FindProgram("foot");
  if (foot.empty()) GTEST_SKIP() << "foot is not installed (Debian package foot)";
  // A second client of another app_id, whose terminal writes down what it is typed.
  const std::string typed = sway_.Path("typed");
  ASSERT_TRUE(sway_.Exec("foot --app-id=other sh -c 'stty raw -echo; exec cat > " +
                            typed + "'"));
  ASSERT_TRUE(sway_.Focus("other"));
  ASSERT_TRUE(sway_.Focus("wev"));
  StartKeys();

  // Keys 7 and 8 by turns: a key's release is surely seen before it is pressed again, because
  // the other key's press came in between and was seen.
  struct Step {
    const char* focus;
    std::uint8_t key;
    Events atWev;
    std::string typedInOther;
  };
  const Step steps[] = {
      {"other", 7, {}, "b"},
      {"wev", 8, {"mods none", "down space", "up space"}, "b"},  // wev's keyboard enter, then keys
      {"other", 7, {}, "bb"},
      {"wev", 8, {"mods none", "down space", "up space"}, "bb"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(std::string("focus on ") + step.focus);
    ASSERT_TRUE(sway_.Focus(step.focus));
    EXPECT_EQ(step.atWev, Play({static_cast<std::uint8_t>(0x40 | step.key)}, step.atWev.size()));
    std::string text;
    for (auto deadline = std::chrono::steady_clock::now() + 5s;
         text != step.typedInOther && std::chrono::steady_clock::now() < deadline;) {
      std::this_thread::sleep_for(20ms);
      std::ifstream in(typed);
      text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    EXPECT_EQ(step.typedInOther, text);
    EXPECT_EQ(Events{}, wev_->Take(1, 200ms));
    EXPECT_TRUE(sim.Send(Bytes{static_cast<std::uint8_t>(0x60 | step.key)}));
  }
}

}  // namespace
