// End to end under a real X server: a simulated controller, jskeys sending through XTest, and
// windows of the test's own that record the key events they get.

#include "SharedSession.h"
#include "ToolFixture.h"
#include "XServer.h"

namespace {

using namespace jskeys_test;
using Events = std::vector<std::string>;

class X11 : public ToolTest {
 protected:
  void SetUp() override {
    ToolTest::SetUp();
    std::string error;
    if (!Xvfb::Installed()) GTEST_SKIP() << "Xvfb is not installed (Debian package xvfb)";
    ASSERT_TRUE(xvfb_.Running() || xvfb_.Start(error)) << error;
    ASSERT_TRUE(keys.Open(xvfb_.display())) << xvfb_.display();
    ASSERT_TRUE(StartSim(error)) << error;
  }

  void StartKeys() {
    StartTool({"--config", Path("keys.toml"), "--backend", "x11"},
              {"DISPLAY=" + xvfb_.display()});
    ASSERT_TRUE(tool.WaitForError("jskeys: controller on COM3", 10s)) << tool.Errors();
  }

  // Waits until jog steps come through as keys: the link is up, whatever standard error says.
  bool WaitUntilKeysFlow() {
    for (int tries = 0; tries < 100; ++tries) {
      sim.Send(Bytes{0x80, 0x01});
      if (!keys.Take(2, 100ms).empty()) {
        keys.Take(100, 300ms);  // whatever else was in flight
        return true;
      }
    }
    return false;
  }

  // Sends bytes as the controller and takes the key events they bring; when none are expected,
  // watches a while for any that should not come.
  Events Play(const Bytes& bytes, std::size_t expected) {
    EXPECT_TRUE(sim.Send(bytes));
    return expected == 0 ? keys.Take(1, 300ms) : keys.Take(expected, 5s);
  }

