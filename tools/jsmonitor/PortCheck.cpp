#include "PortCheck.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "posix/PortNames.h"

std::string PortPathOf(std::uint32_t number) {
  const std::wstring name = L"COM" + std::to_wstring(number);
  return js::sys::PortPath(name.c_str(), std::getenv("JS_PORT_DIR"));
}

namespace {

std::string ReadLink(const std::string& path) {
  char buffer[4096];
  const ssize_t got = ::readlink(path.c_str(), buffer, sizeof buffer - 1);
  if (got <= 0) return {};
  return std::string(buffer, static_cast<std::size_t>(got));
}

std::string Resolve(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return {};
  std::string result(resolved);
  std::free(resolved);
  return result;
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

PortInfo InspectPort(std::uint32_t number, bool tryOpen) {
  PortInfo info;
  info.number = number;
  info.path = PortPathOf(number);
  if (info.path.empty()) return info;
  info.target = ReadLink(info.path);
  info.device = Resolve(info.path);
  if (info.device.empty()) {
    info.error = ENOENT;
    return info;
  }
  info.state = PortInfo::State::kFree;
  if (!tryOpen) return info;

  const int fd = ::open(info.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    info.error = errno;
    info.state = StateOfOpenError(info.error);
    return info;
  }
  // The link takes the same lock when it opens a port; whoever holds it now is using the port.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    info.error = errno;
    info.state = info.error == EWOULDBLOCK ? PortInfo::State::kBusy : PortInfo::State::kUnusable;
  }
  ::close(fd);  // the lock, if taken, goes with it
  return info;
}

std::string ListLine(const PortInfo& info) {
  std::string line = "COM" + std::to_string(info.number) + "  " + info.path;
  if (!info.target.empty()) line += " -> " + info.target;
  if (!info.device.empty() && info.device != info.target && info.device != info.path) {
    line += " (" + info.device + ")";
  }
  line += "  ";
  switch (info.state) {
    case PortInfo::State::kMissing:
      line += info.target.empty() ? "missing" : "missing (the link leads nowhere)";
      break;
    case PortInfo::State::kFree:
      line += "free";
      break;
    case PortInfo::State::kBusy:
      line += "busy: held by another program";
      break;
    case PortInfo::State::kForbidden:
      line += std::string("may not be opened: ") + std::strerror(info.error);
      break;
    case PortInfo::State::kUnusable:
      line += std::string("cannot be opened: ") + std::strerror(info.error);
      break;
  }
  return line;
}

std::string DeviceSuffix(std::uint32_t number) {
  const std::string path = PortPathOf(number);
  if (path.empty()) return {};
  const std::string device = Resolve(path);
  return device.empty() ? std::string() : " (" + device + ")";
}
