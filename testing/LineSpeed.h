#pragma once
// The speed of a serial line (a simulator's pseudo-terminal), as a test sets it before a program
// runs and reads it afterwards: a program must put back the line settings it found.

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <string>

namespace jstesting {

// Sets both directions to `speed` (B9600); false when the line cannot be opened or set.
inline bool SetLineSpeed(const std::string& path, speed_t speed) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  termios line{};
  const bool set = ::tcgetattr(fd, &line) == 0 && ::cfsetispeed(&line, speed) == 0 &&
                   ::cfsetospeed(&line, speed) == 0 && ::tcsetattr(fd, TCSANOW, &line) == 0;
  ::close(fd);
  return set;
}

// The output speed as a baud rate (9600), or 0 when the line cannot be read.
inline unsigned LineBaudRate(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;
  termios line{};
  const bool read = ::tcgetattr(fd, &line) == 0;
  ::close(fd);
  if (!read) return 0;
  switch (::cfgetospeed(&line)) {
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    default: return 1;  // some other speed
  }
}

}  // namespace jstesting
