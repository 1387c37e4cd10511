// jsmonitor: finds the controller, opens the link and shows every change of its state; finds
// it again when it comes back after a loss; ends on a stop signal.

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "Display.h"
#include "LogSink.h"
#include "Monitor.h"
#include "MonitorOptions.h"
#include "OutputPort.h"
#include "PortCheck.h"
#include "Program.h"
#include "Recorder.h"
#include "SystemText.h"

namespace {

constexpr int kStandardOutput = 1;
constexpr int kStandardError = 2;

// Which log levels reach standard error. By default, on a terminal or not, warnings and
// failures only (levels 1 and 2): a line per change would drown them, and the changes are on
// standard output already. The search keeps itself quiet while the controller is away. -v or
// JS_LOG_LEVEL decide alone.
void SetLogLevels(bool verbose) {
  if (verbose) {
    jslog::SetStderrMaxLevel(std::numeric_limits<std::uint32_t>::max());
  } else if (!jslog::StderrLevelFromEnvironment()) {
    jslog::SetStderrMaxLevel(2);
  }
}

int List(const MonitorOptions& options, Display& out) {
  const std::vector<std::uint32_t> ports =
      options.port != 0 ? std::vector<std::uint32_t>{options.port}
                        : std::vector<std::uint32_t>{1, 2, 3, 4, 5, 6, 7};
  for (const std::uint32_t port : ports) {
    if (!out.Announce(ListLine(SerialJS::InspectPort(port, PortInfo::Look::kOpenable)))) break;
  }
  const int error = out.Error();
  return error == 0 || error == EPIPE ? kExitDone : kExitOutputFailed;
}

}  // namespace

int main(int argc, char** argv) {
  if (!jsprogram::Start("jsmonitor")) return kExitOutputFailed;
  EndEvenIfOutputHangs();

  MonitorOptions options;
  std::string error;
  if (!ParseMonitorOptions(jsprogram::Arguments(argc, argv), options, error)) {
    jsprogram::Say(error + "\nTry 'jsmonitor --help'.");
    return kExitUsage;
  }
  const bool live = IsLiveTerminal(kStandardOutput);
  Display out(kStandardOutput, live, &jsprogram::StopRequested);
  if (options.help) {
    std::string usage = MonitorUsage();
    while (!usage.empty() && usage.back() == '\n') usage.pop_back();
    out.Announce(usage);
    return kExitDone;
  }
  if (options.list) return List(options, out);

  SetLogLevels(options.verbose);
  if (live && IsLiveTerminal(kStandardError)) out.HookLog();

  Recorder recorder;
  if (!options.recordPath.empty() && !recorder.Open(options.recordPath, error)) {
    jsprogram::Say(error);
    // Stopped while a fifo waited for its reader: an end as asked for, with nothing recorded.
    return jsprogram::StopRequested() ? kExitDone : kExitOutputFailed;
  }

  Monitor monitor(options, out, recorder);
  int status = monitor.Run();
  jsprogram::MarkReleased();  // the link is closed
  if (!recorder.Close() && status == kExitDone) {
    jsprogram::Say(std::string("cannot write the record file: ") + std::strerror(recorder.Error()));
    status = kExitOutputFailed;
  }
  // What the log still has is written before the screen is let go of; the process then ends
  // whatever standard error does (the exit flush waits half a second at most).
  jslog::FlushStderr(200);
  out.UnhookLog();
  return status;
}
