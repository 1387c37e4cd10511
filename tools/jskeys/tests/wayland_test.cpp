// End to end under a headless sway: a simulated controller, jskeys sending through the Wayland
// virtual keyboard and pointer, and wev printing what it receives.

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "SharedSession.h"
#include "SwaySession.h"
#include "ToolFixture.h"

namespace {

using namespace jskeys_test;
using Events = std::vector<std::string>;

// sway's IPC, kept open: commands at 100 Hz, where swaymsg would start a process for each.
class SwayIpc {
 public:
  bool Connect(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    socket_.Reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return socket_.valid() &&
           connect(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  }

  // A command (i3-ipc RUN_COMMAND); true when sway carried it out.
  bool Run(const std::string& command) {
    const std::uint32_t header[2] = {static_cast<std::uint32_t>(command.size()), 0};
    std::string message = "i3-ipc";
    message.append(reinterpret_cast<const char*>(header), sizeof header);
    message += command;
    std::string reply;
    if (write(socket_.get(), message.data(), message.size()) !=
            static_cast<ssize_t>(message.size()) ||
        !Read(14, reply)) {
      return false;
    }
    std::uint32_t length = 0;
    std::memcpy(&length, reply.data() + 6, sizeof length);
    return Read(length, reply) && reply.find("\"success\": true") != std::string::npos;
  }

 private:
  bool Read(std::size_t count, std::string& into) {
    into.clear();
    while (into.size() < count) {
      pollfd ready = {socket_.get(), POLLIN, 0};
      char buffer[4096];
      if (poll(&ready, 1, 5000) <= 0) return false;
      const ssize_t got = read(socket_.get(), buffer, std::min(sizeof buffer, count - into.size()));
      if (got <= 0) return false;
      into.append(buffer, static_cast<std::size_t>(got));
    }
    return true;
  }

  jsposix::UniqueFd socket_;
};

const std::string kMap = TestMap(R"(
1 = { send = "button1", hold = true }
3 = "ctrl+wheel_up"
4 = "wheel_right"
7 = "space"
8 = "space"
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
[[application]]
title = "^Notes$"
[application.keys]
7 = "n"
8 = "n"
)");

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
  // (the new keyboard's keymap and modifier state). A jog step (`probe`, which ends in `last`
  // at wev), as no later press can merge with it.
  void StartKeys(const Bytes& probe = {0x80, 0xFF}, const std::string& last = "up Left") {
    StartTool({"--config", Path("wayland.toml"), "--backend", "wayland"},
              sway_.ClientEnvironment());
    ASSERT_TRUE(tool.WaitForError("jskeys: controller on COM3", 10s)) << tool.Errors();
    EXPECT_TRUE(tool.WaitForError("jskeys: keys go out through the Wayland virtual keyboard", 1s));
    ASSERT_TRUE(sim.Send(probe));
    Events seen;
    while (seen.empty() || seen.back() != last) {
      seen = wev_->Take(1, 10s);
      ASSERT_FALSE(seen.empty()) << "wev got no stroke: " << tool.Errors();
    }
  }

  Events Play(const Bytes& bytes, std::size_t expected) {
    EXPECT_TRUE(sim.Send(bytes));
    return wev_->Take(expected, 5s);
  }

