// Start and stop of a program on POSIX.

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <sys/eventfd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>
#include <thread>

#include "Program.h"
#include "StopRequest.h"

namespace jsprogram {
namespace {

// SIGUSR2 and SIGALRM end a program by default too; taken here, they let it release what it holds.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR2, SIGALRM};
constexpr int kReloadSignal = SIGUSR1;

bool FillStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() gives the lowest free number, which is this one since the ones below are open.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened != fd) {
      if (opened >= 0) ::close(opened);
      return false;
    }
  }
  return true;
}

// Before any other thread starts, so that every thread, the link's readers too, inherits the
// blocked set and only the waiting thread ever takes these signals.
bool BlockStopSignals(sigset_t& stopSignals) {
  sigemptyset(&stopSignals);
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;  // an inherited "ignore" would drop them even while blocked
  sigemptyset(&standard.sa_mask);
  for (const int signal : kStopSignals) {
    // A hang-up the parent ignores stays ignored: `nohup jskeys &` outlives its terminal. The
    // others are taken whatever the parent did: a script that starts a tool in the background
    // (which ignores SIGINT and SIGQUIT there) still stops it with them.
    struct sigaction inherited {};
    if (::sigaction(signal, nullptr, &inherited) != 0) return false;
    if (signal == SIGHUP && inherited.sa_handler == SIG_IGN) continue;
    if (::sigaction(signal, &standard, nullptr) != 0) return false;
    sigaddset(&stopSignals, signal);
  }
  sigaddset(&stopSignals, kReloadSignal);
  return ::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) == 0;
}

}  // namespace

bool Start(const char* name) {
  SetName(name);
  (void)RequestNotice();  // made before any thread can request
  if (!FillStandardDescriptors()) return false;
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  (void)::sigaction(SIGPIPE, &ignore, nullptr);

  sigset_t stopSignals;
  if (!BlockStopSignals(stopSignals)) return true;  // they keep their default: they end us
  try {
    // Detached: it only ever makes stop requests, and ends with the process.
    std::thread([stopSignals] {
      for (;;) {
        int signal = 0;
        if (::sigwait(&stopSignals, &signal) != 0) continue;
        if (signal == kReloadSignal) {
          RequestReload();
        } else {
          RequestStop(signal);
        }
      }
    }).detach();
  } catch (const std::system_error&) {
    // No one to take them: let them end the process as they would have.
    (void)::pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
  }
  return true;
}

void OnReleased() {}

std::intptr_t RequestNotice() {
  static const int notice = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  return notice;
}

void SignalRequestNotice() {
  const std::uint64_t one = 1;
  if (RequestNotice() >= 0) (void)!::write(static_cast<int>(RequestNotice()), &one, sizeof one);
}

void TakeRequestNotice() {
  std::uint64_t count = 0;
  if (RequestNotice() >= 0) (void)!::read(static_cast<int>(RequestNotice()), &count, sizeof count);
}

}  // namespace jsprogram
