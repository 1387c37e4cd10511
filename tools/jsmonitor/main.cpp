// jsmonitor: finds the controller, opens the link and shows every change of its state; finds
// it again when it comes back after a loss; ends on SIGINT, SIGTERM or SIGHUP.

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "Display.h"
#include "LogSink.h"
#include "Monitor.h"
#include "MonitorOptions.h"
#include "PortCheck.h"
#include "Recorder.h"
#include "StandardDescriptors.h"

namespace {

std::atomic<int> g_stop{0};
static_assert(std::atomic<int>::is_always_lock_free);
pthread_t g_mainThread;

// Without SA_RESTART, so that a write blocked on the main thread ends at once. When another
// thread takes the signal, it is passed on to the main thread for the same reason.
void RequestStop(int signal) {
  g_stop.store(1);
  if (pthread_equal(pthread_self(), g_mainThread) == 0) (void)pthread_kill(g_mainThread, signal);
}

bool StopRequested() { return g_stop.load() != 0; }

void HandleSignals() {
  g_mainThread = pthread_self();
  struct sigaction stop {};
  stop.sa_handler = &RequestStop;
  sigemptyset(&stop.sa_mask);
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    sigaction(signal, &stop, nullptr);
    sigaddset(&stopSignals, signal);
  }
  pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);  // an inherited block would deafen us
  // A reader of standard output that goes away shows as EPIPE on the next write, not as death.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

// Which log levels reach standard error. By default a terminal sees failures only (levels 1
// and 2), and while the controller is away, levels 1 only, so that looking for it every
// second stays quiet; -v or JS_LOG_LEVEL decide alone.
class LogLevels {
 public:
  LogLevels(bool verbose, bool stderrIsTerminal) {
    constexpr std::uint32_t kEverything = std::numeric_limits<std::uint32_t>::max();
    if (verbose) {
      jslog::SetStderrMaxLevel(kEverything);
    } else if (!jslog::StderrLevelFromEnvironment()) {
      steer_ = true;
      normal_ = stderrIsTerminal ? 2 : kEverything;
      jslog::SetStderrMaxLevel(normal_);
    }
  }
  void Quiet(bool quiet) const {
    if (steer_) jslog::SetStderrMaxLevel(quiet ? 1 : normal_);
  }

 private:
  bool steer_ = false;
  std::uint32_t normal_ = 0;
};

int List(const MonitorOptions& options, Display& out) {
  const std::vector<std::uint32_t> ports =
      options.port != 0 ? std::vector<std::uint32_t>{options.port}
                        : std::vector<std::uint32_t>{1, 2, 3, 4, 5, 6, 7};
  for (const std::uint32_t port : ports) {
    if (!out.Announce(ListLine(InspectPort(port, true)))) break;
  }
  const int error = out.Error();
  return error == 0 || error == EPIPE ? kExitDone : kExitOutputFailed;
}

// Whatever standard error is doing, the process ends soon after main returns: the link is
// closed and the port released by then, and only the log's last lines could hold it up.
void EndSoon(int status) {
  std::thread([status] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ::_exit(status);
  }).detach();
}

}  // namespace

int main(int argc, char** argv) {
  if (!jstools::EnsureStandardDescriptors()) return kExitOutputFailed;
  HandleSignals();
  Display errors(STDERR_FILENO, false, &StopRequested);

  MonitorOptions options;
  std::string error;
  if (!ParseMonitorOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
    errors.Announce("jsmonitor: " + error + "\nTry 'jsmonitor --help'.");
    return kExitUsage;
  }
  const bool live = isatty(STDOUT_FILENO) == 1;
  Display out(STDOUT_FILENO, live, &StopRequested);
  if (options.help) {
    std::string usage = MonitorUsage();
    while (!usage.empty() && usage.back() == '\n') usage.pop_back();
    out.Announce(usage);
    return kExitDone;
  }
  if (options.list) return List(options, out);

  const bool stderrIsTerminal = isatty(STDERR_FILENO) == 1;
  const LogLevels levels(options.verbose, stderrIsTerminal);
  if (live && stderrIsTerminal) out.HookLog();

  Recorder recorder;
  if (!options.recordPath.empty() && !recorder.Open(options.recordPath, error)) {
    errors.Announce("jsmonitor: " + error);
    return kExitOutputFailed;
  }

  Monitor monitor(options, out, errors, recorder,
                  {&StopRequested, [&levels](bool quiet) { levels.Quiet(quiet); }});
  int status = monitor.Run();
  if (!recorder.Close() && status == kExitDone) {
    errors.Announce(std::string("jsmonitor: cannot write the record file: ") +
                    std::strerror(recorder.Error()));
    status = kExitOutputFailed;
  }
  jslog::FlushStderr(200);
  out.UnhookLog();
  EndSoon(status);
  return status;
}
