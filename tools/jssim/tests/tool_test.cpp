// The jssim program as a test bench uses it: started, waited for, talked to, and stopped by a
// signal.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "TempDir.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

using jstesting::TempDir;
using jstesting::kPatience;

// jssim started with these arguments, standard output closed if asked (as a careless service
// manager might start it).
jstesting::ChildProcess Jssim(std::vector<std::string> args, bool closeStdout = false) {
  args.insert(args.begin(), JSSIM_PROGRAM);
  jstesting::ChildProcess tool;
  EXPECT_TRUE(tool.Start(args, {.closeDescriptors = closeStdout ? std::vector<int>{1}
                                                                 : std::vector<int>{}}));
  return tool;
}

// Reads what is there on a non-blocking fd, waiting up to `wait` for the first byte.
bool ReadSome(int fd, std::string& into, std::chrono::milliseconds wait) {
  pollfd p = {fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return false;
  char buffer[512];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n <= 0) return false;
  into.append(buffer, static_cast<std::size_t>(n));
  return true;
}

Bytes ReadBytes(int fd, std::size_t count) {
  std::string got;
  const auto deadline = Clock::now() + kPatience;
  while (got.size() < count && Clock::now() < deadline) ReadSome(fd, got, 100ms);
  return Bytes(got.begin(), got.end());
}

bool Exists(const std::string& path) {
  return std::filesystem::exists(std::filesystem::symlink_status(path));
}

