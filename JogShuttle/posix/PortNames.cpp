// What port names lead to on POSIX. Nothing here writes to a port or changes its line.

#include "PortNames.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwctype>

#include "Platform.h"

namespace js::sys {

std::string PortPath(const wchar_t* name, const char* portDir) {
  if (name == nullptr) return {};
  const wchar_t* p = name;
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

// The inode number alone is no identity: a file system hands a freed number out again. The
// change time (to the nanosecond) of a node made anew is new.
std::string NodeId(const struct stat& node) {
  return std::to_string(node.st_dev) + ':' + std::to_string(node.st_ino) + ':' +
         std::to_string(node.st_rdev) + '@' + std::to_string(node.st_ctim.tv_sec) + '.' +
         std::to_string(node.st_ctim.tv_nsec);
}

void Fail(PortInfo& info, PortInfo::State state, int error) {
  info.state = state;
  info.error = static_cast<std::uint32_t>(error);
  info.reason = std::strerror(error);
}

PortInfo::State StateOfOpenError(int error) {
  switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
      return PortInfo::State::kMissing;
    case EACCES:
    case EPERM:
      return PortInfo::State::kForbidden;
    case EBUSY:  // another program set exclusive use
      return PortInfo::State::kBusy;
    default:
      return PortInfo::State::kUnusable;
  }
}

}  // namespace

void InspectPort(const wchar_t* name, bool tryOpen, PortInfo& info) {
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
  info.state = PortInfo::State::kFree;
  if (!tryOpen) return;

  const int fd = ::open(info.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    Fail(info, StateOfOpenError(errno), errno);
    return;
  }
  if (::isatty(fd) == 0) {
    Fail(info, PortInfo::State::kNotTerminal, ENOTTY);
  } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    // The link takes this lock when it opens a port: whoever holds it is using the port.
    Fail(info, errno == EWOULDBLOCK ? PortInfo::State::kBusy : PortInfo::State::kUnusable, errno);
  }
  ::close(fd);  // the lock, if taken, goes with it
}

}  // namespace js::sys
