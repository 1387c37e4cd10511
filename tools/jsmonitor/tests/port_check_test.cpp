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
      {PortInfo::State::kNotSerial, "the controlling terminal",
       "  not a serial port (the controlling terminal)"},
      {PortInfo::State::kUnusable, "Input/output error", "  cannot be opened: Input/output error"},
  };
  for (const Case& c : cases) {
    info.state = c.state;
    info.reason = c.reason;
    EXPECT_EQ(std::string("COM4  /d/com4 -> /dev/serial/by-id/usb-X (/dev/ttyUSB0)") + c.end,
              ListLine(info));
  }
  // Whoever may write the port directory names its links: nothing of theirs reaches the terminal
  // as control, reorders the line or splits it.
  PortInfo hostile;
  hostile.number = 2;
  hostile.path = "/d/com2";
  hostile.target = "\x1b[31mred\xe2\x80\xae" "evil\nline";
  hostile.state = PortInfo::State::kMissing;
  EXPECT_EQ("COM2  /d/com2 -> \\x1b[31mred\\xe2\\x80\\xaeevil\\nline  missing (the link leads nowhere)",
            ListLine(hostile));

  PortInfo plain;
  plain.number = 1;
  plain.path = "/dev/ttyS0";
  plain.device = "/dev/ttyS0";
  plain.state = PortInfo::State::kFree;
  EXPECT_EQ("COM1  /dev/ttyS0  free", ListLine(plain));
}

}  // namespace
