// What port names lead to on POSIX. Nothing here opens a port: an open raises a serial line's
// modem lines (DTR, RTS), and a device that resets on DTR would reset at every look.

#include "PortNames.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <fstream>
#include <sstream>

#include "Platform.h"
#include "ProcStat.h"

namespace js::sys {

std::string PortPath(const wchar_t* name, const char* portDir) {
  if (name == nullptr) return {};
  const wchar_t* p = name;
  // The device namespace's prefix, which names COM10 and above on Windows.
  if (p[0] == L'\\' && p[1] == L'\\' && p[2] == L'.' && p[3] == L'\\') p += 4;
  for (wchar_t expected : {L'C', L'O', L'M'}) {
    if (std::towupper(static_cast<wint_t>(*p)) != static_cast<wint_t>(expected)) return {};
    ++p;
  }
  std::uint64_t number = 0;
  const wchar_t* digits = p;
  while (*p >= L'0' && *p <= L'9' && p - digits < 9) number = number * 10 + (*p++ - L'0');
  if (p == digits || number == 0) return {};
  if (*p == L':') ++p;
  if (*p != L'\0') return {};

  if (portDir != nullptr) {
    // Set but empty: a directory with no ports, never the current directory.
    if (*portDir == '\0') return {};
    std::string path(portDir);
    if (!path.empty() && path.back() != '/') path.push_back('/');
    return path + "com" + std::to_string(number);
  }
  return "/dev/ttyS" + std::to_string(number - 1);  // the COM1 = ttyS0 convention
}

std::string PortPath(const wchar_t* name) { return PortPath(name, std::getenv("JS_PORT_DIR")); }

namespace {

std::string ReadLink(const std::string& path) {
  char buffer[4096];
  const ssize_t got = ::readlink(path.c_str(), buffer, sizeof buffer - 1);
  if (got <= 0) return {};
  return std::string(buffer, static_cast<std::size_t>(got));
}

// The first line of a small file (a sysfs attribute); empty when there is none.
std::string FirstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// The inode number alone is no identity: a file system hands a freed number out again. The
// change time (to the nanosecond) of a node made anew is new.
std::string NodeId(const struct stat& node) {
  return std::to_string(node.st_dev) + ':' + std::to_string(node.st_ino) + ':' +
         std::to_string(node.st_rdev) + '@' + std::to_string(node.st_ctim.tv_sec) + '.' +
         std::to_string(node.st_ctim.tv_nsec);
}

void Fail(PortInfo& info, PortInfo::State state, int error, std::string reason = {}) {
  info.state = state;
  info.error = static_cast<std::uint32_t>(error);
  info.reason = reason.empty() ? std::strerror(error) : std::move(reason);
}

// Whether a character device is a terminal, told by the kernel's device classes rather than by
// opening it (an open raises a serial line's modem lines, and some devices reset on DTR).
bool IsTerminal(dev_t device) {
  const std::string node = "/sys/dev/char/" + std::to_string(major(device)) + ':' +
                           std::to_string(minor(device));
  const std::string subsystem = ReadLink(node + "/subsystem");
  if (!subsystem.empty()) return subsystem.substr(subsystem.rfind('/') + 1) == "tty";
  // Pseudo-terminal slaves have no entry of their own there.
  return major(device) >= 136 && major(device) <= 143;
}

// A serial port whose driver made the node although no UART answers behind it (a PC's 8250
// driver makes ttyS0 to ttyS3 whatever there is): it opens, and fails at its first ioctl.
bool IsUartless(dev_t device) {
  const std::string type = FirstLine("/sys/dev/char/" + std::to_string(major(device)) + ':' +
                                     std::to_string(minor(device)) + "/type");
  return type == "0";  // PORT_UNKNOWN
}

// The device of this process's controlling terminal; 0 (no terminal's number) when it has none.
// tty_nr is in the encoding major() and minor() read.
dev_t ControllingTerminal() {
  const auto terminal = jsposix::ProcStatField(jsposix::ReadProcStat("self"), 7);
  return static_cast<dev_t>(static_cast<unsigned int>(terminal.value_or(0)));  // printed signed
}

// Whether another program holds the node with the lock the link takes (flock), as the kernel
// lists it in /proc/locks: "1: FLOCK  ADVISORY  WRITE 1234 00:05:87 0 EOF" (the file system's
// device in hex, then the inode).
bool IsLocked(const struct stat& node) {
  std::ifstream locks("/proc/locks");
  char wanted[64];
  std::snprintf(wanted, sizeof wanted, "%02x:%02x:%llu", major(node.st_dev), minor(node.st_dev),
                static_cast<unsigned long long>(node.st_ino));
  for (std::string line; std::getline(locks, line);) {
    if (line.find("FLOCK") == std::string::npos) continue;
    std::istringstream fields(line);
    for (std::string field; fields >> field;) {
      if (field == wanted) return true;
    }
  }
  return false;
}

}  // namespace

const char* WhyNotSerial(dev_t device) {
  // Linux's numbers: /dev/tty, /dev/console and /dev/ptmx are 5:0 to 5:2, the virtual consoles
  // 4:0 to 4:63 (the serial lines ttyS* start at 4:64), the old BSD pseudo-terminal masters 2:*.
  // A pseudo-terminal slave (136 to 143) is a line with a far end, as a serial port is.
  const unsigned int kind = major(device);
  const unsigned int unit = minor(device);
  if (kind == 5 && unit == 0) return "the controlling terminal";
  if (kind == 5 && unit == 1) return "the system console";
  if ((kind == 5 && unit == 2) || kind == 2) return "a pseudo-terminal master";
  if (kind == 4 && unit < 64) return "a virtual console";
  if (device == ControllingTerminal()) return "the controlling terminal";
  return nullptr;
}

void InspectPort(const wchar_t* name, bool lookCloser, PortInfo& info) {
  info.path = PortPath(name);
  info.state = PortInfo::State::kMissing;
  if (info.path.empty()) return;
  struct stat link {};
  if (::lstat(info.path.c_str(), &link) != 0) {
    // A directory we may not look into says nothing about what is in it.
    Fail(info, errno == EACCES ? PortInfo::State::kForbidden : PortInfo::State::kMissing, errno);
    return;
  }
  if (S_ISLNK(link.st_mode)) info.target = ReadLink(info.path);
  char* resolved = ::realpath(info.path.c_str(), nullptr);
  if (resolved == nullptr) {
    Fail(info, errno == EACCES ? PortInfo::State::kForbidden : PortInfo::State::kMissing, errno);
    return;
  }
  info.device = resolved;
  std::free(resolved);
  struct stat node {};
  if (::stat(info.device.c_str(), &node) != 0) {
    Fail(info, PortInfo::State::kMissing, errno);
    return;
  }
  // A new device node (an adapter plugged in again, a new pseudo-terminal) or a new link to it
  // is another identity, even where the kernel gives the node its old name and number.
  info.identity = NodeId(link) + '/' + NodeId(node);
  // Told by number before the device classes, which a system may not show.
  if (const char* why = S_ISCHR(node.st_mode) ? WhyNotSerial(node.st_rdev) : nullptr) {
    Fail(info, PortInfo::State::kNotSerial, ENOTTY, why);
    return;
  }
  if (!S_ISCHR(node.st_mode) || !IsTerminal(node.st_rdev)) {
    Fail(info, PortInfo::State::kNotTerminal, ENOTTY, "not a terminal");
    return;
  }
  if (IsUartless(node.st_rdev)) {
    Fail(info, PortInfo::State::kMissing, ENODEV, "no UART behind it");
    return;
  }
  info.state = PortInfo::State::kFree;
  if (!lookCloser) return;
  if (::faccessat(AT_FDCWD, info.device.c_str(), R_OK | W_OK, AT_EACCESS) != 0) {
    Fail(info, errno == EACCES || errno == EPERM ? PortInfo::State::kForbidden
                                                 : PortInfo::State::kUnusable,
         errno);
  } else if (IsLocked(node)) {
    Fail(info, PortInfo::State::kBusy, EWOULDBLOCK);
  }
}

}  // namespace js::sys
