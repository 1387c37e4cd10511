// The jskeys program: its exit status for maps and command lines, and a dry run against a
// simulated controller.

#include <filesystem>

#include "SharedSession.h"
#include "ToolFixture.h"

namespace {

using namespace jskeys_test;

TEST_F(ToolTest, CheckSaysGoodOrBadWithFileAndLine) {
  EXPECT_EQ(0, RunTool({"--check", Path("keys.toml")}));
  EXPECT_EQ("jskeys: " + Path("keys.toml") + ": the map is good", tool.NextLine(1s));

  WriteFile("bad.toml", "[default.keys]\n0 = \"space\"\n\n3 = \"ctrl+nothing\"\n");
  EXPECT_EQ(2, RunTool({"--check", Path("bad.toml")}));
  EXPECT_EQ("jskeys: " + Path("bad.toml") + ":4:5: unknown key name 'nothing'\n", tool.Errors());

  EXPECT_EQ(2, RunTool({"--check", Path("missing.toml")}));
  EXPECT_NE(std::string::npos,
            tool.Errors().find("missing.toml: cannot be opened: No such file or directory"));
}

TEST_F(ToolTest, ABadMapIsRefusedAtStart) {
  WriteFile("bad.toml", "[default.shuttle]\n2 = { send = \"l\", every_ms = 1 }\n");
  EXPECT_EQ(2, RunTool({"--config", Path("bad.toml"), "--dry-run"}));
  EXPECT_NE(std::string::npos, tool.Errors().find(Path("bad.toml") + ":2:"));
  EXPECT_NE(std::string::npos, tool.Errors().find("bad rate"));
}

TEST_F(ToolTest, TheUsersMapIsFoundUnderXdgConfigHome) {
  std::filesystem::create_directories(Path("config/jogshuttle"));
  WriteFile("config/jogshuttle/keys.toml", "[default]\nnonsense = 1\n");
  EXPECT_EQ(2, RunTool({"--dry-run"}));
  EXPECT_NE(std::string::npos,
            tool.Errors().find(Path("config/jogshuttle/keys.toml") + ":2:1: unknown field"));
}

TEST_F(ToolTest, BadCommandLinesEndWithStatus2) {
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--port", "0"}, {"--port", "1x"}, {"--bogus"}, {"--backend", "no"},
        {"--s-modifiers", "0x1"}, {"--s-modifiers", "0x40", "--c-modifiers", "0x40"},
        {"--s-modifiers", "0x80"}}) {  // the last: the map's C modifier is key 6, 0x80
    EXPECT_EQ(2, RunTool(arguments)) << arguments[0];
    EXPECT_NE(std::string::npos, tool.Errors().find("Try 'jskeys --help'"));
  }
}

TEST_F(ToolTest, NoControllerIsStatus1) {
  EXPECT_EQ(1, RunTool({"--port", "4", "--dry-run"}));
  EXPECT_NE(std::string::npos, tool.Errors().find("jskeys: no controller answered on COM4"));
}

TEST_F(ToolTest, WaitKeepsLookingUntilTheControllerComes) {
  StartTool({"--config", Path("keys.toml"), "--dry-run", "--port", "3", "--wait"});
  EXPECT_TRUE(tool.WaitForError("jskeys: waiting for one to appear on COM3", 5s));
  std::this_thread::sleep_for(1500ms);
  std::string error;
  ASSERT_TRUE(StartSim(error)) << error;
  ASSERT_TRUE(tool.WaitForError("jskeys: controller on COM3", 10s)) << tool.Errors();
  ASSERT_TRUE(sim.Send(Bytes{0x40}));
  EXPECT_EQ("tap space", tool.NextLine(5s));
  EXPECT_EQ(0, tool.Stop(SIGINT, 2s));
}

