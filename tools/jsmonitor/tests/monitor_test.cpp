// jsmonitor: its command line, its state line, and the real binary against a simulator.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "ControllerSim.h"
#include "MonitorOptions.h"
#include "StateLine.h"
#include "TempDir.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

TEST(MonitorOptions, Accepted) {
  struct Case {
    std::vector<std::string> arguments;
    std::uint32_t port, s, c;
    bool reset;
  };
  const Case cases[] = {
      {{}, 0, 0, 0, false},
      {{"--port", "3"}, 3, 0, 0, false},
      {{"--port=12", "--reset"}, 12, 0, 0, true},
      {{"--s-modifiers", "0x40", "--c-modifiers=128"}, 0, 0x40, 0x80, false},
      {{"--s-modifiers", "0xFFFFFFFF"}, 0, 0xFFFFFFFF, 0, false},
  };
  for (const Case& c : cases) {
    MonitorOptions options;
    std::string error;
    ASSERT_TRUE(ParseMonitorOptions(c.arguments, options, error)) << error;
    EXPECT_EQ(c.port, options.port);
    EXPECT_EQ(c.s, options.sModifiers);
    EXPECT_EQ(c.c, options.cModifiers);
    EXPECT_EQ(c.reset, options.reset);
  }
}

TEST(MonitorOptions, Refused) {
  const std::vector<std::vector<std::string>> cases = {
      {"--port"},         {"--port", "0"},          {"--port", "-1"},
      {"--port", "x"},    {"--s-modifiers", "0x1FFFFFFFF"}, {"--c-modifiers", ""},
      {"--reset=yes"},    {"COM3"},                 {"--port", "3abc"},
  };
  for (const auto& arguments : cases) {
    MonitorOptions options;
    std::string error;
    EXPECT_FALSE(ParseMonitorOptions(arguments, options, error)) << arguments[0];
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

TEST(StateLine, StatusAloneIsNotAChangeToShow) {
  JogShuttleState a{};
  JogShuttleState b{};
  b.statusC0 = 5;
  EXPECT_TRUE(SameShown(a, b));
  b.cKeys = 0x100;
  EXPECT_FALSE(SameShown(a, b));
}

// The real binary, its standard output read line by line as it comes.
class Monitor : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Made());
    ASSERT_EQ(0, setenv("JS_PORT_DIR", dir_.path().c_str(), 1));  // for the test's own links
  }
  void TearDown() override {
    if (child_ > 0) {
      kill(child_, SIGKILL);
      waitpid(child_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    sim.Stop();
  }

  void Start(const std::vector<std::string>& arguments) {
    std::vector<std::string> words = {JSMONITOR_PATH};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::string portDir = "JS_PORT_DIR=" + dir_.path();
    std::vector<char*> envp = {portDir.data(), nullptr};
    int fds[2];
    ASSERT_EQ(0, pipe2(fds, O_CLOEXEC));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    const std::string errors = dir_ / "stderr.txt";
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_EQ(0, posix_spawn(&child_, argv[0], &actions, nullptr, argv.data(), envp.data()));
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    out_ = fds[0];
  }

  // The next line of standard output, or "" when none comes in time.
  std::string NextLine(std::chrono::milliseconds timeout = 5000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (const std::size_t end = pending_.find('\n'); end != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return "";
      pollfd fd = {out_, POLLIN, 0};
      if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[512];
      const ssize_t got = read(out_, buffer, sizeof buffer);
      if (got <= 0) return "";
      pending_.append(buffer, static_cast<std::size_t>(got));
    }
  }

  // Sends SIGINT and returns the exit status, or -1 when it did not end within a second.
  int Interrupt() {
    kill(child_, SIGINT);
    return WaitForExit(1500ms);  // a second, and slack
  }

  int WaitForExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (waitpid(child_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      std::this_thread::sleep_for(10ms);
    }
    child_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string Port(int n) const { return dir_ / ("com" + std::to_string(n)); }
  std::string StandardError() const {
    std::string text;
    if (FILE* file = std::fopen((dir_ / "stderr.txt").c_str(), "r")) {
      char buffer[4096];
      std::size_t got;
      while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
      std::fclose(file);
    }
    return text;
  }

  jssim::ControllerSim sim;

 private:
  jssim::TempDir dir_;
  pid_t child_ = -1;
  int out_ = -1;
  std::string pending_;
};

TEST_F(Monitor, ShowsAScriptedSessionInOrderAndEndsCleanly) {
  std::string error;
  ASSERT_TRUE(sim.Start(Port(2), {}, &error)) << error;
  Start({"--s-modifiers", "0x40", "--c-modifiers", "0x80"});
  ASSERT_EQ("jsmonitor: controller on COM2", NextLine());
  ASSERT_EQ("held []  K []  S []  C []  SC []  jog +0 -0  shuttle +0", NextLine());

  // Each step makes one reported change, so that no two can merge on screen.
  struct Step {
    Bytes bytes;
    const char* shown;
  };
  const Step steps[] = {
      {{0x40}, "held [K0]  K [K0]  S []  C []  SC []  jog +0 -0  shuttle +0"},
      {{0x60}, "held []  K []  S []  C []  SC []  jog +0 -0  shuttle +0"},
      {{0x80, 0x05}, "held []  K []  S []  C []  SC []  jog +5 -0  shuttle +0"},
      {{0x81, 0xFE, 0xF9}, "held []  K []  S []  C []  SC []  jog +5 -2  shuttle -7"},
      {{0x45, 0x41}, "held [K1 K5]  K []  S [K1]  C []  SC []  jog +5 -2  shuttle -7"},
      {{0x46, 0x42}, "held [K1 K2 K5 K6]  K []  S [K1]  C []  SC [K2]  jog +5 -2  shuttle -7"},
      // Modifiers released first: the key sets keep what was pressed under them.
      {{0x66, 0x65, 0x61}, "held [K2]  K []  S []  C []  SC [K2]  jog +5 -2  shuttle -7"},
      {{0x62}, "held []  K []  S []  C []  SC []  jog +5 -2  shuttle -7"},
  };
  for (const Step& step : steps) {
    ASSERT_TRUE(sim.Send(step.bytes));
    EXPECT_EQ(step.shown, NextLine());
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
  ASSERT_EQ("jsmonitor: controller on COM1", NextLine());
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
  EXPECT_EQ(56u, sim.StatusRequestsReceived());
}

}  // namespace
