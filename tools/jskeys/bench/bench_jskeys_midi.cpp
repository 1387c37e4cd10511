// jskeys end to end with MIDI, under a JACK server of the bench's own (the dummy driver, 256
// frames at 48 kHz, synchronous): from a jog byte the simulated controller writes, through
// jskeys and its MIDI port, to the event a recording client hears; what is lost when 10,000
// steps come at the controller's wire speed; and the CPU jskeys takes while the jog turns at
// 50 Hz. jskeys sends its keys through XTest on an Xvfb of the bench's own: it needs a way to
// send keys whatever its map does.
//
//   build/default/tools/jskeys/bench/bench_jskeys_midi   (inside the serial mask; needs Xvfb
//   and jackd)

#include <signal.h>

#include <thread>

#include "BenchRuns.h"
#include "JackSession.h"
#include "XServer.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using jskeys_bench::Bytes;

constexpr const char* kMidiMap = R"(
[default.jog]
forward = { midi = "cc", cc = 16, value = 1 }
back = { midi = "cc", cc = 16, value = 65 }
[midi]
connect = ["^recorder:in$"]
)";

const Bytes kForward{0x80, 0x01}, kBack{0x80, 0xFF};
const std::vector<std::uint8_t> kForwardEvent{0xB0, 16, 1}, kBackEvent{0xB0, 16, 65};

double FramesToMs(std::int32_t frames) {
  return frames * 1000.0 / static_cast<double>(jskeys_test::kJackRate);
}

struct Bench : jskeys_bench::BenchBase {
  // The display, made before the bench and so ended after it.
  jskeys_test::Xvfb& xvfb = jskeys_test::Xvfb::Shared();
  jskeys_test::JackServer jack;
  jskeys_test::JackRecorder recorder;

  // jskeys leaves the server before it stops: a server ends cleanly, or keeps its place in the
  // machine's register of eight.
  ~Bench() {
    if (tool.Running()) tool.Stop(SIGTERM, 5s);
  }
  bool Start() {
    if (!jskeys_test::JackServer::Installed()) return Fail("jackd is not installed");
    if (!xvfb.Running() && !xvfb.Start(error)) return false;
    if (!jack.Start(error)) return false;
    if (!recorder.Open("recorder", error)) return false;
    if (!StartSimulator(kMidiMap) ||
        !StartTool("x11", {"DISPLAY=" + xvfb.display(), "JACK_DEFAULT_SERVER=" + jack.Name()}) ||
        !AwaitLink()) {
      return false;
    }
    for (const auto end = Clock::now() + 30s; !recorder.ConnectedTo("jskeys:midi_out");
         std::this_thread::sleep_for(50ms)) {
      if (Clock::now() > end) return Fail("jskeys never connected to the recorder: " + tool.Errors());
    }
    sim.Send(kForward);
    if (recorder.WaitFor(1, 10s).empty()) return Fail("the recorder heard nothing: " + tool.Errors());
    return true;
  }
};

Bench* Shared(benchmark::State& state) {
  return jskeys_bench::Shared<Bench>(state, "bench_jskeys_midi");
}

// From the byte written to the recording client's period that takes the event. The frame
// times would say when it sounds, but between periods they are guessed from the clock, and a
// busy machine's synchronous server stretches its periods: the clock is the truer measure.
void BM_ByteToHeardEvent(benchmark::State& state) {
  Bench* bench = Shared(state);
  if (bench == nullptr) return;
  std::vector<double> ms;
  std::size_t late = 0;
  const int xruns = bench->recorder.Xruns();
  for (auto _ : state) {
    bench->recorder.Take();  // anything that came after its time
    const auto sent = Clock::now();
    bench->sim.Send(kForward);
    const std::vector<jskeys_test::HeardEvent> heard = bench->recorder.WaitFor(1, 2s);
    if (heard.empty()) {
      ++late;  // later than 2 s
      continue;
    }
    const double took = std::chrono::duration<double, std::milli>(heard[0].heardAt - sent).count();
    state.SetIterationTime(took / 1e3);
    ms.push_back(took);
  }
  if (!jskeys_bench::ReportMilliseconds(state, ms, late, "late_2s",
                                        "nothing was heard; jskeys said: " +
                                            bench->tool.Errors())) {
    return;
  }
  state.counters["period_ms"] = FramesToMs(jskeys_test::kJackPeriod);
  state.counters["xruns"] = bench->recorder.Xruns() - xruns;
}
BENCHMARK(BM_ByteToHeardEvent)->UseManualTime()->Iterations(500)->Unit(benchmark::kMillisecond);

// 10,000 steps, two forward and one back over and over, as fast as the wire brings them (19200
// baud: a step's two bytes take 1.04 ms), written every 10 ms as what the wire has carried by
// then. `wrong_order` counts the events heard that differ from the step sent in their place
// (it means something only with nothing lost).
void BM_WireSpeedJog(benchmark::State& state) {
  constexpr int kSteps = 10000;
  constexpr auto kStepTime = std::chrono::microseconds(1042);
  Bench* bench = Shared(state);
  if (bench == nullptr) return;
  for (auto _ : state) {
    bench->recorder.Take();
    const int xruns = bench->recorder.Xruns();
    std::vector<std::vector<std::uint8_t>> expected;
    Bytes chunk;
    const auto start = Clock::now();
    for (int step = 0; step < kSteps;) {
      const auto due = std::min<long>(kSteps, (Clock::now() - start) / kStepTime + 1);
      chunk.clear();
      for (; step < due; ++step) {
        const bool back = step % 3 == 2;
        const Bytes& bytes = back ? kBack : kForward;
        chunk.insert(chunk.end(), bytes.begin(), bytes.end());
        expected.push_back(back ? kBackEvent : kForwardEvent);
      }
      bench->sim.Send(chunk);
      std::this_thread::sleep_for(10ms);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const std::vector<jskeys_test::HeardEvent> heard = bench->recorder.WaitFor(kSteps, 10s);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < heard.size(); ++i) {
      if (i >= expected.size() || heard[i].bytes != expected[i]) ++wrong;
    }
    state.counters["lost"] = static_cast<double>(kSteps) - static_cast<double>(heard.size());
    state.counters["wrong_order"] = static_cast<double>(wrong);
    state.counters["steps_per_s"] = kSteps / seconds;
    state.counters["xruns"] = bench->recorder.Xruns() - xruns;
  }
}
BENCHMARK(BM_WireSpeedJog)->Iterations(1)->Unit(benchmark::kMillisecond);

// The jog turned steadily, a step every 20 ms, for 5 s.
void BM_JogAt50HzCpu(benchmark::State& state) {
  constexpr int kSteps = 250;
  Bench* bench = Shared(state);
  if (bench == nullptr) return;
  for (auto _ : state) {
    bench->recorder.Take();
    const double cpuBefore = jskeys_bench::CpuSeconds(bench->tool.Pid());
    const auto start = Clock::now();
    auto next = start;
    for (int step = 0; step < kSteps; ++step) {
      bench->sim.Send(kForward);
      next += 20ms;
      std::this_thread::sleep_until(next);
    }
    const double cpuAfter = jskeys_bench::CpuSeconds(bench->tool.Pid());
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const std::size_t heard = bench->recorder.WaitFor(kSteps, 5s).size();
    state.counters["cpu_percent"] = 100.0 * (cpuAfter - cpuBefore) / seconds;
    state.counters["lost"] = static_cast<double>(kSteps) - static_cast<double>(heard);
  }
}
BENCHMARK(BM_JogAt50HzCpu)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
