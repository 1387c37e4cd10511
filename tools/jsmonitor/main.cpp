// jsmonitor: finds the controller, opens the link and shows every change of its state until
// SIGINT or SIGTERM.

#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "MonitorOptions.h"
#include "SerialJS.h"
#include "StateLine.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void RequestStop(int) { g_stop = 1; }

void HandleStopSignals() {
  struct sigaction action {};
  action.sa_handler = &RequestStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// The first port from `first` to `last` whose controller answers, opened; null when none does.
std::unique_ptr<SerialJS> OpenController(std::uint32_t first, std::uint32_t last) {
  for (std::uint32_t port = first; port <= last && g_stop == 0; ++port) {
    auto link = std::make_unique<SerialJS>(port);
    if (link->Open()) return link;
  }
  return nullptr;
}

// The input wait is bounded so that a stop request is seen within this time.
constexpr std::uint32_t kStopCheckMs = 250;

}  // namespace

int main(int argc, char** argv) {
  MonitorOptions options;
  std::string error;
  if (!ParseMonitorOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
    std::fprintf(stderr, "jsmonitor: %s\nTry 'jsmonitor --help'.\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(kMonitorUsage, stdout);
    return 0;
  }
  HandleStopSignals();

  std::unique_ptr<SerialJS> link = options.port != 0 ? OpenController(options.port, options.port)
                                                     : OpenController(1, 7);
  if (g_stop != 0) return 0;
  if (!link) {
    if (options.port != 0) {
      std::fprintf(stderr,
                   "jsmonitor: no controller answered on COM%u (the log above says why)\n",
                   options.port);
    } else {
      std::fprintf(stderr, "jsmonitor: no controller answered on COM1 to COM7\n");
    }
    return 1;
  }
  std::printf("jsmonitor: controller on COM%u\n", link->PortNumber());
  link->SetModifierMasks(options.cModifiers, options.sModifiers);
  if (options.reset) link->Reset();

  const bool live = isatty(STDOUT_FILENO) == 1;
  auto show = [live](const JogShuttleState& state) {
    if (live) {
      std::printf("\r%s\x1b[K", StateLine(state).c_str());  // one line, rewritten in place
    } else {
      std::printf("%s\n", StateLine(state).c_str());
    }
    std::fflush(stdout);
  };
  JogShuttleState shown = link->State();
  show(shown);
  while (g_stop == 0) {
    if (!link->WaitForInput(kStopCheckMs)) continue;
    const JogShuttleState state = link->State();
    if (SameShown(state, shown)) continue;
    shown = state;
    show(shown);
  }
  link->Close();
  if (live) std::printf("\n");
  std::printf("jsmonitor: stopped\n");
  return 0;
}
