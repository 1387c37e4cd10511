// jskeys end to end under an Xvfb of its own: the time from a byte the simulated controller
// writes to the key event an X client receives, and the CPU jskeys takes while the shuttle
// repeats a key at 50 Hz.
//
//   build/default/tools/jskeys/bench/bench_jskeys   (inside the serial mask; needs Xvfb)

#include "BenchRuns.h"
#include "XServer.h"

namespace {

using namespace std::chrono_literals;

// Xvfb and a recording window beside the simulator and jskeys.
struct Bench : jskeys_bench::BenchBase {
  jskeys_test::Xvfb xvfb;
  jskeys_test::KeyRecorder keys;

  bool Start() {
    if (!xvfb.Start(error)) return false;
    if (!keys.Open(xvfb.display())) return Fail("cannot open " + xvfb.display());
    keys.Focus(keys.MakeWindow("Bench"));
    return StartSimulator() && StartTool("x11", {"DISPLAY=" + xvfb.display()}) &&
           AwaitFirstStroke(keys, "Bench up Right");
  }
};

void BM_ByteToKeyEvent(benchmark::State& state) {
  if (Bench* bench = jskeys_bench::Shared<Bench>(state, "bench_jskeys")) {
    jskeys_bench::ByteToKeyEvent(state, *bench, bench->keys, "Bench down Right");
  }
}
BENCHMARK(BM_ByteToKeyEvent)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

void BM_ShuttleRepeatCpu(benchmark::State& state) {
  if (Bench* bench = jskeys_bench::Shared<Bench>(state, "bench_jskeys")) {
    jskeys_bench::ShuttleRepeatCpu(state, *bench, bench->keys, 4s);
  }
}
BENCHMARK(BM_ShuttleRepeatCpu)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
