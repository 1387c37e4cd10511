// What a COM name leads to, found without writing to the port.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include "ControllerSim.h"
#include "PortCheck.h"
#include "TempDir.h"

namespace {

class PortCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Made());
    ASSERT_EQ(0, setenv("JS_PORT_DIR", dir_.path().c_str(), 1));
  }
  void TearDown() override { unsetenv("JS_PORT_DIR"); }
  std::string Port(int n) const { return dir_ / ("com" + std::to_string(n)); }

  jssim::TempDir dir_;
};

TEST_F(PortCheck, StatesOfTheNames) {
  jssim::ControllerSim free;
  jssim::ControllerSim locked;
  std::string error;
  ASSERT_TRUE(free.Start(Port(1), {}, &error)) << error;
  ASSERT_TRUE(locked.Start(Port(2), {}, &error)) << error;
  // Held the way the link holds a port: an exclusive flock on its own open.
  const int holder = open(locked.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(0, flock(holder, LOCK_EX | LOCK_NB));
  ASSERT_EQ(0, symlink("/nonexistent/tty", Port(3).c_str()));

  struct Case {
    std::uint32_t port;
    PortInfo::State state;
    std::string device;
  };
  const Case cases[] = {
      {1, PortInfo::State::kFree, free.SlavePath()},
      {2, PortInfo::State::kBusy, locked.SlavePath()},
      {3, PortInfo::State::kMissing, ""},
      {4, PortInfo::State::kMissing, ""},
  };
  for (const Case& c : cases) {
    const PortInfo info = InspectPort(c.port, true);
    EXPECT_EQ(c.state, info.state) << c.port;
    EXPECT_EQ(Port(static_cast<int>(c.port)), info.path);
    EXPECT_EQ(c.device, info.device) << c.port;
  }
  // Looking did not take the lock away from its holder, nor leave one behind.
  close(holder);
  EXPECT_EQ(PortInfo::State::kFree, InspectPort(2, true).state);
  EXPECT_TRUE(free.Received().empty());
  EXPECT_TRUE(locked.Received().empty());
  EXPECT_EQ(" (" + free.SlavePath() + ")", DeviceSuffix(1));
  EXPECT_EQ("", DeviceSuffix(3));
}

TEST_F(PortCheck, ListLines) {
  PortInfo info;
  info.number = 4;
  info.path = "/d/com4";
  info.target = "/dev/serial/by-id/usb-X";
  info.device = "/dev/ttyUSB0";
  struct Case {
    PortInfo::State state;
    int error;
    const char* end;
  };
  const Case cases[] = {
      {PortInfo::State::kFree, 0, "  free"},
      {PortInfo::State::kBusy, EWOULDBLOCK, "  busy: held by another program"},
      {PortInfo::State::kForbidden, EACCES, "  may not be opened: Permission denied"},
      {PortInfo::State::kUnusable, EIO, "  cannot be opened: Input/output error"},
  };
  for (const Case& c : cases) {
    info.state = c.state;
    info.error = c.error;
    EXPECT_EQ(std::string("COM4  /d/com4 -> /dev/serial/by-id/usb-X (/dev/ttyUSB0)") + c.end,
              ListLine(info));
  }
  PortInfo plain;
  plain.number = 1;
  plain.path = "/dev/ttyS0";
  plain.device = "/dev/ttyS0";
  plain.state = PortInfo::State::kFree;
  EXPECT_EQ("COM1  /dev/ttyS0  free", ListLine(plain));
}

}  // namespace