  SwaySession& sway_ = SwaySession::Shared();  // one sway for the tests, fresh clients for each
  std::unique_ptr<WevLog> wev_;
};

// The session every way of sending keys plays alike (SharedSession.h), as wev receives it.
TEST_F(Wayland, TheSharedSessionAsWevReceivesIt) {
  WriteFile("wayland.toml", kSessionMap);
  StartKeys({0x80, 0x01}, "up Right");
  for (const SessionStep& step : kSessionSteps) {
    Events expected;
    for (const std::string& action : step.actions) {
      for (const std::string& event : WaylandEvents(action)) expected.push_back(event);
    }
    EXPECT_EQ(expected, Play(step.bytes, expected.size())) << step.actions.size();
  }
  EXPECT_EQ(Events{}, wev_->Take(1, 300ms));  // nothing more than that
  EXPECT_EQ(0, tool.Stop(SIGINT, 5s));
}

TEST_F(Wayland, TheShuttleRepeatsAndAHeldButtonIsLetGoAtTheEnd) {
  StartKeys();

  // The shuttle out to +1 repeats "l" every 200 ms; back at 0 it stops.
  ASSERT_TRUE(sim.Send(Bytes{0x81, 0x00, 0x01}));
  EXPECT_EQ((Events{"down l", "up l", "down l", "up l", "down l", "up l"}), wev_->Take(6, 5s));
  ASSERT_TRUE(sim.Send(Bytes{0x81, 0x00, 0x00}));
  Events after = wev_->Take(2, 600ms);
  if (after == Events{"down l", "up l"}) after = wev_->Take(1, 600ms);  // one in flight
  EXPECT_EQ(Events{}, after);

  // A button held when jskeys ends is let go, even by a compositor that reads nothing until
  // jskeys would have gone: it drops what it has not read of a client that hung up.
  EXPECT_EQ(Events{"press left"}, Play({0x41}, 1));
  sway_.Hold(true);
  tool.Signal(SIGINT);
  std::this_thread::sleep_for(50ms);
  sway_.Hold(false);
  EXPECT_EQ(0, tool.WaitForExit(5s)) << tool.Errors();
  EXPECT_EQ(Events{"release left"}, wev_->Take(1, 2s));
}

// Keys cannot outlive their compositor: jskeys says so and ends, rather than type into nothing.
TEST_F(Wayland, EndsWhenItsCompositorGoes) {
  StartKeys();
  sway_.Stop();  // wholly gone, so that the next test starts a sway of its own
  ASSERT_TRUE(sim.Send(Bytes{0x41, 0x61}));
  EXPECT_EQ(1, tool.WaitForExit(10s)) << tool.Errors();
  EXPECT_NE(std::string::npos, tool.Errors().find("the Wayland compositor went away"))
      << tool.Errors();
}

// A map edited while jskeys runs takes effect from the next key; a broken edit is refused, with
// its place and reason, and the map in force stays.
TEST_F(Wayland, AnEditedMapTakesEffectAndABrokenOneIsRefused) {
  StartKeys();
  struct Edit {
    std::string text;
    const char* said;
    Events events;  // for key 0
  };
  const Edit edits[] = {
      {"[default.keys]\n0 = \"Tab\"\n", "jskeys: map read again", {"down Tab", "up Tab"}},
      {"[default.keys]\n0 = \"Tab\"\n1 = \"no such key\"\n",
       "wayland.toml:3:5: unknown key name 'no such key' (the map in force stays)",
       {"down Tab", "up Tab"}},
  };
  for (const Edit& edit : edits) {
    SCOPED_TRACE(edit.said);
    const std::size_t before = tool.Errors().size();
    WriteFile("wayland.toml", edit.text);
    for (auto deadline = std::chrono::steady_clock::now() + 5s;
         tool.Errors().find(edit.said, before) == std::string::npos &&
         std::chrono::steady_clock::now() < deadline;) {
      std::this_thread::sleep_for(20ms);
    }
    EXPECT_NE(std::string::npos, tool.Errors().find(edit.said, before)) << tool.Errors();
    EXPECT_EQ(edit.events, Play({0x40}, edit.events.size()));
    EXPECT_TRUE(sim.Send(Bytes{0x60}));
  }
}

// The map's section follows the focused window: by its app_id ("other"), and by its title
// ("Notes", a window whose app_id no section names).
TEST_F(Wayland, TheMapSectionFollowsTheFocusedAppIdAndTitle) {
  const std::string foot = FindProgram("foot");
  if (foot.empty()) GTEST_SKIP() << "foot is not installed (Debian package foot)";
  // Clients of other app_ids, whose terminals write down what they are typed.
  const std::string typed[] = {sway_.Path("typed-other"), sway_.Path("typed-notes")};
  ASSERT_TRUE(
      sway_.Exec("foot --app-id=other sh -c 'stty raw -echo; exec cat > " + typed[0] + "'"));
  ASSERT_TRUE(sway_.Exec("foot --app-id=notes --title=Notes sh -c 'stty raw -echo; exec cat > " +
                         typed[1] + "'"));
  ASSERT_TRUE(sway_.Focus("other"));
  ASSERT_TRUE(sway_.Focus("notes"));
  ASSERT_TRUE(sway_.Focus("wev"));
  StartKeys();

  // Keys 7 and 8 by turns: a key's release is surely seen before it is pressed again, because
  // the other key's press came in between and was seen.
  struct Step {
    const char* focus;
    std::uint8_t key;
    Events atWev;
    std::string typedInOther, typedInNotes;
  };
  const Step steps[] = {
      {"other", 7, {}, "b", ""},
      {"wev", 8, {"mods none", "down space", "up space"}, "b", ""},  // wev's keyboard enter
      {"notes", 7, {}, "b", "n"},
      {"other", 8, {}, "bb", "n"},
      {"notes", 7, {}, "bb", "nn"},
      {"wev", 8, {"mods none", "down space", "up space"}, "bb", "nn"},
  };
  auto read = [](const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(std::string("focus on ") + step.focus);
    ASSERT_TRUE(sway_.Focus(step.focus));
    EXPECT_EQ(step.atWev, Play({static_cast<std::uint8_t>(0x40 | step.key)}, step.atWev.size()));
    for (auto deadline = std::chrono::steady_clock::now() + 5s;
         (read(typed[0]) != step.typedInOther || read(typed[1]) != step.typedInNotes) &&
         std::chrono::steady_clock::now() < deadline;) {
      std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(step.typedInOther, read(typed[0]));
    EXPECT_EQ(step.typedInNotes, read(typed[1]));
    EXPECT_EQ(Events{}, wev_->Take(1, 200ms));
    EXPECT_TRUE(sim.Send(Bytes{static_cast<std::uint8_t>(0x60 | step.key)}));
  }
}

// The focus flips between two windows and their 900-character titles change, 100 times a second
// each, while the controller is idle: jskeys reads what sway tells as it comes, so that sway
// neither stops telling it (its socket towards jskeys holds some 70 KB) nor drops it, and the
// next keys follow the window focused last. One window's app_id has a section of its own
// ("other": key 7 is "b"); wev's has none (key 7 is "space").
TEST_F(Wayland, KeepsUpWithFocusAndTitleChangesWhileTheControllerIsIdle) {
  constexpr auto kStorm = 60s;
  if (FindProgram("foot").empty()) GTEST_SKIP() << "foot is not installed (Debian package foot)";
  // Each window shows what the test appends to its file: the escapes that set its title.
  const std::string names[] = {"other", "storm"};
  std::ofstream titles[2];
  for (int i = 0; i < 2; ++i) {
    const std::string file = sway_.Path(names[i]);
    titles[i].open(file);
    ASSERT_TRUE(sway_.Exec("foot --app-id=" + names[i] + " tail -f -c +1 " + file));
    ASSERT_TRUE(sway_.Focus(names[i]));
  }
  ASSERT_TRUE(sway_.Focus("wev"));
  StartKeys();

  SwayIpc ipc;
  ASSERT_TRUE(ipc.Connect(sway_.IpcSocket()));
  const std::string title(900, 't');
  const auto end = std::chrono::steady_clock::now() + kStorm;
  int turn = 0;
  for (auto next = std::chrono::steady_clock::now(); next < end; ++turn) {
    const int window = turn % 2;
    ASSERT_TRUE(ipc.Run("[app_id=\"" + names[window] + "\"] focus")) << turn;
    titles[window] << "\033]2;" << title << turn << "\007" << std::flush;
    next = std::max(next + 10ms, std::chrono::steady_clock::now());
    std::this_thread::sleep_until(next);
  }
  ASSERT_TRUE(ipc.Run("[app_id=\"other\"] focus"));  // the last focus jskeys heard of, if stale
  ASSERT_TRUE(sway_.Focus("wev"));

  // Two taps: sway passes on the first keys of a client it has given up on before it drops it.
  for (int tap = 0; tap < 2; ++tap) {
    SCOPED_TRACE(tap);
    Events seen = Play({0x47}, tap == 0 ? 3 : 2);
    std::erase(seen, "mods none");  // wev's keyboard enter
    EXPECT_EQ((Events{"down space", "up space"}), seen)
        << turn << " changes; jskeys said: " << tool.Errors();
    ASSERT_TRUE(sim.Send(Bytes{0x67}));
  }
  EXPECT_EQ(0, tool.Stop(SIGINT, 5s)) << tool.Errors();
  // What following the storm cost, for the record (not a bound: the machine may be busy).
  std::printf("jskeys: %.2f s of CPU over %d focus and title changes in %lld s\n",
              tool.CpuSeconds(), turn, static_cast<long long>(kStorm.count()));
}

// 80 jog messages of 127 steps in one burst, forward and back by turns: 10,160 taps, far more
// than libwayland's buffer and the socket hold at once, all reach wev whole and in order, at a
// pace wev keeps up with (sway drops a client that falls far behind), and jskeys goes on.
TEST_F(Wayland, ABurstOfTenThousandTapsArrivesWholeAndInOrder) {
  WriteFile("wayland.toml", "[default.jog]\nforward = \"a\"\nback = \"b\"\n");
  StartKeys({0x80, 0xFF}, "up b");
  Bytes burst;
  Events expected;
  for (int i = 0; i < 40; ++i) {
    burst.insert(burst.end(), {0x80, 0x7F, 0x80, 0x81});  // jog +127, jog -127
    for (const char* key : {"a", "b"}) {
      for (int step = 0; step < 127; ++step) {
        expected.push_back(std::string("down ") + key);
        expected.push_back(std::string("up ") + key);
      }
    }
  }
  ASSERT_TRUE(sim.Send(burst));
  // About 10 s on an idle machine (the pace is 1,000 taps a second); far longer beside builds.
  const Events seen = wev_->Take(expected.size(), 240s);
  std::size_t same = 0;
  while (same < seen.size() && seen[same] == expected[same]) ++same;
  EXPECT_EQ(expected.size(), same) << "wev got " << seen.size() << " events"
                                   << (same < seen.size() ? ", out of order: " + seen[same] : "")
                                   << "; jskeys said: " << tool.Errors();
  EXPECT_EQ(Events{}, wev_->Take(1, 300ms));
  EXPECT_EQ(0, tool.Stop(SIGINT, 5s)) << tool.Errors();
}

}  // namespace