// A key pressed and released within one read of the line (an adapter hands over what it has
// gathered every 16 ms) taps as surely as a slow one.
TEST_F(ToolTest, EveryQuickTapTaps) {
  WriteFile("taps.toml", "[default.keys]\n1 = \"a\"\n2 = \"b\"\n3 = \"c\"\n");
  std::string error;
  ASSERT_TRUE(StartSim(error)) << error;
  StartTool({"--config", Path("taps.toml"), "--dry-run"});
  ASSERT_TRUE(tool.WaitForError("jskeys: controller on COM3")) << tool.Errors();
  struct Row {
    std::uint8_t key;
    std::chrono::milliseconds held;  // 0: press and release in one write
  };
  for (const Row row : {Row{1, 0ms}, Row{2, 1ms}, Row{3, 5ms}}) {
    for (int i = 0; i < 20; ++i) {
      if (row.held == 0ms) {
        ASSERT_TRUE(sim.Send(Bytes{static_cast<std::uint8_t>(0x40 + row.key),
                                   static_cast<std::uint8_t>(0x60 + row.key)}));
      } else {
        ASSERT_TRUE(sim.Send(Bytes{static_cast<std::uint8_t>(0x40 + row.key)}));
        std::this_thread::sleep_for(row.held);
        ASSERT_TRUE(sim.Send(Bytes{static_cast<std::uint8_t>(0x60 + row.key)}));
      }
      std::this_thread::sleep_for(10ms);
    }
    const std::string expected = std::string("tap ") + static_cast<char>('a' + row.key - 1);
    int taps = 0;
    while (taps < 20 && tool.NextLine(5s) == expected) ++taps;
    EXPECT_EQ(20, taps) << "key " << int{row.key};
  }
  EXPECT_EQ(0, tool.Stop(SIGINT, 5s));
}

// As many sections as the map's budget for patterns takes, each with the costliest pattern.
std::string CostliestApplications() {
  std::string text;
  for (int i = 0; i < 32; ++i) {
    text += "[[application]]\nclass = \"\\\\pL{3}N" + std::to_string(i) + "\"\n";
  }
  return text;
}

// The map is read again when its file changes (saved in place or renamed over, as editors do)
// or SIGUSR1 asks: a good map applies from the next change, with what the old one held
// released first; a bad one is refused with its place and reason, and the old one stays.
TEST_F(ToolTest, AMapEditedWhileRunningTakesEffect) {
  std::string error;
  ASSERT_TRUE(StartSim(error)) << error;
  StartTool({"--config", Path("keys.toml"), "--dry-run"});
  ASSERT_TRUE(tool.WaitForError("jskeys: controller on COM3")) << tool.Errors();
  ASSERT_TRUE(sim.Send(Bytes{0x41}));
  EXPECT_EQ("press shift", tool.NextLine(5s));

  struct Edit {
    const char* how;  // "rename", "write" or "signal"
    std::string text;
    std::vector<std::string> lines;  // after the edit, for a tap of key 0
    const char* said;
  };
  const Edit edits[] = {
      {"rename", "[default.keys]\n0 = \"Tab\"\n", {"release shift", "tap Tab"}, "map read again"},
      {"write", "[default.keys]\n0 = \"nothing\"\n", {"tap Tab"},
       "keys.toml:2:5: unknown key name 'nothing' (the map in force stays)"},
      {"write", "[default.keys]\n0 = \"Return\"\n", {"tap Return"}, "map read again"},
      {"signal", "", {"tap Return"}, "map read again"},  // the service's ExecReload
      // The costliest map the bounds allow is compiled off the key path, and one beyond them
      // refused; keys go out by the map in force meanwhile.
      {"write", "[default.keys]\n0 = \"Escape\"\n" + CostliestApplications(), {"tap Escape"},
       "map read again"},
      {"write", "[[application]]\nclass = \"\\\\pL{448}N\"\n", {"tap Escape"},
       "keys.toml:2:9: pattern too costly (the map in force stays)"},
  };
  for (const Edit& edit : edits) {
    SCOPED_TRACE(edit.how);
    const std::size_t before = tool.Errors().size();
    if (std::string(edit.how) == "rename") {
      WriteFile("keys.new", edit.text);
      std::filesystem::rename(Path("keys.new"), Path("keys.toml"));
    } else if (std::string(edit.how) == "write") {
      WriteFile("keys.toml", edit.text);
    } else {
      tool.Signal(SIGUSR1);
    }
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (tool.Errors().find(edit.said, before) == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }
    EXPECT_NE(std::string::npos, tool.Errors().find(edit.said, before)) << tool.Errors();
    ASSERT_TRUE(sim.Send(Bytes{0x40}));
    for (const std::string& line : edit.lines) EXPECT_EQ(line, tool.NextLine(5s));
    ASSERT_TRUE(sim.Send(Bytes{0x60}));
  }
  EXPECT_EQ(0, tool.Stop(SIGINT, 5s));
}

