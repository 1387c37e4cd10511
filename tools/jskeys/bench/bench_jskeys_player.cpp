// The player output against mpv on a session bus of the bench's own: how soon a rate sent shows
// on the bus as mpv's changed Rate (seen by another connection, as any client sees it), and
// what seeking at the jog's pace (50 a second) costs this process. mpv's MPRIS plugin answers
// a call within milliseconds but gathers its property changes for about 0.1 s before it tells
// them: most of the first figure is that.

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <vector>

#include "PlayerDrive.h"
#include "PlayerOutput.h"
#include "PlayerSession.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

jskeys::Action PlayerAction(jskeys::PlayerCommand::Kind kind, double rate = 0, int ms = 0) {
  jskeys::PlayerCommand command;
  command.kind = kind;
  command.rate = rate;
  command.ms = ms;
  return jskeys::Action::Player(command, "mpv");
}

// A session with mpv and an output that knows it; null (and the benchmark skipped) when not.
struct Setup {
  jskeys_test::PlayerSession session;
  std::optional<jskeys::PlayerOutput> output;
  bool Made(benchmark::State& state) {
    std::string why;
    if (!session.Start(why) || !session.MakeClip(why) || !session.StartMpv(why)) {
      state.SkipWithError(why.c_str());
      return false;
    }
    output.emplace();
    if (!jskeys_test::Drive(*output, 30s, [&] { return output->Knows("mpv"); })) {
      state.SkipWithError("the output never learned of mpv");
      return false;
    }
    return true;
  }
};

// Counts mpv's Rate changes as they come on the observer's connection.
int RateChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
  const char* interface = nullptr;
  if (sd_bus_message_read(message, "s", &interface) < 0) return 0;
  if (sd_bus_message_enter_container(message, 'a', "{sv}") < 0) return 0;
  while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
    const char* name = nullptr;
    sd_bus_message_read(message, "s", &name);
    if (std::string_view(name) == "Rate") ++*static_cast<int*>(userdata);
    sd_bus_message_skip(message, "v");
    sd_bus_message_exit_container(message);
  }
  return 0;
}

void BM_RateToPropertyChanged(benchmark::State& state) {
  Setup setup;
  if (!setup.Made(state)) return;
  sd_bus* observer = setup.session.Bus();
  int changes = 0;
  sd_bus_slot* match = nullptr;
  sd_bus_match_signal(observer, &match, nullptr, "/org/mpris/MediaPlayer2",
                      "org.freedesktop.DBus.Properties", "PropertiesChanged", &RateChanged,
                      &changes);
  std::vector<double> latencies;
  double rate = 1.5;
  for (auto _ : state) {
    rate = rate == 1.5 ? 2.0 : 1.5;
    const int before = changes;
    const auto start = Clock::now();
    setup.output->Send(PlayerAction(jskeys::PlayerCommand::Kind::kRate, rate));
    const bool seen = jskeys_test::Drive(
        *setup.output, 10s,
        [&] {
          while (sd_bus_process(observer, nullptr) > 0) {
          }
          return changes > before;
        },
        sd_bus_get_fd(observer));
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    if (!seen) {
      state.SkipWithError("mpv's Rate never changed");
      break;
    }
    state.SetIterationTime(took);
    latencies.push_back(took * 1e3);
  }
  sd_bus_slot_unref(match);
  if (latencies.empty()) return;
  std::sort(latencies.begin(), latencies.end());
  auto at = [&](double part) {
    return latencies[std::min(latencies.size() - 1,
                              static_cast<std::size_t>(part * static_cast<double>(latencies.size())))];
  };
  state.counters["p50_ms"] = at(0.5);
  state.counters["p99_ms"] = at(0.99);
}
BENCHMARK(BM_RateToPropertyChanged)->UseManualTime()->Iterations(200)->Unit(benchmark::kMillisecond);

double CpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The jog turned steadily: a seek of 40 ms every 20 ms, for three seconds per iteration.
void BM_SeeksAt50Hz(benchmark::State& state) {
  Setup setup;
  if (!setup.Made(state)) return;
  setup.output->Send(PlayerAction(jskeys::PlayerCommand::Kind::kPause));
  jskeys_test::Pass(*setup.output, 500ms);
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    const double cpuStart = CpuSeconds();
    const auto start = Clock::now();
    for (int i = 0; i < 150; ++i) {
      setup.output->Send(PlayerAction(jskeys::PlayerCommand::Kind::kSeek, 0, 40));
      jskeys_test::Pass(*setup.output, 20ms);
    }
    cpu += CpuSeconds() - cpuStart;
    wall += std::chrono::duration<double>(Clock::now() - start).count();
  }
  state.counters["cpu_percent"] = wall > 0 ? 100 * cpu / wall : 0;
}
BENCHMARK(BM_SeeksAt50Hz)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
