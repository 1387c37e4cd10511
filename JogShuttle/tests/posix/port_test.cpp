// The POSIX port where the link's own tests cannot reach it: port names and what they lead to,
// and a write that signals interrupt while it waits for room on the line.

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <chrono>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "Platform.h"
#include "ProcStat.h"
#include "SerialJS.h"
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
    // COM10 and above as the link names them on Windows.
    {L"\\\\.\\COM10", nullptr, "/dev/ttyS9"},
    {L"\\\\.\\COM255", "/tmp/ports", "/tmp/ports/com255"},
    {L"\\\\.\\COM0", nullptr, ""},
    {L"\\\\COM10", nullptr, ""},
    {L"\\\\.\\", nullptr, ""},
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

// The controlling terminal (tty_nr, field 7) is what a port name must not lead to; a command
// name may hold what looks like the end of the name.
struct StatCase {
  const char* line;
  int field;
  long long value;  // -1: nothing
};

const StatCase kStatCases[] = {
    {"4242 (jsprobe) S 1 4242 4242 34817 4242 4194304 90 0 0 0 3 5 0 0 20", 7, 34817},
    {"4242 (a) (b c) R 1 4242 4242 34817 4242 4194304 90 0 0 0 3 5 0 0 20", 14, 3},
    {"4242 (x) 7 ) S 1 4242 4242 34817 4242", 7, 34817},
    {"4242 (jsprobe) S 1 4242 4242 0 4242 4194304 90 0 0 0 3 5", 15, 5},
    {"4242 (jsprobe) S 1 4242 4242", 7, -1},  // cut short
    {"4242 (jsprobe) S 1 4242 4242 tty 4242", 7, -1},
    {"4242 jsprobe S 1 4242 4242 34817", 7, -1},
    {"", 7, -1},
};

TEST(PosixPortNames, ProcessStatFields) {
  for (const StatCase& c : kStatCases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(c.value, jsposix::ProcStatField(c.line, c.field).value_or(-1));
  }
  EXPECT_TRUE(jsposix::ProcStatField(jsposix::ReadProcStat("self"), 7).has_value());
}

TEST(PosixPortNames, AnEmptyPortDirectoryIsAMissingPort) {
  jstesting::TempDir cwd;
  ASSERT_TRUE(cwd.Made());
  // A com1 in the current directory must not be taken for the port.
  const std::string previous = std::filesystem::current_path();
  std::filesystem::current_path(cwd.path());
  jsposix::UniqueFd file(::open("com1", O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
  ASSERT_TRUE(file.valid());
  ASSERT_EQ(0, setenv("JS_PORT_DIR", "", 1));
  js::sys::Port port;
  EXPECT_EQ(static_cast<js::sys::ErrorCode>(ENOENT), port.Open(L"COM1:"));
  EXPECT_FALSE(port.IsOpen());
  unsetenv("JS_PORT_DIR");
  std::filesystem::current_path(previous);
}

// --- What a name leads to: at a look, without a byte written, and at an open ---

// Who looks: this test, an unprivileged user (root may open anything), or a session whose
// controlling terminal is the test's pseudo-terminal (as a user's own terminal would be).
enum class Looker { kSelf, kUser, kOwnTerminal };

struct InspectCase {
  const char* what;
  std::string entry;  // what com1 in the port directory is made to be; see MakeEntry
  PortInfo::State state;
  int openCode;  // what Port::Open returns
  Looker looker;
};
void PrintTo(const InspectCase& c, std::ostream* out) { *out << c.what; }

const InspectCase kInspectCases[] = {
    {"a free line", "line", PortInfo::State::kFree, 0, Looker::kSelf},
    {"a line someone holds", "held", PortInfo::State::kBusy, EBUSY, Looker::kSelf},
    {"no entry", "", PortInfo::State::kMissing, ENOENT, Looker::kSelf},
    {"a link that leads nowhere", "dangling", PortInfo::State::kMissing, ENOENT, Looker::kSelf},
    {"/dev/null", "null", PortInfo::State::kNotTerminal, ENOTTY, Looker::kSelf},
    {"a fifo", "fifo", PortInfo::State::kNotTerminal, ENOTTY, Looker::kSelf},
    {"a plain file", "file", PortInfo::State::kNotTerminal, ENOTTY, Looker::kSelf},
    {"/dev/ptmx", "ptmx", PortInfo::State::kNotSerial, ENOTTY, Looker::kSelf},
    {"/dev/tty, our own terminal", "tty", PortInfo::State::kNotSerial, ENOTTY, Looker::kOwnTerminal},
    {"the line that is our own terminal", "line", PortInfo::State::kNotSerial, ENOTTY,
     Looker::kOwnTerminal},
    {"a line only root may open", "line", PortInfo::State::kForbidden, EACCES, Looker::kUser},
    {"a directory the user may not read", "hidden", PortInfo::State::kForbidden, EACCES,
     Looker::kUser},
};

class PosixPortInspect : public testing::TestWithParam<InspectCase> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Made());
    ASSERT_EQ(0, ::openpty(&master_, &slave_, nullptr, nullptr, nullptr));
    ::fchmod(slave_, 0600);  // root's alone
    ::chmod(dir_.path().c_str(), 0755);
    ports_ = dir_ / "ports";
    ASSERT_EQ(0, ::mkdir(ports_.c_str(), 0755));
    ASSERT_EQ(0, setenv("JS_PORT_DIR", ports_.c_str(), 1));
  }
  void TearDown() override {
    unsetenv("JS_PORT_DIR");
    ::close(master_);
    ::close(slave_);
  }
  std::string SlavePath() const { return ::ttyname(slave_); }
  void MakeEntry(const std::string& kind) {
    const std::string com1 = ports_ + "/com1";
    if (kind == "line" || kind == "held") {
      ASSERT_EQ(0, ::symlink(SlavePath().c_str(), com1.c_str()));
    } else if (kind == "hidden") {
      ASSERT_EQ(0, ::symlink(SlavePath().c_str(), com1.c_str()));
      ASSERT_EQ(0, ::chmod(ports_.c_str(), 0700));
    } else if (kind == "dangling") {
      ASSERT_EQ(0, ::symlink((dir_ / "nowhere").c_str(), com1.c_str()));
    } else if (kind == "null" || kind == "ptmx" || kind == "tty") {
      ASSERT_EQ(0, ::symlink(("/dev/" + kind).c_str(), com1.c_str()));
    } else if (kind == "fifo") {
      ASSERT_EQ(0, ::mkfifo(com1.c_str(), 0666));
    } else if (kind == "file") {
      jsposix::UniqueFd file(::open(com1.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666));
      ASSERT_TRUE(file.valid());
    }
  }

  jstesting::TempDir dir_;
  std::string ports_;
  int master_ = -1;
  int slave_ = -1;
};

