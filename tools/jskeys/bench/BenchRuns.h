#pragma once
// What the jskeys benchmarks do alike, whatever receives the strokes (an X window, wev under
// sway): the map, the simulator and jskeys set up once, the time from a jog byte to its key
// event, and the CPU jskeys takes while the shuttle repeats a key at 50 Hz.

#include <benchmark/benchmark.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "ChildProcess.h"
#include "ControllerSim.h"
#include "ProcStat.h"
#include "TempDir.h"

namespace jskeys_bench {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

inline constexpr const char* kMap = R"(
[default.jog]
forward = "Right"
[default.shuttle]
1 = { send = "l", every_ms = 20 }
)";

inline double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const std::size_t index =
      std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())));
  return values[index];
}

// A run's latencies as p50_ms and p99_ms, and how many came later than the run waited
// (counter `lateName`); false, and the run skipped saying `why`, when none came at all.
inline bool ReportMilliseconds(benchmark::State& state, const std::vector<double>& ms,
                               std::size_t late, const char* lateName, const std::string& why) {
  if (ms.empty()) {
    state.SkipWithError(why.c_str());
    return false;
  }
  state.counters["p50_ms"] = Percentile(ms, 0.50);
  state.counters["p99_ms"] = Percentile(ms, 0.99);
  state.counters[lateName] = static_cast<double>(late);
  return true;
}

// Seconds on a CPU, all threads of the process together: from each thread's schedstat (in
// nanoseconds) where the kernel keeps it, else utime and stime of its stat (in clock ticks).
inline double CpuSeconds(pid_t pid) {
  const std::string process = std::to_string(pid);
  double nanoseconds = 0;
  bool schedstat = true;
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + process + "/task", error)) {
    std::ifstream in(task.path() / "schedstat");
    double onCpu = 0;
    if (!(in >> onCpu)) schedstat = false;
    nanoseconds += onCpu;
  }
  if (schedstat && !error) return nanoseconds / 1e9;
  const std::string stat = jsposix::ReadProcStat(process);
  const auto user = jsposix::ProcStatField(stat, 14), system = jsposix::ProcStatField(stat, 15);
  if (!user || !system) return -1;
  return static_cast<double>(*user + *system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The simulator and jskeys on a map (kMap unless the bench gives its own); a bench adds what
// receives the strokes or the commands.
struct BenchBase {
  jstesting::TempDir dir;
  jssim::ControllerSim sim;
  jstesting::ChildProcess tool;
  std::string error;

  bool Fail(std::string why) {
    error = std::move(why);
    return false;
  }
  bool StartSimulator(std::string_view map = kMap) {
    if (!dir.Made()) return Fail("no temporary directory");
    std::ofstream(dir / "keys.toml") << map;
    return sim.Start(dir / "com3", {}, &error);
  }
  // `environment`: what the backend needs to reach the display; nothing else of ours.
  bool StartTool(const char* backend, std::vector<std::string> environment) {
    environment.insert(environment.end(), {"JS_PORT_DIR=" + dir.path(), "HOME=" + dir.path()});
    if (tool.Start({JSKEYS_PATH, "--config", dir / "keys.toml", "--backend", backend},
                   {.environment = std::move(environment), .ownEnvironment = true})) {
      return true;
    }
    return Fail("cannot start jskeys");
  }
  // Until jskeys has the controller: what it does before that has no byte to start from.
  bool AwaitLink() {
    if (tool.WaitForError("jskeys: controller on COM3", 30s)) return true;
    return Fail("jskeys never found the controller: " + tool.Errors());
  }
  // The first stroke (`up`, as `keys` tells it) tells that the link is up and the output works.
  template <typename Keys>
  bool AwaitFirstStroke(Keys& keys, std::string_view up) {
    for (int tries = 0; tries < 100; ++tries) {
      sim.Send(Bytes{0x80, 0x01});
      for (auto events = keys.Take(1, 100ms); !events.empty(); events = keys.Take(1, 100ms)) {
        if (events[0] != up) continue;
        keys.Take(100, 200ms);  // whatever else was in flight
        return true;
      }
    }
    return Fail("jskeys sent nothing: " + tool.Errors());
  }
};

// The bench of one program, started on first use and ended at exit, with jskeys and the
// display; nothing when it could not start, which the benchmark reports.
template <typename Bench>
Bench* Shared(benchmark::State& state, const char* program) {
  static Bench bench;
  static const bool started = [program] {
    if (!bench.Start()) std::fprintf(stderr, "%s: %s\n", program, bench.error.c_str());
    return true;
  }();
  (void)started;
  if (bench.error.empty()) return &bench;
  state.SkipWithError(bench.error.c_str());
  return nullptr;
}

// One jog step per stroke: the jog sums count every step, so no stroke can merge with another.
template <typename Keys>
void ByteToKeyEvent(benchmark::State& state, BenchBase& bench, Keys& keys, std::string_view down) {
  std::vector<double> micros;
  std::size_t lost = 0;
  for (auto _ : state) {
    keys.Take(100, 0ms);  // a release, or a stroke that came after its time
    const auto sent = std::chrono::steady_clock::now();
    bench.sim.Send(Bytes{0x80, 0x01});
    bool arrived = false;
    while (!arrived) {
      const auto events = keys.Take(1, 2s);
      if (events.empty()) break;
      arrived = events[0] == down;
    }
    const auto got = std::chrono::steady_clock::now();
    if (!arrived) {
      ++lost;  // later than 2 s
      continue;
    }
    const double elapsed = std::chrono::duration<double>(got - sent).count();
    state.SetIterationTime(elapsed);
    micros.push_back(elapsed * 1e6);
  }
  if (micros.empty()) {
    state.SkipWithError("no stroke arrived");
    return;
  }
  state.counters["p50_us"] = Percentile(micros, 0.50);
  state.counters["p99_us"] = Percentile(micros, 0.99);
  state.counters["max_us"] = Percentile(micros, 1.0);
  state.counters["late_2s"] = static_cast<double>(lost);
}

// Shuttle position 1 held for `span`.
template <typename Keys>
void ShuttleRepeatCpu(benchmark::State& state, BenchBase& bench, Keys& keys,
                      std::chrono::seconds span) {
  for (auto _ : state) {
    bench.sim.Send(Bytes{0x81, 0x00, 0x01});
    keys.Take(2, 1s);  // the repeat has begun
    const double cpuBefore = CpuSeconds(bench.tool.Pid());
    const auto start = std::chrono::steady_clock::now();
    std::size_t events = 0;
    while (std::chrono::steady_clock::now() - start < span) events += keys.Take(1000, 100ms).size();
    const double cpuAfter = CpuSeconds(bench.tool.Pid());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    bench.sim.Send(Bytes{0x81, 0x00, 0x00});
    keys.Take(1000, 300ms);
    state.counters["cpu_percent"] = 100.0 * (cpuAfter - cpuBefore) / seconds;
    state.counters["strokes_per_s"] = static_cast<double>(events) / 2.0 / seconds;
  }
}

}  // namespace jskeys_bench
