// The link and the device it leaves behind: line settings given back, standard streams left
// alone, the line going down, and the receive tap.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "LinkFixture.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

class Line : public LinkFixture {
 protected:
  // The device's settings as another program opening it sees them.
  bool ReadSettings(termios& settings) {
    jsposix::UniqueFd fd(::open(PortPath(1).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    return fd.valid() && tcgetattr(fd.get(), &settings) == 0;
  }
  bool WriteSettings(const termios& settings) {
    jsposix::UniqueFd fd(::open(PortPath(1).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    return fd.valid() && tcsetattr(fd.get(), TCSANOW, &settings) == 0;
  }
};

void ExpectSameLine(const termios& expected, const termios& actual) {
  EXPECT_EQ(expected.c_iflag, actual.c_iflag);
  EXPECT_EQ(expected.c_oflag, actual.c_oflag);
  EXPECT_EQ(expected.c_cflag, actual.c_cflag);
  EXPECT_EQ(expected.c_lflag, actual.c_lflag);
  EXPECT_EQ(0, std::memcmp(expected.c_cc, actual.c_cc, sizeof expected.c_cc));
  EXPECT_EQ(cfgetispeed(&expected), cfgetispeed(&actual));
  EXPECT_EQ(cfgetospeed(&expected), cfgetospeed(&actual));
}

TEST_F(Line, CloseGivesTheLineBackAsItWasFound) {
  StartSim();
  // A cooked line at another speed, as a terminal program may have left it.
  termios cooked{};
  ASSERT_TRUE(ReadSettings(cooked));
  cooked.c_lflag |= ECHO | ICANON | ISIG;
  cooked.c_iflag |= ICRNL | IXON;
  cooked.c_oflag |= OPOST | ONLCR;
  cooked.c_cflag = (cooked.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB;
  cooked.c_cc[VMIN] = 1;
  cfsetispeed(&cooked, B9600);
  cfsetospeed(&cooked, B9600);
  ASSERT_TRUE(WriteSettings(cooked));
  termios before{};
  ASSERT_TRUE(ReadSettings(before));

  for (int round = 0; round < 2; ++round) {
    SerialJS link(1);
    ASSERT_TRUE(link.Open());
    termios during{};
    ASSERT_TRUE(ReadSettings(during));
    EXPECT_EQ(0u, during.c_lflag & (ECHO | ICANON | ISIG));  // raw while the link has it
    EXPECT_EQ(B19200, cfgetospeed(&during));
    link.Close();
    termios after{};
    ASSERT_TRUE(ReadSettings(after));
    ExpectSameLine(before, after);
  }
}

// Runs the helper with the given standard streams closed; its exit status.
int RunHelperWithClosed(std::initializer_list<int> closed) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd : closed) posix_spawn_file_actions_addclose(&actions, fd);
  char path[] = JS_FD_HELPER;
  char* argv[] = {path, nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, path, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(Line, NoFdOfTheLinkTakesAClosedStandardStream) {
  struct Case {
    const char* name;
    std::initializer_list<int> closed;
  };
  const Case cases[] = {
      // The port would be fd 2, and every log line would go down the line.
      {"standard error", {2}},
      {"all three", {0, 1, 2}},
      {"input and output", {0, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StartSim();
    EXPECT_EQ(0, RunHelperWithClosed(c.closed)) << "20: no controller; 1x: fds 0-2 taken";
    // The controller heard nothing but commands: resets and status requests.
    const Bytes received = sim.Received();
    EXPECT_FALSE(received.empty());
    for (std::uint8_t byte : received) {
      EXPECT_TRUE(byte == 0x43 || byte == 0x40 || byte == 0x41 || byte == 0x42)
          << "byte " << static_cast<int>(byte);
    }
    // The handshake's; the helper's own reset may be discarded by Close's purge, as on any line.
    EXPECT_GE(sim.ResetsReceived(), 1u);
    sim.Stop();
  }
}

TEST_F(Line, HangUpTakesTheLineDownAndWakesTheWaiterOnce) {
  StartSim();
  SerialJS link(1);
  ASSERT_TRUE(link.Open());
  EXPECT_TRUE(link.IsLineUp());
  EXPECT_FALSE(link.WaitForInput(0));

  std::thread unplug([&] {
    std::this_thread::sleep_for(100ms);
    sim.HangUp();
  });
  const bool woke = link.WaitForInput(10000);
  unplug.join();
  EXPECT_TRUE(woke);
  EXPECT_FALSE(link.IsLineUp());
  // The reader goes on logging and pausing, but the event is not set again.
  ASSERT_TRUE(WaitForLineCount(3, kHangUpLine));
  EXPECT_FALSE(link.WaitForInput(0));
  EXPECT_FALSE(link.IsLineUp());
  link.Close();
  EXPECT_FALSE(link.IsLineUp());

  sim.Stop();
  StartSim();
  SerialJS fresh(1);
  ASSERT_TRUE(fresh.Open());
  EXPECT_TRUE(fresh.IsLineUp());
  // And the same object opened again is up again.
  fresh.Close();
  ASSERT_TRUE(link.Open());
  EXPECT_TRUE(link.IsLineUp());
}

TEST_F(Line, TheTapSeesEveryByteInOrderBeforeItIsDecoded) {
  struct Seen {
    std::mutex lock;
    SerialJS* link = nullptr;
    std::vector<Bytes> chunks;
    std::vector<std::uint32_t> heldWhenSeen;
  } seen;
  auto tap = [](void* context, const std::uint8_t* bytes, std::uint32_t count) {
    auto* s = static_cast<Seen*>(context);
    std::lock_guard<std::mutex> guard(s->lock);
    s->chunks.emplace_back(bytes, bytes + count);
    s->heldWhenSeen.push_back(s->link->State().heldKeys);
  };
  auto chunks = [&] {
    std::lock_guard<std::mutex> guard(seen.lock);
    return seen.chunks;
  };

  StartSim();
  SerialJS link(1);
  seen.link = &link;
  link.SetReceiveTap(tap, &seen);
  ASSERT_TRUE(link.Open());
  // Let the last status replies of the handshake come in; they are tapped too.
  std::size_t settled = 0;
  for (int i = 0; i < 100 && (settled == 0 || settled != chunks().size()); ++i) {
    settled = chunks().size();
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_GE(settled, 1u);
  (void)link.WaitForInput(0);

  // One press on its own: the tap sees it before the decoder holds the key.
  ASSERT_TRUE(sim.Send(Bytes{0x40}));
  ASSERT_TRUE(link.WaitForInput(10000));
  {
    std::lock_guard<std::mutex> guard(seen.lock);
    ASSERT_EQ(settled + 1, seen.chunks.size());
    EXPECT_EQ(Bytes{0x40}, seen.chunks.back());
    EXPECT_EQ(0u, seen.heldWhenSeen.back());
  }

  // Then a stream in pieces of every size; it comes out of the tap whole and in order.
  Bytes sent = {0x40};
  Bytes stream;
  for (int i = 0; i < 500; ++i) {
    stream.push_back(static_cast<std::uint8_t>(0x60 + i % 9));
    stream.push_back(static_cast<std::uint8_t>(0x40 + (i + 1) % 9));
  }
  for (std::size_t at = 0, piece = 1; at < stream.size(); at += piece, piece = piece % 37 + 1) {
    const std::size_t n = std::min(piece, stream.size() - at);
    ASSERT_TRUE(sim.Send(std::span<const std::uint8_t>(stream.data() + at, n)));
  }
  sent.insert(sent.end(), stream.begin(), stream.end());
  Bytes tapped;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    tapped.clear();
    const std::vector<Bytes> all = chunks();
    for (std::size_t i = settled; i < all.size(); ++i) {
      EXPECT_FALSE(all[i].empty());
      EXPECT_LE(all[i].size(), 255u);
      tapped.insert(tapped.end(), all[i].begin(), all[i].end());
    }
    if (tapped.size() >= sent.size()) break;
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(sent, tapped);
  link.Close();
}

}  // namespace
