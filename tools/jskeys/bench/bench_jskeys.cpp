// jskeys end to end under an Xvfb of its own: the time from a byte the simulated controller
// writes to the key event an X client receives, and the CPU jskeys takes while the shuttle
// repeats a key at 50 Hz.
//
//   build/default/tools/jskeys/bench/bench_jskeys   (inside the serial mask; needs Xvfb)

#include <benchmark/benchmark.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>

#include "BenchStats.h"
#include "ChildProcess.h"
#include "ControllerSim.h"
#include "TempDir.h"
#include "XServer.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kMap = R"(
[default.jog]
forward = "Right"
[default.shuttle]
1 = { send = "l", every_ms = 20 }
)";

// Xvfb, the simulator, jskeys and a recording window, set up once for all benchmarks.
struct Bench {
  jstesting::TempDir dir;
  jskeys_test::Xvfb xvfb;
  jssim::ControllerSim sim;
  jskeys_test::KeyRecorder keys;
  jstesting::ChildProcess tool;
  std::string error;

  bool Start() {
    if (!dir.Made()) return Fail("no temporary directory");
    std::ofstream(dir / "keys.toml") << kMap;
    if (!xvfb.Start(error)) return false;
    if (!keys.Open(xvfb.display())) return Fail("cannot open " + xvfb.display());
    keys.Focus(keys.MakeWindow("Bench"));
    if (!sim.Start(dir / "com3", {}, &error)) return false;
    if (!tool.Start({JSKEYS_PATH, "--config", dir / "keys.toml", "--backend", "x11"},
                    {.environment = {"JS_PORT_DIR=" + dir.path(), "DISPLAY=" + xvfb.display(),
                                     "HOME=" + dir.path()},
                     .ownEnvironment = true})) {
      return Fail("cannot start jskeys");
    }
    // The first stroke tells that the link is up.
    for (int tries = 0; tries < 100; ++tries) {
      sim.Send(Bytes{0x80, 0x01});
      if (!keys.Take(2, 100ms).empty()) {
        keys.Take(100, 200ms);  // whatever else was in flight
        return true;
      }
    }
    return Fail("jskeys sent nothing");
  }
  bool Fail(std::string why) {
    error = std::move(why);
    return false;
  }
};

// Ended at exit, with jskeys and the X server.
Bench* Shared() {
  static Bench bench;
  static const bool started = [] {
    if (!bench.Start()) std::fprintf(stderr, "bench_jskeys: %s\n", bench.error.c_str());
    return true;
  }();
  (void)started;
  return &bench;
}

// One jog step per stroke: the jog sums count every step, so no stroke can merge with another.
void BM_ByteToKeyEvent(benchmark::State& state) {
  Bench* bench = Shared();
  if (!bench->error.empty()) {
    state.SkipWithError(bench->error.c_str());
    return;
  }
  std::vector<double> micros;
  std::size_t lost = 0;
  for (auto _ : state) {
    bench->keys.Take(100, 0ms);  // a release, or a stroke that came after its time
    const auto sent = std::chrono::steady_clock::now();
    bench->sim.Send(Bytes{0x80, 0x01});
    bool arrived = false;
    while (!arrived) {
      const auto events = bench->keys.Take(1, 2s);
      if (events.empty()) break;
      arrived = events[0] == "Bench down Right";
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
  state.counters["p50_us"] = jskeys_bench::Percentile(micros, 0.50);
  state.counters["p99_us"] = jskeys_bench::Percentile(micros, 0.99);
  state.counters["max_us"] = jskeys_bench::Percentile(micros, 1.0);
  state.counters["late_2s"] = static_cast<double>(lost);
}
BENCHMARK(BM_ByteToKeyEvent)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

// User and system CPU time of a process, in clock ticks (/proc/PID/stat fields 14 and 15).
double CpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  double utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stod(field);
    if (i == 15) stime = std::stod(field);
  }
  return utime + stime;
}

void BM_ShuttleRepeatCpu(benchmark::State& state) {
  Bench* bench = Shared();
  if (!bench->error.empty()) {
    state.SkipWithError(bench->error.c_str());
    return;
  }
  constexpr auto kSpan = 4s;
  for (auto _ : state) {
    bench->sim.Send(Bytes{0x81, 0x00, 0x01});
    bench->keys.Take(2, 1s);  // the repeat has begun
    const double ticksBefore = CpuTicks(bench->tool.Pid());
    const auto start = std::chrono::steady_clock::now();
    std::size_t events = 0;
    while (std::chrono::steady_clock::now() - start < kSpan) events += bench->keys.Take(1000, 100ms).size();
    const double ticksAfter = CpuTicks(bench->tool.Pid());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    bench->sim.Send(Bytes{0x81, 0x00, 0x00});
    bench->keys.Take(1000, 300ms);
    const double cpuSeconds = (ticksAfter - ticksBefore) / static_cast<double>(sysconf(_SC_CLK_TCK));
    state.counters["cpu_percent"] = 100.0 * cpuSeconds / seconds;
    state.counters["strokes_per_s"] = static_cast<double>(events) / 2.0 / seconds;
  }
}
BENCHMARK(BM_ShuttleRepeatCpu)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