struct Seen {
  int state = -1;
  int openCode = -1;
};

Seen Look() {
  Seen seen{static_cast<int>(SerialJS::InspectPort(1, PortInfo::Look::kOpenable).state), 0};
  js::sys::Port port;
  seen.openCode = static_cast<int>(port.Open(L"COM1:"));
  return seen;
}

// Looks in a child process of its own, as `looker` (not kSelf).
Seen LookInChild(Looker looker, int terminal) {
  int answer[2];
  if (::pipe(answer) != 0) return {};
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(answer[0]);
    Seen seen;
    const bool ready = looker == Looker::kUser
                           ? ::setresgid(65534, 65534, 65534) == 0 &&
                                 ::setresuid(65534, 65534, 65534) == 0
                           : ::setsid() >= 0 && ::ioctl(terminal, TIOCSCTTY, 0) == 0;
    if (ready) seen = Look();
    (void)!::write(answer[1], &seen, sizeof seen);
    ::_exit(0);
  }
  ::close(answer[1]);
  Seen seen;
  (void)!::read(answer[0], &seen, sizeof seen);
  ::close(answer[0]);
  ::waitpid(child, nullptr, 0);
  return seen;
}

TEST_P(PosixPortInspect, WhatTheNameLeadsTo) {
  const InspectCase& c = GetParam();
  if (c.looker == Looker::kUser && ::geteuid() != 0) {
    GTEST_SKIP() << "needs root, to look as another user";
  }
  MakeEntry(c.entry);
  jsposix::UniqueFd holder;
  if (c.entry == "held") {
    // Held the way the link holds a port: an exclusive flock on its own open.
    holder.Reset(::open(SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_EQ(0, ::flock(holder.get(), LOCK_EX | LOCK_NB));
  }
  const Seen seen = c.looker == Looker::kSelf ? Look() : LookInChild(c.looker, slave_);
  EXPECT_EQ(static_cast<int>(c.state), seen.state) << c.what;
  EXPECT_EQ(c.openCode, seen.openCode) << c.what << ": " << std::strerror(seen.openCode);
  // Nothing was written to the line, and no lock was left behind (nor taken from its holder).
  int queued = -1;
  ASSERT_EQ(0, ::ioctl(master_, FIONREAD, &queued));
  EXPECT_EQ(0, queued) << c.what;
  holder.Reset();
  if (c.entry == "line" || c.entry == "held") {
    // Another process's terminal or none: the line is a port to this one.
    EXPECT_EQ(PortInfo::State::kFree, SerialJS::InspectPort(1, PortInfo::Look::kOpenable).state)
        << c.what;
  }
}

INSTANTIATE_TEST_SUITE_P(Entries, PosixPortInspect, testing::ValuesIn(kInspectCases));

// A device that goes away and comes back is a new device, though it may have the old name.
TEST(PosixPortIdentity, ANewNodeIsANewIdentity) {
  jstesting::TempDir dir;
  ASSERT_TRUE(dir.Made());
  ASSERT_EQ(0, setenv("JS_PORT_DIR", dir.path().c_str(), 1));
  const std::string com1 = dir / "com1";
  ASSERT_EQ(0, ::symlink("/dev/null", com1.c_str()));
  const PortInfo first = SerialJS::InspectPort(1, PortInfo::Look::kNameOnly);
  EXPECT_EQ(first.identity, SerialJS::InspectPort(1, PortInfo::Look::kNameOnly).identity);
  ASSERT_EQ(0, ::unlink(com1.c_str()));
  EXPECT_EQ("", SerialJS::InspectPort(1, PortInfo::Look::kNameOnly).identity);
  ASSERT_EQ(0, ::symlink("/dev/null", com1.c_str()));
  EXPECT_NE(first.identity, SerialJS::InspectPort(1, PortInfo::Look::kNameOnly).identity);
  unsetenv("JS_PORT_DIR");
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
  jstesting::TempDir dir;
  ASSERT_TRUE(dir.Made());
  int masterFd = -1, slaveFd = -1;
  ASSERT_EQ(0, openpty(&masterFd, &slaveFd, nullptr, nullptr, nullptr));
  jsposix::UniqueFd master(masterFd), slave(slaveFd);
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
