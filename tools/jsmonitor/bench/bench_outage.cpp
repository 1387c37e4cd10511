// What losing the controller costs with the real jsmonitor: the log written while it is away
// (measured over an outage of N seconds, 10 by default, and given per 60 s), the time from
// the hang-up to the "disconnected" line, and from the controller's return to jsmonitor's
// "controller on COMn" line. With --port and without. Prints each figure and whether it meets
// its goal; exits 1 when one does not.
//
//   build/default/tools/jsmonitor/bench/bench_outage [SECONDS]

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "ChildProcess.h"
#include "ControllerSim.h"
#include "TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;

std::size_t CountLines(const std::string& text) {
  std::size_t lines = 0;
  for (const char c : text) lines += c == '\n' ? 1 : 0;
  return lines;
}

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool Report(const char* what, double value, const char* unit, double goal) {
  const bool met = value <= goal;
  std::printf("  %-36s %10.1f %-5s (goal <= %.0f %s) %s\n", what, value, unit, goal, unit,
              met ? "met" : "MISSED");
  return met;
}

bool Outage(bool withPort, int seconds) {
  jstesting::TempDir dir;
  if (!dir.Made()) return false;
  const std::string link = dir / "com2";
  jssim::ControllerSim sim;
  std::string error;
  if (!sim.Start(link, {}, &error)) {
    std::fprintf(stderr, "simulator: %s\n", error.c_str());
    return false;
  }
  jstesting::ChildProcess monitor;
  std::vector<std::string> words = {JSMONITOR_PATH};
  if (withPort) words.insert(words.end(), {"--port", "2"});
  if (!monitor.Start(words, {.environment = {"JS_PORT_DIR=" + dir.path()}, .ownEnvironment = true})) {
    return false;
  }
  const std::string found = "jsmonitor: controller on COM2";
  if (monitor.NextLine().rfind(found, 0) != 0 || monitor.NextLine().empty()) {
    std::fprintf(stderr, "jsmonitor did not find the simulator\n");
    return false;
  }

  std::printf("%s, an outage of %d s:\n", withPort ? "--port 2" : "COM1 to COM7", seconds);
  const auto hungUp = Clock::now();
  const std::size_t before = monitor.Errors().size();
  sim.HangUp();
  const std::string gone = monitor.NextLine(std::chrono::milliseconds(5000));
  const double disconnectMs = MsSince(hungUp);
  sim.Stop();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const std::string during = monitor.Errors().substr(before);

  const auto back = Clock::now();
  if (!sim.Start(link, {}, &error)) {
    std::fprintf(stderr, "simulator: %s\n", error.c_str());
    return false;
  }
  const std::string again = monitor.NextLine(std::chrono::milliseconds(10000));
  const double returnMs = MsSince(back);
  (void)monitor.Stop(SIGINT, std::chrono::milliseconds(3000));

  bool met = gone == found + " disconnected" && again.rfind(found, 0) == 0;
  if (!met) std::printf("  unexpected lines: '%s', '%s'\n", gone.c_str(), again.c_str());
  const double scale = 60.0 / seconds;
  met &= Report("log bytes per 60 s away", static_cast<double>(during.size()) * scale, "bytes",
                20.0 * 120);
  met &= Report("log lines per 60 s away", static_cast<double>(CountLines(during)) * scale,
                "lines", 120);
  met &= Report("hang-up to \"disconnected\"", disconnectMs, "ms", 1000);
  met &= Report("return to \"controller on COMn\"", returnMs, "ms", 2000);
  return met;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
  if (seconds <= 0) {
    std::fprintf(stderr, "usage: bench_outage [SECONDS]\n");
    return 2;
  }
  bool met = Outage(true, seconds);
  met &= Outage(false, seconds);
  return met ? 0 : 1;
}
