// The MIDI output under a JACK server of its own (the dummy driver, 256 frames at 48 kHz): the
// time from Send to the event a recording client hears, and what is lost when messages come at
// the controller's pace (a change every 2 ms) for 10,000 sends.
//
//   build/default/tools/jskeys/bench/bench_jskeys_midi   (inside the serial mask; needs jackd)

#include <benchmark/benchmark.h>
#include <re2/re2.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "JackSession.h"
#include "KeyMap.h"
#include "MidiOutput.h"
#include "ServeOutput.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

void Quiet(std::string_view /*text*/) {}

double Percentile(std::vector<double> values, double at) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(at * static_cast<double>(values.size() - 1))];
}

void BM_SendToHeard(benchmark::State& state) {
  constexpr int kSends = 10000;
  jskeys_test::JackServer server;
  jskeys_test::JackRecorder recorder;
  std::string error;
  if (!server.Start(error) || !recorder.Open("synth", error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  std::unique_ptr<jskeys::ActionOutput> output = jskeys::MakeMidiOutput(&Quiet);
  jskeys::KeyMap map;
  map.usesMidi = true;
  map.midiConnect.push_back(std::make_shared<const re2::RE2>("^synth:"));
  output->SetMap(map);
  if (!jskeys_test::Serve(*output, [&] { return recorder.ConnectedTo("jskeys:midi_out"); }, 30s)) {
    state.SkipWithError("the output was not connected to the recording client");
    return;
  }
  for (auto _ : state) {
    std::vector<jack_nframes_t> sentAt(kSends);
    Clock::time_point next = Clock::now();
    for (int i = 0; i < kSends; ++i) {
      sentAt[i] = jack_frame_time(recorder.Client());
      // The index in the controller's number and value, to find the send again.
      jskeys::MidiMessage message{.kind = jskeys::MidiMessage::Kind::kControl,
                                  .channel = 0,
                                  .number = static_cast<std::uint8_t>(i / 128),
                                  .value = static_cast<std::uint8_t>(i % 128)};
      output->Send(jskeys::Action::Midi(message));
      output->Flush();
      next += 2ms;
      jskeys_test::Serve(*output, [&] { return Clock::now() >= next; }, 10ms);
    }
    const std::vector<jskeys_test::HeardEvent> heard = recorder.WaitFor(kSends, 5s);
    std::vector<double> ms;
    for (const jskeys_test::HeardEvent& event : heard) {
      const int index = event.bytes[1] * 128 + event.bytes[2];
      if (index >= kSends) continue;
      ms.push_back(static_cast<std::int32_t>(event.frame - sentAt[index]) * 1000.0 /
                   jskeys_test::kJackRate);
    }
    state.counters["p50_ms"] = Percentile(ms, 0.50);
    state.counters["p99_ms"] = Percentile(ms, 0.99);
    state.counters["max_ms"] = Percentile(ms, 1.0);
    state.counters["lost"] = static_cast<double>(kSends) - static_cast<double>(ms.size());
    state.counters["xruns"] = recorder.Xruns();
  }
  output->Finish();
}
BENCHMARK(BM_SendToHeard)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
