// The link on a pseudo-terminal: what only POSIX has (advisory locks, devices and files that are
// no serial line).

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "CaptureSink.h"
#include "LinkFixture.h"
#include "SerialJSAccess.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class LinkPosix : public LinkFixture {};

TEST_F(LinkPosix, PortHeldByAnotherProgramFailsAtOpening) {
  StartSim();
  const int holder = ::open(PortPath(1).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(0, flock(holder, LOCK_EX | LOCK_NB));
  SerialJS link(1);
  EXPECT_FALSE(link.Open());
  ::close(holder);
  EXPECT_EQ(1u, Count(1, "SerialJS: Error (16) opening COM1: config: Device or resource busy"));
  EXPECT_EQ(0u, sim.ResetsReceived());

  // Released, the port opens again.
  SerialJS again(1);
  EXPECT_TRUE(again.Open());
}

// What is no serial line fails at the open step, with the open failures' line and before a
// byte is sent: a name that leads to the user's own terminal must not write into it.
TEST_F(LinkPosix, WhatIsNoSerialLineIsNoPort) {
  struct Case {
    const char* target;  // what COM1 links to; nullptr: a plain file
    std::vector<int> codes;
  };
  const Case cases[] = {
      {nullptr, {ENOTTY}},
      {"/dev/null", {ENOTTY}},
      {"/dev/ptmx", {ENOTTY}},
      // With no controlling terminal (as under ctest) /dev/tty does not even open.
      {"/dev/tty", {ENOTTY, ENXIO}},
  };
  const std::string path = PortPath(1);
  for (const Case& c : cases) {
    const std::string what = c.target ? c.target : "a plain file";
    sink.Clear();
    ::unlink(path.c_str());
    if (c.target) {
      ASSERT_EQ(0, ::symlink(c.target, path.c_str())) << what;
    } else {
      const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
      ASSERT_GE(fd, 0);
      ::close(fd);
    }
    SerialJS link(1);
    EXPECT_FALSE(link.Open()) << what;
    std::size_t failures = 0;
    for (int code : c.codes) {
      failures += CountStartingWith("SerialJS: Error (" + std::to_string(code) +
                                    ") opening COM1: config: ");
    }
    EXPECT_EQ(1u, failures) << what;
    EXPECT_EQ(0u, CountStartingWith("SerialJS: Sending")) << what;
  }
}

}  // namespace

// The change signal polls readable exactly while changes wait: a client's event loop neither
// misses one nor spins on a drained queue.
TEST(ChangeSignal, ReadableWhileChangesWait) {
  jslog::CaptureSink sink;
  jslog::ScopedLogSink scope{sink};
  SerialJS link(1);
  EXPECT_EQ(-1, link.ChangeSignal());  // nothing kept, nothing to wait on
  link.KeepChanges();
  auto readable = [&] {
    pollfd ready = {static_cast<int>(link.ChangeSignal()), POLLIN, 0};
    return ::poll(&ready, 1, 0) == 1;
  };
  JogShuttleChange change;
  for (const auto& bytes : {Bytes{0x40}, Bytes{0x40, 0x60, 0x80, 0x02}}) {
    EXPECT_FALSE(readable());
    SerialJSAccess::Feed(link, bytes);
    EXPECT_TRUE(readable());
    ASSERT_TRUE(link.NextChange(change, 0));
    EXPECT_TRUE(readable()) << "taken only in part";
    while (link.NextChange(change, 0)) {
    }
    EXPECT_FALSE(readable());
  }
}
