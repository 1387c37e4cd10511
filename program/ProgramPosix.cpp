// Start and stop of a program on POSIX.

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>

#include "Program.h"
#include "StopRequest.h"

namespace jsprogram {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
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
  standard.sa_handler = SIG_DFL;  // an inherited "ignore" might drop them even while blocked
  sigemptyset(&standard.sa_mask);
  for (const int signal : kStopSignals) {
    sigaddset(&stopSignals, signal);
    if (::sigaction(signal, &standard, nullptr) != 0) return false;
  }
  sigaddset(&stopSignals, kReloadSignal);
  return ::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) == 0;
}

}  // namespace

bool Start(const char* name) {
  SetName(name);
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

void Released() {}

}  // namespace jsprogram
