// LD_PRELOAD library for the Wine bench: gives pseudo-terminal slaves the modem-line ioctls.
//
// Wine's serial layer asks the modem lines (TIOCMGET, and TIOCMSET once that works) at
// GetCommState, SetCommState and every WaitCommEvent. A pseudo-terminal has no modem lines and
// answers ENOTTY, so under Wine every WaitCommEvent on the simulator's line would end at once
// with mask 0 and the reader could never wait for bytes. Here those four requests are answered
// for pseudo-terminal slaves only, and only where the real call failed with ENOTTY or EINVAL;
// every other call, and every other failure (after a hang-up the kernel fails every ioctl with
// EIO), is the real ioctl's.

#include <dlfcn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>

namespace {

using IoctlCall = int (*)(int, unsigned long, ...);

IoctlCall RealIoctl() {
  static const auto real = reinterpret_cast<IoctlCall>(dlsym(RTLD_NEXT, "ioctl"));
  return real;
}

// Unix 98 pseudo-terminal slaves are character devices of majors 136 to 143.
bool IsPtySlave(int fd) {
  struct stat info {};
  return fstat(fd, &info) == 0 && S_ISCHR(info.st_mode) && major(info.st_rdev) >= 136 &&
         major(info.st_rdev) <= 143;
}

// The controller's side keeps its lines up, as a plugged-in device does; the host's own lines
// (DTR, RTS) are what it last set. One set for the whole process: the bench's programs never
// look at modem lines, they only need the calls to work.
constexpr int kInputLines = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
constexpr int kOutputLines = TIOCM_DTR | TIOCM_RTS;
std::atomic<int> lines{kInputLines | kOutputLines};

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);

  const IoctlCall real = RealIoctl();
  if (real == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  const int result = real(fd, request, argument);
  if (result != -1 || (errno != ENOTTY && errno != EINVAL)) return result;
  const bool modemRequest = request == TIOCMGET || request == TIOCMSET ||
                            request == TIOCMBIS || request == TIOCMBIC;
  if (!modemRequest || argument == nullptr) return result;
  const int failure = errno;
  if (!IsPtySlave(fd)) {
    errno = failure;
    return result;
  }
  auto* bits = static_cast<int*>(argument);
  if (request == TIOCMGET) {
    *bits = lines.load();
  } else if (request == TIOCMSET) {
    lines.store(kInputLines | (*bits & kOutputLines));
  } else if (request == TIOCMBIS) {
    lines.fetch_or(*bits & kOutputLines);
  } else {
    lines.fetch_and(~(*bits & kOutputLines));
  }
  return 0;
}
