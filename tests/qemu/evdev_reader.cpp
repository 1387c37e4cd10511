// evdev_reader: the QEMU guest's witness of what jskeys typed. Finds the input device whose
// name holds a given text (jskeys' virtual keyboard appears only once jskeys runs), then prints
// one line per key event with the kernel's own time stamp of it:
//
//   @ready /dev/input/event3
//   1796674612.837219 key 57 1        (seconds.microseconds, key code, 1 down / 0 up / 2 repeat)
//
// The time stamp is CLOCK_REALTIME, the clock the guest's shell ($EPOCHREALTIME) and busybox
// ts use, so that the bench can set every figure against one guest clock.
//
// Usage: evdev_reader [--name TEXT] [--find-ms N] [--idle-ms N] [--count N]
//   --name TEXT   part of the device name (default: "jskeys virtual keyboard")
//   --find-ms N   how long to look for the device (default 10000)
//   --idle-ms N   end when no key event came for N ms (default: never)
//   --count N     end after N key events (default: never)
// Ends with status 0 at SIGTERM, SIGINT, the idle time or the count; 1 when no device was
// found; 2 for a bad command line.

#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

namespace {

volatile sig_atomic_t g_stop = 0;
void Stop(int) {
  g_stop = 1;
}

struct Options {
  std::string name = "jskeys virtual keyboard";
  long findMs = 10000;
  long idleMs = -1;
  long count = -1;
};

bool ParseCount(std::string_view text, long& value) {
  const auto [end, code] = std::from_chars(text.data(), text.data() + text.size(), value);
  return code == std::errc() && end == text.data() + text.size() && value >= 0;
}

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view flag = argv[i];
    if (i + 1 >= argc) return false;
    const std::string_view value = argv[++i];
    if (flag == "--name") {
      options.name = value;
    } else if (flag == "--find-ms") {
      if (!ParseCount(value, options.findMs)) return false;
    } else if (flag == "--idle-ms") {
      if (!ParseCount(value, options.idleMs)) return false;
    } else if (flag == "--count") {
      if (!ParseCount(value, options.count)) return false;
    } else {
      return false;
    }
  }
  return true;
}

// An owned descriptor: closed once, by whoever holds it last.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_ = -1;
};

// The first /dev/input/event* whose name holds `name`, opened for reading; or none.
Fd OpenByName(const std::string& name, std::string& path) {
  DIR* dir = ::opendir("/dev/input");
  if (dir == nullptr) return Fd();
  Fd found;
  while (const dirent* entry = ::readdir(dir)) {
    if (std::strncmp(entry->d_name, "event", 5) != 0) continue;
    const std::string candidate = std::string("/dev/input/") + entry->d_name;
    Fd fd(::open(candidate.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) continue;
    char deviceName[256] = {};
    if (::ioctl(fd.get(), EVIOCGNAME(sizeof deviceName - 1), deviceName) < 0) continue;
    if (std::strstr(deviceName, name.c_str()) == nullptr) continue;
    path = candidate;
    found = std::move(fd);
    break;
  }
  ::closedir(dir);
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: evdev_reader [--name TEXT] [--find-ms N] [--idle-ms N] [--count N]\n");
    return 2;
  }
  struct sigaction stop {};
  stop.sa_handler = &Stop;
  sigemptyset(&stop.sa_mask);
  for (const int signal : {SIGINT, SIGTERM}) sigaction(signal, &stop, nullptr);

  using Clock = std::chrono::steady_clock;
  const auto giveUp = Clock::now() + std::chrono::milliseconds(options.findMs);
  std::string path;
  Fd device;
  while (device.get() < 0 && g_stop == 0) {
    device = OpenByName(options.name, path);
    if (device.get() >= 0) break;
    if (Clock::now() >= giveUp) {
      std::fprintf(stderr, "evdev_reader: no input device named like \"%s\"\n",
                   options.name.c_str());
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (device.get() < 0) return 0;
  int clock = CLOCK_REALTIME;
  (void)::ioctl(device.get(), EVIOCSCLOCKID, &clock);
  std::printf("@ready %s\n", path.c_str());
  std::fflush(stdout);

  long seen = 0;
  while (g_stop == 0 && (options.count < 0 || seen < options.count)) {
    pollfd wait = {device.get(), POLLIN, 0};
    const int ready = ::poll(&wait, 1, options.idleMs < 0 ? -1 : static_cast<int>(options.idleMs));
    if (ready == 0) break;                                 // idle long enough
    if (ready < 0) continue;                               // a signal: the loop condition decides
    if ((wait.revents & (POLLHUP | POLLERR)) != 0) break;  // the device went away
    input_event events[64];
    const ssize_t got = ::read(device.get(), events, sizeof events);
    if (got <= 0) continue;
    const auto count = static_cast<std::size_t>(got) / sizeof(input_event);
    for (std::size_t i = 0; i < count; ++i) {
      const input_event& event = events[i];
      if (event.type != EV_KEY) continue;
      std::printf("%lld.%06ld key %u %d\n", static_cast<long long>(event.input_event_sec),
                  static_cast<long>(event.input_event_usec), event.code, event.value);
      ++seen;
    }
    std::fflush(stdout);
  }
  return 0;
}