bool WaitUntilGone(const std::string& path) {
  const auto deadline = Clock::now() + kPatience;
  while (Exists(path) && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
  return !Exists(path);
}

int OpenHost(const std::string& link) {
  return ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

TEST(Tool, PlaysTheScriptOnceAnsweredAndEndsCleanlyOnSigterm) {
  TempDir dir;
  const std::string link = dir / "com1";
  auto tool = Jssim({"--link", link, "--status", "0x0102,3,0x13", "--init", "JS", "--start-after-handshake",
             "--script", "tap 2; jogshuttle 1 -1"});
  ASSERT_TRUE(tool.Running());
  ASSERT_TRUE(tool.WaitForOutput("jssim: ready " + link + " -> /dev/pts/")) << tool.Output();
  const int host = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(host, 0);
  ASSERT_EQ(::write(host, "\x43", 1), 1);
  // Nothing of the script may come before the reply to the first request.
  EXPECT_EQ(ReadBytes(host, 4), (Bytes{0x82, 0x04, 'J', 'S'}));
  ASSERT_EQ(::write(host, "\x40\x41\x42", 3), 3);
  EXPECT_EQ(ReadBytes(host, 12),
            (Bytes{0xC0, 0x01, 0x02, 0xC1, 0x03, 0xC2, 0x13, 0x42, 0x62, 0x81, 0x01, 0xFF}));
  ASSERT_TRUE(tool.WaitForOutput("jssim: script done\n")) << tool.Output();
  tool.Signal(SIGTERM);
  EXPECT_EQ(tool.WaitForExit(), 0) << tool.Errors();
  ::close(host);
  EXPECT_FALSE(Exists(link));
  for (const char* line :
       {"jssim: received reset\n", "jssim: sent init \"JS\": 82 04 4a 53\n",
        "jssim: received get status (1)\n", "jssim: sent reply (1): c0 01 02 c1 03 c2 13\n",
        "jssim: sent press 2: 42\n", "jssim: sent jogshuttle 1 -1: 81 01 ff\n"}) {
    EXPECT_NE(tool.Output().find(line), std::string::npos) << line << "\nin:\n" << tool.Output();
  }
}

TEST(Tool, SigintEndsAWaitingScriptAtOnceAndQuietSaysOnlyReady) {
  TempDir dir;
  const std::string link = dir / "com1";
  auto tool = Jssim({"--link", link, "--quiet", "--script", "wait 600000; tap 1"});
  ASSERT_TRUE(tool.WaitForOutput("\n")) << tool.Errors();
  EXPECT_TRUE(Exists(link));
  const auto start = Clock::now();
  tool.Signal(SIGINT);
  EXPECT_EQ(tool.WaitForExit(), 0) << tool.Errors();
  EXPECT_LT(Clock::now() - start, kPatience);
  EXPECT_FALSE(Exists(link));
  EXPECT_EQ(tool.Output().rfind("jssim: ready ", 0), 0u) << tool.Output();
  EXPECT_EQ(tool.Output().find('\n'), tool.Output().size() - 1) << tool.Output();
}

// A bench that sets the simulator's sends against another clock reads the system clock's time
// of each report: right after the bytes went out, and never ahead of the clock.
TEST(Tool, TimestampsEndEachReportWithTheSystemClocksTime) {
  TempDir dir;
  const std::string link = dir / "com1";
  const auto before = std::chrono::system_clock::now();
  auto tool = Jssim({"--link", link, "--timestamps", "--script", "press 3"});
  ASSERT_TRUE(tool.WaitForOutput("jssim: script done @ ")) << tool.Output() << tool.Errors();
  const auto after = std::chrono::system_clock::now();
  tool.Signal(SIGTERM);
  EXPECT_EQ(tool.WaitForExit(), 0) << tool.Errors();
  const std::string sent = "jssim: sent press 3: 43 @ ";
  const std::size_t at = tool.Output().find(sent);
  ASSERT_NE(at, std::string::npos) << tool.Output();
  const std::string stamp =
      tool.Output().substr(at + sent.size(), tool.Output().find('\n', at) - at - sent.size());
  ASSERT_EQ(stamp.size(), stamp.find('.') + 7) << stamp << ": seconds and six digits";
  const auto micro =
      std::chrono::microseconds(std::stoll(stamp.substr(0, stamp.find('.'))) * 1000000 +
                                std::stoll(stamp.substr(stamp.find('.') + 1)));
  EXPECT_LE(std::chrono::floor<std::chrono::microseconds>(before.time_since_epoch()), micro);
  EXPECT_GE(std::chrono::ceil<std::chrono::microseconds>(after.time_since_epoch()), micro);
  EXPECT_EQ(tool.Output().rfind("jssim: ready " + link + " -> /dev/pts/", 0), 0u) << tool.Output();
}

TEST(Tool, ABadScriptEndsWithStatusTwoBeforeTheLineExists) {
  TempDir dir;
  const std::string link = dir / "com1";
  auto tool = Jssim({"--link", link, "--script", "tap 1\njog 300"});
  EXPECT_EQ(tool.WaitForExit(), 2);
  EXPECT_NE(tool.Errors().find("line 2: 'jog 300'"), std::string::npos) << tool.Errors();
  EXPECT_EQ(tool.Output(), "");
  EXPECT_FALSE(Exists(link));
}

// Whatever signal ends jssim, the link goes with it (SIGHUP: its terminal closed).
TEST(Tool, EverySignalThatEndsItRemovesTheLink) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    TempDir dir;
    const std::string link = dir / "com1";
    auto tool = Jssim({"--link", link, "--quiet"});
    ASSERT_TRUE(tool.WaitForOutput("jssim: ready ")) << tool.Errors();
    ASSERT_TRUE(Exists(link));
    tool.Signal(signal);
    EXPECT_EQ(tool.WaitForExit(), 0) << "signal " << signal << ": " << tool.Errors();
    EXPECT_FALSE(Exists(link)) << "signal " << signal;
  }
}