  Xvfb& xvfb_ = Xvfb::Shared();  // one server for the tests; each test's windows go with it
  KeyRecorder keys;
};

// The session every way of sending keys plays alike (SharedSession.h), as XTest delivers it.
TEST_F(X11, TheSharedSessionAsXTestDeliversIt) {
  WriteFile("session.toml", kSessionMap);
  const Window editor = keys.MakeWindow("Editor");
  keys.Focus(editor);
  keys.PointAt(editor);  // buttons and the wheel go where the pointer is
  StartTool({"--config", Path("session.toml"), "--backend", "x11"}, {"DISPLAY=" + xvfb_.display()});
  ASSERT_TRUE(tool.WaitForError("jskeys: controller on COM3")) << tool.Errors();
  for (const SessionStep& step : kSessionSteps) {
    Events expected;
    for (const std::string& action : step.actions) {
      for (const std::string& event : X11Events(action, "Editor")) expected.push_back(event);
    }
    EXPECT_EQ(expected, Play(step.bytes, expected.size())) << step.actions.size();
  }
  EXPECT_EQ(0, tool.Stop(SIGINT, 5s));
}

TEST_F(X11, TheShuttleRepeatsAndTheFocusChoosesTheSection) {
  const Window editor = keys.MakeWindow("Editor");
  keys.Focus(editor);
  StartKeys();

  // The shuttle out to +1 repeats "l" every 200 ms; back at 0 it stops.
  ASSERT_TRUE(sim.Send(Bytes{0x81, 0x00, 0x01}));
  const auto first = std::chrono::steady_clock::now();
  Events taps = keys.Take(6, 5s);
  const auto third = std::chrono::steady_clock::now();
  ASSERT_TRUE(sim.Send(Bytes{0x81, 0x00, 0x00}));
  EXPECT_EQ((Events{"Editor down l", "Editor up l", "Editor down l", "Editor up l",
                    "Editor down l", "Editor up l"}),
            taps);
  EXPECT_GE(third - first, 300ms);  // three strokes 200 ms apart, not a burst
  Events after = keys.Take(2, 600ms);
  if (after == Events{"Editor down l", "Editor up l"}) after = keys.Take(1, 600ms);  // one in flight
  EXPECT_EQ(Events{}, after);

  // Another application takes the focus: its section applies, the default fills the rest.
  const Window other = keys.MakeWindow("Other");
  keys.Focus(other);
  EXPECT_EQ((Events{"Other down Return", "Other up Return"}), Play({0x40}, 2)) << tool.Errors();
  EXPECT_EQ(Events{}, Play({0x60}, 0));
  EXPECT_EQ((Events{"Other down Down", "Other up Down"}), Play({0x80, 0x01}, 2));
  EXPECT_EQ((Events{"Other down Left", "Other up Left"}), Play({0x80, 0xFF}, 2));

  // And back.
  keys.Focus(editor);
  EXPECT_EQ((Events{"Editor down space", "Editor up space"}), Play({0x40}, 2));
  EXPECT_EQ(Events{}, Play({0x60}, 0));

  // A key held when jskeys ends is let go.
  EXPECT_EQ(Events{"Editor down Shift_L"}, Play({0x41}, 1));
  EXPECT_EQ(0, tool.Stop(SIGINT, 2s));
  EXPECT_EQ(Events{"Editor up Shift_L"}, keys.Take(1, 2s));
  EXPECT_EQ(Events{}, keys.Take(1, 300ms));
}

// Window classes are any client's to set. A class of 50,000 characters, and a pattern that once
// took exponential time against a class made for it, neither crash nor stall jskeys, and no key
// is left down in the server.
TEST_F(X11, HostileWindowClassesNeitherCrashNorStall) {
  WriteFile("hostile.toml", R"(
[default.keys]
0 = "space"
1 = { send = "shift", hold = true }
[default.jog]
forward = "Right"
[[application]]
class = "^Foo.*$"
[application.keys]
0 = "Return"
[[application]]
class = "(a+)+$"
[application.keys]
0 = "Tab"
)");
  const Window longClass = keys.MakeWindow("Foo" + std::string(50000, 'x'), "Long");
  const Window trap = keys.MakeWindow(std::string(30, 'a') + "b", "Trap");
  keys.Focus(longClass);
  StartTool({"--config", Path("hostile.toml"), "--backend", "x11"}, {"DISPLAY=" + xvfb_.display()});
  ASSERT_TRUE(WaitUntilKeysFlow());
  EXPECT_EQ(Events{"Long down Shift_L"}, Play({0x41}, 1));
  EXPECT_EQ((Events{"Long down Return", "Long up Return"}), Play({0x40}, 2));
  EXPECT_EQ(Events{"Long up Shift_L"}, Play({0x60, 0x61}, 1));
  keys.Focus(trap);
  EXPECT_EQ((Events{"Trap down space", "Trap up space"}), Play({0x40}, 2));
  EXPECT_EQ(Events{}, Play({0x60}, 0));
  EXPECT_EQ((Events{"Trap down space", "Trap up space"}), Play({0x40}, 2));
  EXPECT_EQ(0, tool.Stop(SIGTERM, 5s));
  EXPECT_TRUE(keys.NothingDown());
}

// When the X server goes away, a backend that needs no X goes on with [default] and picks X up
// again when a display answers; XTest, which needs it, ends jskeys.
TEST_F(X11, ALostXServerIsNotTheEnd) {
  // A display of its own, far from the ones other tests' servers take, so that it is still free
  // when this test starts its server again.
  keys.Close();
  xvfb_.Stop();
  std::string error;
  ASSERT_TRUE(xvfb_.Start(error, ":" + std::to_string(600 + ::getpid() % 300))) << error;
  ASSERT_TRUE(keys.Open(xvfb_.display()));
  keys.Focus(keys.MakeWindow("Other"));
  StartTool({"--config", Path("keys.toml"), "--dry-run"}, {"DISPLAY=" + xvfb_.display()});
  ASSERT_TRUE(tool.WaitForError("jskeys: controller on COM3")) << tool.Errors();
  ASSERT_TRUE(sim.Send(Bytes{0x40}));
  EXPECT_EQ("tap Return", tool.NextLine(5s));  // the application's section
  ASSERT_TRUE(sim.Send(Bytes{0x60}));
  std::this_thread::sleep_for(300ms);  // the release read on its own, not merged with the press
  keys.Close();
  xvfb_.Stop();
  ASSERT_TRUE(sim.Send(Bytes{0x40}));
  EXPECT_EQ("tap space", tool.NextLine(5s));  // [default]
  ASSERT_TRUE(sim.Send(Bytes{0x60}));
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(tool.WaitForError("jskeys: the X display went away")) << tool.Errors();

  ASSERT_TRUE(xvfb_.Start(error, xvfb_.display())) << error;
  ASSERT_TRUE(keys.Open(xvfb_.display()));
  keys.Focus(keys.MakeWindow("Other"));
  std::string line;
  for (int tries = 0; tries < 20 && line != "tap Return"; ++tries) {
    ASSERT_TRUE(sim.Send(Bytes{0x40}));
    line = tool.NextLine(5s);
    ASSERT_TRUE(sim.Send(Bytes{0x60}));
    std::this_thread::sleep_for(300ms);
  }
  EXPECT_EQ("tap Return", line) << tool.Errors();
  EXPECT_EQ(0, tool.Stop(SIGINT, 5s));
}

TEST_F(X11, XTestEndsWhenItsServerGoes) {
  keys.Focus(keys.MakeWindow("Editor"));
  StartKeys();
  EXPECT_EQ(Events{"Editor down Shift_L"}, Play({0x41}, 1));
  keys.Close();
  xvfb_.Stop();
  ASSERT_TRUE(sim.Send(Bytes{0x61, 0x40, 0x60}));
  EXPECT_EQ(1, tool.WaitForExit(5s));
  EXPECT_NE(std::string::npos, tool.Errors().find("the X display went away")) << tool.Errors();
}

// Whatever ends jskeys, a key it holds is let go first: its terminal closed (SIGHUP), SIGQUIT,
// standard error whose reader has gone (SIGPIPE at its next line), and standard error closed
// (the X connection must never become descriptor 2, with the log written into it).
TEST_F(X11, EveryWayToEndLetsGoOfAHeldKey) {
  using jstesting::StderrTo;
  struct Case {
    const char* what;
    int signal;
    jstesting::ChildSetup setup;
  };
  const Case cases[] = {
      {"SIGHUP", SIGHUP, {}},
      {"SIGQUIT", SIGQUIT, {}},
      {"SIGUSR2", SIGUSR2, {}},
      {"SIGALRM", SIGALRM, {}},
      {"standard error gone", SIGTERM, {.stderrTo = StderrTo::kGonePipe}},
      {"standard error closed", SIGTERM, {.closeDescriptors = {2}}},
  };
  keys.Focus(keys.MakeWindow("Editor"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StartTool({"--config", Path("keys.toml"), "--backend", "x11"},
              {"DISPLAY=" + xvfb_.display()}, c.setup);
    ASSERT_TRUE(WaitUntilKeysFlow());
    EXPECT_EQ(Events{"Editor down Shift_L"}, Play({0x41}, 1));  // held while key 1 is
    EXPECT_EQ(0, tool.Stop(c.signal, 5s));
    EXPECT_EQ(Events{"Editor up Shift_L"}, keys.Take(1, 2s));
  }
}

// An X server that stops answering while keys flood into it: a stop still ends jskeys at once,
// saying that what it held could not be released there.
TEST_F(X11, AFrozenServerDoesNotHoldUpTheEnd) {
  keys.Focus(keys.MakeWindow("Editor"));
  StartTool({"--config", Path("keys.toml"), "--backend", "x11"}, {"DISPLAY=" + xvfb_.display()});
  ASSERT_TRUE(WaitUntilKeysFlow());
  EXPECT_EQ(Events{"Editor down Shift_L"}, Play({0x41}, 1));
  xvfb_.Freeze(true);
  Bytes flood;  // far more than the connection's buffers hold: jskeys' writes block
  for (int i = 0; i < 80; ++i) flood.insert(flood.end(), {0x80, 0x7F});
  ASSERT_TRUE(sim.Send(flood));
  std::this_thread::sleep_for(500ms);
  const auto asked = std::chrono::steady_clock::now();
  const int status = tool.Stop(SIGTERM, 10s);
  const auto took = std::chrono::steady_clock::now() - asked;
  xvfb_.Freeze(false);
  EXPECT_NE(jstesting::ChildProcess::kStillRunning, status) << tool.Errors();
  // About 1 s; the bound is generous for a busy machine.
  EXPECT_LT(took, 4s) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
  if (status != 0) {
    EXPECT_TRUE(tool.WaitForError("does not answer", 1s)) << tool.Errors();
  }
}

// Mouse actions through XTest: buttons 1 to 3, and the wheel as buttons 4 to 7.
TEST_F(X11, ButtonsAndWheelStepsReachTheWindowUnderThePointer) {
  WriteFile("keys.toml", R"(
[default.keys]
0 = { send = "button3", hold = true }
1 = "ctrl+wheel_up"
2 = "wheel_left"
[default.jog]
forward = "wheel_down"
back = "wheel_right"
)");
  const Window editor = keys.MakeWindow("Editor");
  keys.Focus(editor);
  keys.PointAt(editor);
  StartKeys();
  struct Step {
    Bytes bytes;
    Events events;
  };
  const Step steps[] = {
      {{0x40}, {"Editor down button3"}},
      {{0x60}, {"Editor up button3"}},
      {{0x41},
       {"Editor down Control_L", "Editor down button4", "Editor up button4", "Editor up Control_L"}},
      {{0x61}, {}},
      {{0x42}, {"Editor down button6", "Editor up button6"}},
      {{0x62}, {}},
      {{0x80, 0x02},
       {"Editor down button5", "Editor up button5", "Editor down button5", "Editor up button5"}},
      {{0x80, 0xFF}, {"Editor down button7", "Editor up button7"}},
  };
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    SCOPED_TRACE("step " + std::to_string(i));
    EXPECT_EQ(steps[i].events, Play(steps[i].bytes, steps[i].events.size()));
  }
  EXPECT_EQ(Events{}, keys.Take(1, 300ms));
  // A button held when jskeys ends is let go.
  EXPECT_EQ(Events{"Editor down button3"}, Play({0x40}, 1));
  EXPECT_EQ(0, tool.Stop(SIGINT, 5s));
  EXPECT_EQ(Events{"Editor up button3"}, keys.Take(1, 2s));
}

}  // namespace
