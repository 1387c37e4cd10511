// The process entry: arguments are ignored; the exit status is the port found, or 0.
//
// Around the probe, what a POSIX process needs so that no port is left behind:
// - standard descriptors that were closed are filled with /dev/null first, or the first port
//   opened would get number 2 and the log would be written down the serial line;
// - SIGPIPE is ignored: a reader of the log that goes away (jsprobe 2>&1 | head -1) costs log
//   lines, never the exit status;
// - SIGINT, SIGTERM and SIGHUP are blocked in every thread and taken by one waiting thread,
//   which asks the probe to stop. The port under way then finishes its handshake and is closed
//   (its exclusive flag cleared, its lock released) and the exit status is 128 + the signal.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <system_error>
#include <thread>

#include "ProbePorts.h"
#include "StandardDescriptors.h"

namespace {

std::atomic<bool> stopRequested{false};
std::atomic<int> stopSignal{0};

bool BlockStopSignals(sigset_t& stopSignals) {
  sigemptyset(&stopSignals);
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;  // an inherited "ignore" might drop them even while blocked
  sigemptyset(&standard.sa_mask);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    sigaddset(&stopSignals, signal);
    if (::sigaction(signal, &standard, nullptr) != 0) return false;
  }
  return ::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) == 0;
}

}  // namespace

int main(int, char**) {
  // With no way to fill them, nothing may be opened: the log would go into a port.
  if (!jstools::EnsureStandardDescriptors()) return 0;
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  (void)::sigaction(SIGPIPE, &ignore, nullptr);

  // Before any thread starts, so that every thread, the link's readers too, inherits the mask.
  sigset_t stopSignals;
  if (BlockStopSignals(stopSignals)) {
    try {
      // Detached: it only ever touches the two atomics above, and ends with the process.
      std::thread([stopSignals] {
        int signal = 0;
        while (::sigwait(&stopSignals, &signal) != 0) {
        }
        stopSignal.store(signal);
        stopRequested.store(true);
      }).detach();
    } catch (const std::system_error&) {
      // No one to take them: let them end the process as they would have.
      (void)::pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
    }
  }

  const std::uint32_t found = ProbePorts(&stopRequested);
  if (stopRequested.load()) return 128 + stopSignal.load();
  return static_cast<int>(found);
}