// A hang-up frees the slave's number for the next terminal: the link must not outlive it.
TEST(Tool, TheLinkGoesTheMomentTheLineHangsUp) {
  struct Case {
    std::vector<std::string> args;
    bool hostAsks;  // the hang-up follows a get-status request from the host
  };
  const Case cases[] = {
      {{"--script", "wait 50; hangup"}, false},
      {{"--hang-up-after", "1"}, true},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string link = dir / "com1";
    std::vector<std::string> args = {"--link", link};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto tool = Jssim(args);
    ASSERT_TRUE(tool.WaitForOutput("jssim: ready ")) << tool.Errors();
    const int host = OpenHost(link);
    ASSERT_GE(host, 0);
    if (c.hostAsks) {
      ASSERT_EQ(::write(host, "\x40\x41\x42", 3), 3);
    }
    EXPECT_TRUE(WaitUntilGone(link)) << c.args[0];
    EXPECT_TRUE(tool.WaitForOutput("hung up")) << tool.Output();
    pollfd p = {host, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 5000), 1);
    EXPECT_NE(p.revents & POLLHUP, 0) << "the host sees the line gone";
    ::close(host);
    tool.Signal(SIGTERM);
    EXPECT_EQ(tool.WaitForExit(), 0) << tool.Errors();
  }
}

TEST(Tool, RefusesALinkPathThatExistsAndLeavesItAlone) {
  TempDir dir;
  const std::string file = dir / "com1", other = dir / "com2";
  WriteFile(file, "mine");
  std::filesystem::create_symlink(file, other);
  for (const std::string& path : {file, other}) {
    auto tool = Jssim({"--link", path});
    EXPECT_EQ(tool.WaitForExit(), 1) << path;
    EXPECT_NE(tool.Errors().find("jssim: cannot link " + path + ": something is already there"),
              std::string::npos)
        << tool.Errors();
  }
  EXPECT_EQ(std::filesystem::read_symlink(other), file);
  std::ifstream in(file);
  std::string text;
  std::getline(in, text);
  EXPECT_EQ(text, "mine");
}

TEST(Tool, RefusesInputFilesThatAreNoSmallRegularFiles) {
  TempDir dir;
  const std::string big = dir / "big", fifo = dir / "fifo", good = dir / "good";
  WriteFile(big, std::string(1024 * 1024, '#') + "\n");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  WriteFile(good, std::string(1024 * 1024 - 6, '#') + "\ntap 1");  // exactly 1 MiB
  struct Case {
    const char* option;
    std::string file;
    std::string error;  // empty: accepted
  };
  const Case cases[] = {
      {"--script-file", dir.path(), "is a directory"},
      {"--script-file", "/dev/zero", "is not a regular file"},
      {"--script-file", fifo, "is not a regular file"},
      {"--script-file", big, "is larger than 1 MiB"},
      {"--script-file", dir / "missing", "cannot be opened: No such file or directory"},
      {"--replay", dir.path(), "is a directory"},
      {"--replay", "/dev/zero", "is not a regular file"},
      {"--replay", big, "is larger than 1 MiB"},
      {"--script-file", good, ""},
  };
  for (const Case& c : cases) {
    const std::string link = dir / "com1";
    auto tool = Jssim({"--link", link, "--quiet", c.option, c.file});
    if (c.error.empty()) {
      EXPECT_TRUE(tool.WaitForOutput("jssim: ready")) << tool.Errors();
      tool.Signal(SIGTERM);
      EXPECT_EQ(tool.WaitForExit(), 0) << tool.Errors();
      continue;
    }
    EXPECT_EQ(tool.WaitForExit(), 2) << c.option << " " << c.file;
    EXPECT_NE(tool.Errors().find(" " + c.file + " " + c.error + "\n"), std::string::npos)
        << c.option << " " << c.file << ": " << tool.Errors();
    EXPECT_FALSE(Exists(link));
  }
}

