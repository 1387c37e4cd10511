// Times the real jsprobe: over seven silent ports (against their 2.94 s of pauses), and finding a
// controller on COM1 that answers at once (against 25 ms of pauses); with its CPU time and peak
// memory. Prints the figures and whether each meets its goal; exits 1 when one does not.
// Under the Wine bench (.ci/wine-tests.sh BUILD_WINDOWS BUILD_DEFAULT bench_probe) it also times
// jsprobe.exe under Wine over the same seven silent ports, as a ratio to jsprobe's time.

#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "ControllerSim.h"
#include "ChildProcess.h"
#include "TempDir.h"

namespace {

using jstesting::ProgramRun;
using jstesting::RunProgram;

struct Timed {
  ProgramRun run;
  double wallSeconds;
};

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : value;
}

// jsprobe with its ports in dir; or, with wine set, jsprobe.exe under the bench's Wine, whose
// prefix maps COM1 to COM7 into the bench's port directory.
Timed TimeProbe(const std::string& dir, bool wine = false) {
  const auto start = std::chrono::steady_clock::now();
  ProgramRun run =
      wine ? RunProgram(Environment("JS_WINE"), {Environment("JS_WINE_PROBE")},
                        {"LD_PRELOAD=" + Environment("JS_WINE_PRELOAD"), "JS_PORT_DIR=" + dir})
           : RunProgram(JSPROBE_PATH, {}, {"JS_PORT_DIR=" + dir});
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return {run, wall};
}

bool Report(const char* what, double value, const char* unit, double goal) {
  const bool met = value <= goal;
  std::printf("%-36s %9.3f %-3s (goal <= %.3f %s) %s\n", what, value, unit, goal, unit,
              met ? "met" : "MISSED");
  return met;
}

// Seven silent controllers on COM1 to COM7 in dir; none when one cannot start.
std::vector<std::unique_ptr<jssim::ControllerSim>> SilentPorts(const std::string& dir) {
  std::vector<std::unique_ptr<jssim::ControllerSim>> silent;
  for (int n = 1; n <= 7; ++n) {
    silent.push_back(std::make_unique<jssim::ControllerSim>());
    std::string error;
    if (!silent.back()->Start(dir + "/com" + std::to_string(n), {.silent = true}, &error)) {
      std::fprintf(stderr, "simulator: %s\n", error.c_str());
      return {};
    }
  }
  return silent;
}

}  // namespace

int main() {
  const jstesting::TempDir portDir;
  if (!portDir.Made()) return 2;
  const std::string& dir = portDir.path();
  bool allMet = true;
  double linuxSilent = 0;
  {
    auto silent = SilentPorts(dir);
    if (silent.empty()) return 2;
    const Timed timed = TimeProbe(dir);
    linuxSilent = timed.wallSeconds;
    if (timed.run.exitStatus != 0) std::fprintf(stderr, "unexpected exit status %d\n", timed.run.exitStatus);
    constexpr double kPauses = 7 * 0.420;
    std::printf("seven silent ports: exit %d, %zu log lines\n", timed.run.exitStatus, timed.run.lines.size());
    allMet &= Report("  wall time", timed.wallSeconds, "s", 1.05 * kPauses);
    std::printf("  %-34s %9.3f\n", "wall / pauses", timed.wallSeconds / kPauses);
    allMet &= Report("  CPU time", timed.run.cpuSeconds * 1e3, "ms", 50);
    std::printf("  %-34s %9ld KiB\n", "peak memory (max RSS)", timed.run.maxRssKiB);
  }
  if (const std::string wineDir = Environment("JS_WINE_PORT_DIR");
      !wineDir.empty() && !Environment("JS_WINE_PROBE").empty()) {
    auto silent = SilentPorts(wineDir);
    if (silent.empty()) return 2;
    const Timed timed = TimeProbe(wineDir, true);
    if (timed.run.exitStatus != 0) std::fprintf(stderr, "unexpected exit status %d\n", timed.run.exitStatus);
    std::printf("seven silent ports, jsprobe.exe under Wine: exit %d\n", timed.run.exitStatus);
    std::printf("  %-34s %9.3f s\n", "wall time", timed.wallSeconds);
    std::printf("  %-34s %9.3f\n", "Wine / Linux", timed.wallSeconds / linuxSilent);
  } else {
    std::printf("jsprobe.exe under Wine: not timed (run under .ci/wine-tests.sh for that)\n");
  }
  {
    jssim::ControllerSim answering;
    std::string error;
    if (!answering.Start(dir + "/com1", {}, &error)) return 2;
    Timed best{{}, 1e9};
    for (int i = 0; i < 5; ++i) {  // the best of five: process start-up is noisy here
      Timed timed = TimeProbe(dir);
      if (timed.wallSeconds < best.wallSeconds) best = timed;
    }
    std::printf("controller on COM1: exit %d\n", best.run.exitStatus);
    allMet &= Report("  wall time (best of 5)", best.wallSeconds * 1e3, "ms", 60);
    std::printf("  %-34s %9ld KiB\n", "peak memory (max RSS)", best.run.maxRssKiB);
  }
  return allMet ? 0 : 1;
}
