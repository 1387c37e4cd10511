// jskeys end to end under a headless sway of its own: the time from a byte the simulated
// controller writes to the key event wev receives through the Wayland virtual keyboard, and the
// CPU jskeys takes while the shuttle repeats a key at 50 Hz.
//
//   build/default/tools/jskeys/bench/bench_jskeys_wayland   (inside the serial mask; needs
//   sway and wev)

#include <memory>

#include "BenchRuns.h"
#include "SwaySession.h"

namespace {

using namespace std::chrono_literals;

// sway and wev beside the simulator and jskeys.
struct Bench : jskeys_bench::BenchBase {
  jskeys_test::SwaySession sway;
  std::unique_ptr<jskeys_test::WevLog> wev;

  bool Start() {
    bool missing = false;
    if (!sway.Start(error, missing)) return false;
    wev = sway.StartWev(error);
    if (!wev) return false;
    return StartSimulator() && StartTool("wayland", sway.ClientEnvironment()) &&
           AwaitFirstStroke(*wev, "up Right");
  }
};

void BM_ByteToWaylandKeyEvent(benchmark::State& state) {
  if (Bench* bench = jskeys_bench::Shared<Bench>(state, "bench_jskeys_wayland")) {
    jskeys_bench::ByteToKeyEvent(state, *bench, *bench->wev, "down Right");
  }
}
BENCHMARK(BM_ByteToWaylandKeyEvent)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

void BM_ShuttleRepeatCpuWayland(benchmark::State& state) {
  if (Bench* bench = jskeys_bench::Shared<Bench>(state, "bench_jskeys_wayland")) {
    jskeys_bench::ShuttleRepeatCpu(state, *bench, *bench->wev, 10s);
  }
}
BENCHMARK(BM_ShuttleRepeatCpuWayland)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
