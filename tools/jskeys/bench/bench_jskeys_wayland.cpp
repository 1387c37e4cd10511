// jskeys end to end under a headless sway of its own: the time from a byte the simulated
// controller writes to the key event wev receives through the Wayland virtual keyboard, and the
// CPU jskeys takes while the shuttle repeats a key at 50 Hz.
//
//   build/default/tools/jskeys/bench/bench_jskeys_wayland   (inside the serial mask; needs
//   sway and wev)

#include <benchmark/benchmark.h>

#include <fstream>
#include <memory>

#include "BenchStats.h"
#include "ChildProcess.h"
#include "ControllerSim.h"
#include "SwaySession.h"
#include "TempDir.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr const char* kMap = R"(
[default.jog]
forward = "Right"
[default.shuttle]
1 = { send = "l", every_ms = 20 }
)";

// sway, wev, the simulator and jskeys, set up once for all benchmarks.
struct Bench {
  jstesting::TempDir dir;
  jskeys_test::SwaySession sway;
  std::unique_ptr<jskeys_test::WevLog> wev;
  jssim::ControllerSim sim;
  jstesting::ChildProcess tool;
  std::string error;

  bool Start() {
    if (!dir.Made()) return Fail("no temporary directory");
    std::ofstream(dir / "keys.toml") << kMap;
    bool missing = false;
    if (!sway.Start(error, missing)) return false;
    wev = sway.StartWev(error);
    if (!wev) return false;
    if (!sim.Start(dir / "com3", {}, &error)) return false;
    jstesting::ChildSetup setup;
    setup.environment = sway.ClientEnvironment();
    setup.environment.insert(setup.environment.end(),
                             {"JS_PORT_DIR=" + dir.path(), "HOME=" + dir.path()});
    setup.ownEnvironment = true;
    if (!tool.Start({JSKEYS_PATH, "--config", dir / "keys.toml", "--backend", "wayland"}, setup)) {
      return Fail("cannot start jskeys");
    }
    // The first stroke tells that the link is up and the keyboard in use.
    for (int tries = 0; tries < 100; ++tries) {
      sim.Send(Bytes{0x80, 0x01});
      for (auto events = wev->Take(1, 100ms); !events.empty(); events = wev->Take(1, 100ms)) {
        if (events[0] == "up Right") {
          wev->Take(100, 200ms);  // whatever else was in flight
          return true;
        }
      }
    }
    return Fail("jskeys sent nothing: " + tool.Errors());
  }
  bool Fail(std::string why) {
    error = std::move(why);
    return false;
  }
};

// Ended at exit, with jskeys and sway.
Bench* Shared() {
  static Bench bench;
  static const bool started = [] {
    if (!bench.Start()) std::fprintf(stderr, "bench_jskeys_wayland: %s\n", bench.error.c_str());
    return true;
  }();
  (void)started;
  return &bench;
}

// One jog step per stroke: the jog sums count every step, so no stroke can merge with another.
void BM_ByteToWaylandKeyEvent(benchmark::State& state) {
  Bench* bench = Shared();
  if (!bench->error.empty()) {
    state.SkipWithError(bench->error.c_str());
    return;
  }
  std::vector<double> micros;
  std::size_t lost = 0;
  for (auto _ : state) {
    bench->wev->Take(100, 0ms);  // a release, or a stroke that came after its time
    const auto sent = std::chrono::steady_clock::now();
    bench->sim.Send(Bytes{0x80, 0x01});
    bool arrived = false;
    while (!arrived) {
      const auto events = bench->wev->Take(1, 2s);
      if (events.empty()) break;
      arrived = events[0] == "down Right";
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
BENCHMARK(BM_ByteToWaylandKeyEvent)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

void BM_ShuttleRepeatCpuWayland(benchmark::State& state) {
  Bench* bench = Shared();
  if (!bench->error.empty()) {
    state.SkipWithError(bench->error.c_str());
    return;
  }
  constexpr auto kSpan = 10s;
  for (auto _ : state) {
    bench->sim.Send(Bytes{0x81, 0x00, 0x01});
    bench->wev->Take(2, 1s);  // the repeat has begun
    const double cpuBefore = jskeys_bench::CpuSeconds(bench->tool.Pid());
    const auto start = std::chrono::steady_clock::now();
    std::size_t events = 0;
    while (std::chrono::steady_clock::now() - start < kSpan) events += bench->wev->Take(1000, 100ms).size();
    const double cpuAfter = jskeys_bench::CpuSeconds(bench->tool.Pid());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    bench->sim.Send(Bytes{0x81, 0x00, 0x00});
    bench->wev->Take(1000, 300ms);
    state.counters["cpu_percent"] = 100.0 * (cpuAfter - cpuBefore) / seconds;
    state.counters["strokes_per_s"] = static_cast<double>(events) / 2.0 / seconds;
  }
}
BENCHMARK(BM_ShuttleRepeatCpuWayland)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
