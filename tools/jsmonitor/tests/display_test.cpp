// jsmonitor's status line on a terminal of a given width, and again after the terminal is
// resized: a pseudo-terminal stands for it.

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "Display.h"
#include "UniqueFd.h"

namespace {

using namespace std::chrono_literals;

// 75 characters, wider than every terminal below.
const std::string kWide =
    "held [K0 K1 K2 K3 K4 K5 K6]  K [K0 K1 K2 K3 K4 K6]  S []  C []  SC []  jog";

class Terminal : public ::testing::Test {
 protected:
  void SetUp() override {
    int master = -1;
    int slave = -1;
    ASSERT_EQ(0, ::openpty(&master, &slave, nullptr, nullptr, nullptr)) << std::strerror(errno);
    master_.Reset(master);
    slave_.Reset(slave);
    termios raw{};
    ASSERT_EQ(0, ::tcgetattr(slave, &raw));
    ::cfmakeraw(&raw);  // the bytes as written, no line feeds turned into CR LF
    ASSERT_EQ(0, ::tcsetattr(slave, TCSANOW, &raw));
  }

  void SetColumns(unsigned short columns) {
    winsize size{};
    size.ws_row = 24;
    size.ws_col = columns;
    ASSERT_EQ(0, ::ioctl(master_.get(), TIOCSWINSZ, &size));
  }

  // What the terminal was sent, once `expected` bytes have come (or the patience ran out).
  std::string Screen(std::size_t expected) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (got.size() < expected && std::chrono::steady_clock::now() < end) {
      pollfd in = {master_.get(), POLLIN, 0};
      if (::poll(&in, 1, 100) != 1) continue;
      char bytes[256];
      const ssize_t n = ::read(master_.get(), bytes, sizeof bytes);
      if (n > 0) got.append(bytes, static_cast<std::size_t>(n));
    }
    return got;
  }

  static bool Ready(std::intptr_t fd, std::chrono::milliseconds wait) {
    pollfd in = {static_cast<int>(fd), POLLIN, 0};
    return ::poll(&in, 1, static_cast<int>(wait.count())) == 1;
  }

  jsposix::UniqueFd master_;
  jsposix::UniqueFd slave_;
};

TEST_F(Terminal, StatusLineCutToTheWidthAndAgainAfterAResize) {
  SetColumns(40);
  Display out(slave_.get(), true, [] { return false; });
  ASSERT_TRUE(out.Status(kWide));
  const std::string at40 = "\r" + kWide.substr(0, 38) + ">\x1b[K";
  EXPECT_EQ(at40, Screen(at40.size())) << "a line wider than the terminal wraps and leaves a row";

  SetColumns(60);
  ASSERT_NE(-1, out.ResizeSignal());
  EXPECT_FALSE(Ready(out.ResizeSignal(), 0ms)) << "ready with no resize";
  ASSERT_EQ(0, ::kill(::getpid(), SIGWINCH));
  ASSERT_TRUE(Ready(out.ResizeSignal(), 5000ms)) << "SIGWINCH did not wake a waiting loop";
  out.Resized();
  const std::string at60 = "\r" + kWide.substr(0, 58) + ">\x1b[K";
  EXPECT_EQ(at60, Screen(at60.size())) << "the line is drawn again for the new width";
  EXPECT_FALSE(Ready(out.ResizeSignal(), 0ms)) << "the resize was not taken";

  // Wide enough again: the line whole.
  SetColumns(120);
  ASSERT_EQ(0, ::kill(::getpid(), SIGWINCH));
  ASSERT_TRUE(Ready(out.ResizeSignal(), 5000ms));
  out.Resized();
  const std::string whole = "\r" + kWide + "\x1b[K";
  EXPECT_EQ(whole, Screen(whole.size()));
}

TEST(Display, PipedStatusLinesAreNeverCut) {
  int ends[2];
  ASSERT_EQ(0, ::pipe(ends));
  jsposix::UniqueFd read(ends[0]);
  jsposix::UniqueFd write(ends[1]);
  Display out(write.get(), false, [] { return false; });
  EXPECT_EQ(-1, out.ResizeSignal());
  ASSERT_TRUE(out.Status(kWide));
  std::string got(kWide.size() + 1, '\0');
  ASSERT_EQ(static_cast<ssize_t>(got.size()), ::read(read.get(), got.data(), got.size()));
  EXPECT_EQ(kWide + "\n", got);
}

}  // namespace
