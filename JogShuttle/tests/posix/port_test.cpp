// The POSIX port where the link's own tests cannot reach it: port names, and a write that
// signals interrupt while it waits for room on the line.

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "Platform.h"
#include "TempDir.h"
#include "UniqueFd.h"
#include "posix/PortNames.h"

namespace {

using namespace std::chrono_literals;
using js::sys::PortPath;

struct NameCase {
  const wchar_t* name;
  const char* portDir;  // nullptr: JS_PORT_DIR unset
  std::string path;     // empty: no such port
};

const NameCase kNameCases[] = {
    {L"COM1:", nullptr, "/dev/ttyS0"},
    {L"COM7:", nullptr, "/dev/ttyS6"},
    {L"com3", nullptr, "/dev/ttyS2"},
    {L"COM3:", "/tmp/ports", "/tmp/ports/com3"},
    {L"COM3:", "/tmp/ports/", "/tmp/ports/com3"},
    {L"COM12:", "ports", "ports/com12"},
    // Set but empty: no ports at all, never the current directory.
    {L"COM1:", "", ""},
    {L"COM7:", "", ""},
    {L"COM0:", nullptr, ""},
    {L"COM:", nullptr, ""},
    {L"COM1x", "/tmp", ""},
    {L"LPT1:", "/tmp", ""},
    {nullptr, "/tmp", ""},
};

TEST(PosixPortNames, EachNameHasItsPlace) {
  for (const NameCase& c : kNameCases) {
    SCOPED_TRACE(testing::Message() << (c.portDir ? c.portDir : "(unset)"));
    EXPECT_EQ(c.path, PortPath(c.name, c.portDir));
  }
}

TEST(PosixPortNames, AnEmptyPortDirectoryIsAMissingPort) {
  jssim::TempDir cwd;
  ASSERT_TRUE(cwd.Made());
  // A com1 in the current directory must not be taken for the port.
  const std::string previous = std::filesystem::current_path();
  std::filesystem::current_path(cwd.path());
  jssim::UniqueFd file(::open("com1", O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
  ASSERT_TRUE(file.valid());
  ASSERT_EQ(0, setenv("JS_PORT_DIR", "", 1));
  js::sys::Port port;
  EXPECT_EQ(static_cast<js::sys::ErrorCode>(ENOENT), port.Open(L"COM1:"));
  EXPECT_FALSE(port.IsOpen());
  unsetenv("JS_PORT_DIR");
  std::filesystem::current_path(previous);
}

// --- A write that signals interrupt ---

void Ignore(int) {}

struct WriteCase {
  const char* name;
  std::uint32_t timeoutMs;  // the write's whole time-out
  bool drain;               // the far end reads after the signals
};
void PrintTo(const WriteCase& c, std::ostream* out) { *out << c.name; }

const WriteCase kWriteCases[] = {
    // Signals while the line is full do not end the write: it finishes once there is room.
    {"FinishesOnceThereIsRoom", 20000, true},
    // Nor do they stretch or cut its time-out: it ends after about its time, partly sent.
    {"EndsAtItsTimeOut", 600, false},
};

class PosixPortWrite : public testing::TestWithParam<WriteCase> {};

TEST_P(PosixPortWrite, SignalsDuringTheWait) {
  const WriteCase& c = GetParam();
  jssim::TempDir dir;
  ASSERT_TRUE(dir.Made());
  int masterFd = -1, slaveFd = -1;
  ASSERT_EQ(0, openpty(&masterFd, &slaveFd, nullptr, nullptr, nullptr));
  jssim::UniqueFd master(masterFd), slave(slaveFd);
  ASSERT_EQ(0, symlink(ttyname(slave.get()), (dir / "com1").c_str()));
  ASSERT_EQ(0, setenv("JS_PORT_DIR", dir.path().c_str(), 1));

  struct sigaction action{}, previous{};
  action.sa_handler = &Ignore;  // no SA_RESTART: a wait it interrupts fails with EINTR
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(0, sigaction(SIGUSR1, &action, &previous));

  js::sys::Port port;
  ASSERT_EQ(js::sys::kSuccess, port.Open(L"COM1:"));
  js::sys::LineSettings line;
  ASSERT_EQ(js::sys::kSuccess, port.ReadLineSettings(line));
  ASSERT_EQ(js::sys::kSuccess, port.WriteLineSettings({19200, 8, 0, 0}));
  ASSERT_EQ(js::sys::kSuccess, port.SetTimeouts({0xFFFFFFFF, 0, 1000, 0, c.timeoutMs}));

  const std::vector<std::uint8_t> bytes(1 << 20, 0x55);  // far more than the line holds
  js::sys::IoRecord record;
  std::uint32_t transferred = 0;
  js::sys::ErrorCode code = 1;
  std::atomic<bool> done{false};
  std::chrono::steady_clock::duration took{};
  std::thread writer([&] {
    const auto start = std::chrono::steady_clock::now();
    code = port.Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()), record, transferred);
    took = std::chrono::steady_clock::now() - start;
    done = true;
  });
  for (int i = 0; i < 15 && !done; ++i) {
    std::this_thread::sleep_for(20ms);
    if (!done) pthread_kill(writer.native_handle(), SIGUSR1);
  }
  EXPECT_FALSE(done) << "the write ended while the line was full";

  std::size_t drained = 0;
  if (c.drain) {
    std::vector<std::uint8_t> buffer(65536);
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (drained < bytes.size() && std::chrono::steady_clock::now() < deadline) {
      pollfd in{master.get(), POLLIN, 0};
      if (poll(&in, 1, 100) <= 0) {
        if (done) break;  // the writer gave up: nothing more will come
        continue;
      }
      const ssize_t got = ::read(master.get(), buffer.data(), buffer.size());
      if (got > 0) drained += static_cast<std::size_t>(got);
    }
  }
  writer.join();
  port.Close();
  sigaction(SIGUSR1, &previous, nullptr);
  unsetenv("JS_PORT_DIR");

  EXPECT_EQ(js::sys::kSuccess, code);
  if (c.drain) {
    EXPECT_EQ(bytes.size(), transferred);
    EXPECT_EQ(bytes.size(), drained);
  } else {
    EXPECT_LT(transferred, bytes.size());
    EXPECT_GT(transferred, 0u);
    EXPECT_GE(took, std::chrono::milliseconds(c.timeoutMs / 2)) << "ended early";
    EXPECT_LT(took, std::chrono::milliseconds(c.timeoutMs) + 10s) << "ended late";
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, PosixPortWrite, testing::ValuesIn(kWriteCases),
                         [](const testing::TestParamInfo<WriteCase>& test) {
                           return std::string(test.param.name);
                         });

}  // namespace
