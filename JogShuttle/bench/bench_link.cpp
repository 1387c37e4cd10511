// The link on a pseudo-terminal with a simulated controller: how fast a byte from the
// controller reaches a waiting client, what an idle link costs, and how long Close takes.

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "ControllerSim.h"
#include "LogSink.h"
#include "SerialJS.h"
#include "TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

class QuietSink final : public jslog::LogSink {
 public:
  void Write(std::uint32_t, std::uint32_t, std::string_view) noexcept override {}
};

// A controller on COM1 in a port directory of our own.
class Bench {
 public:
  Bench() : scope_(sink_) {
    if (!dir_.Made()) std::abort();
    setenv("JS_PORT_DIR", dir_.path().c_str(), 1);
    std::string error;
    if (!sim.Start(dir_ / "com1", {}, &error)) {
      std::fprintf(stderr, "simulator: %s\n", error.c_str());
      std::abort();
    }
  }
  ~Bench() { sim.Stop(); }
  jssim::ControllerSim sim;

 private:
  QuietSink sink_;
  jslog::ScopedLogSink scope_;
  jstesting::TempDir dir_;
};

double CpuMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

double Percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
  return values[index];
}

// From a byte written on the controller's side to WaitForInput returning on the client's.
void InputLatency(benchmark::State& state) {
  Bench bench;
  SerialJS link(1);
  if (!link.Open()) {
    state.SkipWithError("Open failed");
    return;
  }
  link.WaitForInput(0);
  std::vector<double> micros;
  std::uint8_t key = 0x40;  // press and release in turn: each one is a reported change
  for (auto _ : state) {
    const std::uint8_t byte[] = {key};
    const auto start = Clock::now();
    bench.sim.Send(byte);
    if (!link.WaitForInput(1000)) {
      state.SkipWithError("no input event within a second");
      break;
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    key = key == 0x40 ? 0x60 : 0x40;
  }
  link.Close();
  if (micros.empty()) return;
  state.counters["p50_us"] = Percentile(micros, 0.50);
  state.counters["p99_us"] = Percentile(micros, 0.99);
  state.counters["max_us"] = Percentile(micros, 1.0);
}
BENCHMARK(InputLatency)->Iterations(3000)->Unit(benchmark::kMicrosecond)->UseRealTime();

// 100,000 key messages through the change queue, paced at the line's own speed (19200 baud, 10
// bits a byte: 521 us each) or in writes of 1,000 at once: how many changes were lost, and the
// time from a message's write on the controller's side to NextChange giving it on the client's.
// (InputLatency above is the same time for the state path.)
void ChangesFromTheWire(benchmark::State& state) {
  const bool bursts = state.range(0) != 0;
  constexpr int kMessages = 100'000;
  constexpr int kBurst = 1'000;
  Bench bench;
  SerialJS link(1);
  link.KeepChanges();
  if (!link.Open()) {
    state.SkipWithError("Open failed");
    return;
  }
  JogShuttleChange change;
  while (link.NextChange(change, 100)) {
  }  // the handshake's status replies
  std::vector<std::atomic<std::int64_t>> sent(kMessages);
  std::vector<double> micros;
  micros.reserve(kMessages);
  std::uint64_t lost = 0;
  for (auto _ : state) {
    std::thread client([&] {
      std::size_t seen = 0;
      while (seen < kMessages && link.NextChange(change, 5000)) {
        if (change.kind == JogShuttleChange::Kind::kLost) {
          lost += change.lost;
          seen += change.lost;
        } else if (change.kind == JogShuttleChange::Kind::kKeyPressed ||
                   change.kind == JogShuttleChange::Kind::kKeyReleased) {
          const auto at = Clock::time_point(Clock::duration(sent[seen].load()));
          micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - at).count());
          ++seen;
        }
      }
    });
    const auto start = Clock::now();
    for (int i = 0; i < kMessages;) {
      const int count = bursts ? kBurst : 1;
      std::vector<std::uint8_t> bytes;
      for (int k = 0; k < count; ++k, ++i) {
        bytes.push_back(i % 2 == 0 ? 0x40 : 0x60);
        sent[i].store(Clock::now().time_since_epoch().count());
      }
      bench.sim.Send(bytes);
      if (bursts) {
        std::this_thread::sleep_for(50ms);
      } else {
        std::this_thread::sleep_until(start + std::chrono::microseconds(521LL * i));
      }
    }
    client.join();
  }
  link.Close();
  state.counters["lost"] = static_cast<double>(lost);
  if (micros.empty()) return;
  state.counters["p50_us"] = Percentile(micros, 0.50);
  state.counters["p99_us"] = Percentile(micros, 0.99);
}
BENCHMARK(ChangesFromTheWire)->ArgName("bursts")->Arg(0)->Arg(1)->Iterations(1)
    ->Unit(benchmark::kSecond)->UseRealTime();

// CPU the whole process uses while an open link waits with nothing arriving.
void IdleCpu(benchmark::State& state) {
  Bench bench;
  SerialJS link(1);
  if (!link.Open()) {
    state.SkipWithError("Open failed");
    return;
  }
  std::this_thread::sleep_for(100ms);  // let the handshake's traffic settle
  double used = 0;
  double seconds = 0;
  for (auto _ : state) {
    const double cpuBefore = CpuMilliseconds();
    const auto wallBefore = Clock::now();
    std::this_thread::sleep_for(2s);
    used += CpuMilliseconds() - cpuBefore;
    seconds += std::chrono::duration<double>(Clock::now() - wallBefore).count();
  }
  link.Close();
  state.counters["idle_cpu_ms_per_s"] = used / seconds;
}
BENCHMARK(IdleCpu)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Close with the reader waiting for input.
void CloseWhileWaiting(benchmark::State& state) {
  Bench bench;
  std::vector<double> millis;
  for (auto _ : state) {
    state.PauseTiming();
    SerialJS link(1);
    const bool opened = link.Open();
    std::this_thread::sleep_for(20ms);  // the reader is back in its wait
    state.ResumeTiming();
    const auto start = Clock::now();
    link.Close();
    millis.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    if (!opened) {
      state.SkipWithError("Open failed");
      break;
    }
  }
  if (millis.empty()) return;
  state.counters["close_ms"] = Percentile(millis, 0.5);
  state.counters["close_ms_max"] = Percentile(millis, 1.0);
}
BENCHMARK(CloseWhileWaiting)->Iterations(30)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
