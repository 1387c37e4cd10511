// How --list shows what a COM name leads to.

#include <gtest/gtest.h>

#include "PortCheck.h"

namespace {

TEST(PortCheck, ListLines) {
  PortInfo info;
  info.number = 4;
  info.path = "/d/com4";
  info.target = "/dev/serial/by-id/usb-X";
  info.device = "/dev/ttyUSB0";
  struct Case {
    PortInfo::State state;
    const char* reason;
    const char* end;
  };
  const Case cases[] = {
      {PortInfo::State::kFree, "", "  free"},
      {PortInfo::State::kBusy, "", "  busy: held by another program"},
      {PortInfo::State::kForbidden, "Permission denied", "  may not be opened: Permission denied"},
      {PortInfo::State::kNotTerminal, "", "  not a terminal"},
      {PortInfo::State::kUnusable, "Input/output error", "  cannot be opened: Input/output error"},
  };
  for (const Case& c : cases) {
    info.state = c.state;
    info.reason = c.reason;
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