TEST(Tool, ABadRecordingOrSpeedIsRefusedBeforeTheLineExists) {
  TempDir dir;
  const std::string link = dir / "com1", recording = dir / "rec";
  WriteFile(recording, "# jogshuttle recording 1\n0 40\n20 60\n10 41\n");
  struct Case {
    std::vector<std::string> args;
    std::string error;
  };
  const Case cases[] = {
      {{"--replay", recording},
       "jssim: recording " + recording + ", line 4: time 10 is earlier than 20 on the line before"},
      {{"--replay", recording, "--replay-speed", "0"},
       "jssim: --replay-speed: '0' is not a speed (a decimal factor from 0.001 to 1000)"},
      {{"--replay", recording, "--replay-speed", "-2"},
       "jssim: --replay-speed: '-2' is not a speed (a decimal factor from 0.001 to 1000)"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--link", link};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto tool = Jssim(args);
    EXPECT_EQ(tool.WaitForExit(), 2);
    EXPECT_EQ(tool.Errors().rfind(c.error, 0), 0u) << tool.Errors();
    EXPECT_FALSE(Exists(link));
  }
}

// The recording starts once the first request is answered, in order and with its pauses. Its
// last line, cut short where the recorder stopped, is left out with a word on standard error.
TEST(Tool, ReplaysARecordingAfterTheHandshakeWithItsTiming) {
  TempDir dir;
  const std::string link = dir / "com1", recording = dir / "rec";
  WriteFile(recording, "# jogshuttle recording 1\n0 40\n200 60\n400 80 01\n600 8");
  auto tool = Jssim({"--link", link, "--replay", recording, "--replay-speed", "2"});
  ASSERT_TRUE(tool.WaitForOutput("jssim: ready ")) << tool.Errors();
  const int host = OpenHost(link);
  ASSERT_GE(host, 0);
  std::this_thread::sleep_for(100ms);
  ASSERT_EQ(::write(host, "\x40\x41\x42", 3), 3);
  const auto start = Clock::now();
  // The reply, then the recording: nothing of it before the reply. The reply and the recording's
  // first byte may well come in one read.
  EXPECT_EQ(ReadBytes(host, 11),
            (Bytes{0xC0, 0x00, 0x01, 0xC1, 0x00, 0xC2, 0x00, 0x40, 0x60, 0x80, 0x01}));
  // 400 ms at twice the speed: 200 ms at least, and nowhere near the unscaled 400 ms plus
  // a generous allowance for a busy machine.
  const auto took = Clock::now() - start;
  EXPECT_GE(took, 190ms);
  EXPECT_LT(took, 400ms + kPatience / 2);
  ASSERT_TRUE(tool.WaitForOutput("jssim: replay done\n")) << tool.Output();
  EXPECT_NE(tool.Output().find("jssim: sent recorded line 4: 80 01\n"), std::string::npos) << tool.Output();
  EXPECT_NE(tool.Errors().find("jssim: recording " + recording +
                               ", line 5 is cut short: playing the 3 recorded lines before it\n"),
            std::string::npos)
      << tool.Errors();
  ::close(host);
  tool.Signal(SIGTERM);
  EXPECT_EQ(tool.WaitForExit(), 0) << tool.Errors();
}

// Started with stdout closed, jssim must not report into the line it opens next.
TEST(Tool, AClosedStdoutNeverBecomesTheLine) {
  TempDir dir;
  const std::string link = dir / "com1";
  auto tool = Jssim({"--link", link}, true);
  const auto deadline = Clock::now() + kPatience;
  while (!Exists(link) && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
  const int host = OpenHost(link);
  ASSERT_GE(host, 0);
  ASSERT_EQ(::write(host, "\x43\x40\x41\x42", 4), 4);
  EXPECT_EQ(ReadBytes(host, 7), (Bytes{0xC0, 0x00, 0x01, 0xC1, 0x00, 0xC2, 0x00}));
  std::string more;
  EXPECT_FALSE(ReadSome(host, more, 200ms)) << "reports on the line: " << more;
  ::close(host);
  tool.Signal(SIGTERM);
  EXPECT_EQ(tool.WaitForExit(), 0) << tool.Errors();
}

}  // namespace