// The session every way of sending keys plays alike (SharedSession.h), as the dry run prints it.
TEST_F(ToolTest, TheSharedSessionInADryRun) {
  WriteFile("session.toml", kSessionMap);
  std::string error;
  ASSERT_TRUE(StartSim(error)) << error;
  StartTool({"--config", Path("session.toml"), "--dry-run"});
  ASSERT_TRUE(tool.WaitForError("jskeys: controller on COM3")) << tool.Errors();
  for (const SessionStep& step : kSessionSteps) {
    ASSERT_TRUE(sim.Send(step.bytes));
    for (const std::string& action : step.actions) EXPECT_EQ(action, tool.NextLine(5s));
  }
  EXPECT_EQ("", tool.NextLine(300ms));  // nothing more than that
  EXPECT_EQ(0, tool.Stop(SIGINT, 5s));
}

// Beyond the shared session: the shuttle repeats until it rests, and a key held at the end is
// released before the program goes.
TEST_F(ToolTest, TheShuttleRepeatsInADryRunAndAHeldKeyIsLetGoAtTheEnd) {
  std::string error;
  ASSERT_TRUE(StartSim(error)) << error;
  StartTool({"--config", Path("keys.toml"), "--dry-run"});
  ASSERT_TRUE(tool.WaitForError("jskeys: controller on COM3", 10s)) << tool.Errors();
  ASSERT_TRUE(sim.Send(Bytes{0x81, 0x00, 0xFF}));
  EXPECT_EQ("tap j", tool.NextLine(5s));
  EXPECT_EQ("tap j", tool.NextLine(5s));  // the shuttle repeats
  ASSERT_TRUE(sim.Send(Bytes{0x81, 0x00, 0x00}));
  // A stroke already due may pass the stop; after that, nothing.
  std::string line = tool.NextLine(500ms);
  if (line == "tap j") line = tool.NextLine(500ms);
  EXPECT_EQ("", line);
  // A key held at the end is released before the program goes.
  ASSERT_TRUE(sim.Send(Bytes{0x41}));
  EXPECT_EQ("press shift", tool.NextLine(5s));
  EXPECT_EQ(0, tool.Stop(SIGINT, 2s));
  EXPECT_EQ("release shift", tool.NextLine(1s));
}

}  // namespace

namespace {

using namespace jskeys_test;

// The link reports the lost line (SerialJS::IsLineUp); jskeys lets go of what it held.
TEST_F(ToolTest, AnUnpluggedControllerIsPickedUpAgainWithNothingLeftHeld) {
  std::string error;
  ASSERT_TRUE(StartSim(error)) << error;
  StartTool({"--config", Path("keys.toml"), "--dry-run", "--port", "3"});
  ASSERT_TRUE(tool.WaitForError("jskeys: controller on COM3", 10s)) << tool.Errors();
  ASSERT_TRUE(sim.Send(Bytes{0x41}));
  EXPECT_EQ("press shift", tool.NextLine(5s));
  sim.HangUp();
  EXPECT_EQ("release shift", tool.NextLine(5s));
  ASSERT_TRUE(tool.WaitForError("jskeys: the line to COM3 went down", 5s)) << tool.Errors();
  sim.Stop();
  ASSERT_TRUE(StartSim(error)) << error;
  ASSERT_TRUE(sim.WaitUntil([&](const Bytes&) { return sim.StatusRequestsReceived() > 0; }, 10s));
  std::this_thread::sleep_for(500ms);  // the handshake ends and the loop takes the new link
  ASSERT_TRUE(sim.Send(Bytes{0x40}));
  EXPECT_EQ("tap space", tool.NextLine(5s));
  EXPECT_EQ(0, tool.Stop(SIGINT, 2s));
}

}  // namespace

namespace {

using namespace jskeys_test;

// A consumer that stops reading holds the dry run up; the changes meanwhile overflow the link's
// queue. Once it reads again, what was lost is made good from the state: the held key that went
// up is released. A hang-up in such a stall, its own change lost too, is noticed all the same.
TEST_F(ToolTest, AStalledConsumerLeavesNothingHeldAndHearsTheHangUp) {
  std::string error;
  ASSERT_TRUE(StartSim(error)) << error;
  StartTool({"--config", Path("keys.toml"), "--dry-run", "--port", "3"});
  ASSERT_TRUE(tool.WaitForError("jskeys: controller on COM3", 10s)) << tool.Errors();
  auto jog = [](int messages, std::uint8_t steps) {
    Bytes bytes;
    for (int i = 0; i < messages; ++i) bytes.insert(bytes.end(), {0x80, steps});
    return bytes;
  };
  const Bytes stall = jog(80, 0x7F);  // 10,160 lines: more than the pipe holds
  const Bytes flood = jog(3000, 0x01);
  ASSERT_TRUE(sim.Send(stall));
  ASSERT_TRUE(sim.Send(Bytes{0x41}));  // shift held...
  ASSERT_TRUE(sim.Send(flood));
  ASSERT_TRUE(sim.Send(Bytes{0x61}));  // ...and let go while nobody reads
  ASSERT_TRUE(sim.Send(flood));
  ASSERT_TRUE(tool.WaitForOutput("release shift", 30s)) << tool.Errors();
  const std::string& out = tool.Output();
  EXPECT_LT(out.find("press shift"), out.find("release shift"));
  EXPECT_TRUE(tool.WaitForError("changes of the controller came faster", 10s)) << tool.Errors();

  ASSERT_TRUE(sim.Send(stall));
  ASSERT_TRUE(sim.Send(flood));
  std::this_thread::sleep_for(300ms);
  sim.HangUp();
  const std::string down = "jskeys: the line to COM3 went down";
  for (int i = 0; i < 60 && tool.Errors().find(down) == std::string::npos; ++i) {
    (void)tool.RestOfOutput(500ms);  // reading again
  }
  EXPECT_NE(std::string::npos, tool.Errors().find(down)) << tool.Errors();
  EXPECT_EQ(0, tool.Stop(SIGINT, 5s));
}

// `jskeys --dry-run | head -2`: the reader has gone, and so does jskeys, without a key more.
TEST_F(ToolTest, TheDryRunEndsWhenItsReaderHasGone) {
  std::string error;
  ASSERT_TRUE(StartSim(error)) << error;
  StartTool({"--config", Path("keys.toml"), "--dry-run"});
  ASSERT_TRUE(tool.WaitForError("jskeys: controller on COM3", 10s)) << tool.Errors();
  ASSERT_TRUE(sim.Send(Bytes{0x40, 0x60, 0x40, 0x60}));
  EXPECT_EQ("tap space", tool.NextLine(5s));
  tool.CloseOutput();
  EXPECT_EQ(1, tool.WaitForExit(10s)) << tool.Errors();
  EXPECT_NE(std::string::npos, tool.Errors().find("jskeys: standard output went away"));
}

TEST_F(ToolTest, WithNoWindowSystemToAskItSaysSoOnceAndTheDefaultApplies) {
  std::string error;
  ASSERT_TRUE(StartSim(error)) << error;
  StartTool({"--config", Path("keys.toml"), "--dry-run"});  // no DISPLAY, no WAYLAND_DISPLAY
  ASSERT_TRUE(tool.WaitForError("jskeys: controller on COM3", 10s)) << tool.Errors();
  ASSERT_TRUE(sim.Send(Bytes{0x40}));
  EXPECT_EQ("tap space", tool.NextLine(5s));  // the section of class "Other" would send Return
  EXPECT_EQ(0, tool.Stop(SIGINT, 5s));
  const std::string said = "jskeys: cannot tell the focused window: no Wayland display "
                           "(WAYLAND_DISPLAY is not set); cannot open the X display ''; the "
                           "[default] section applies\n";
  const std::string text = tool.Errors();
  ASSERT_NE(std::string::npos, text.find(said)) << text;
  EXPECT_EQ(std::string::npos, text.find(said, text.find(said) + 1));
}

}  // namespace
