// What the costliest maps within the bounds cost: to read and compile (as --check and a reload
// do), and to pick a section for a window with the longest class and title matched (as every
// focus change does, on the key path).

#include <benchmark/benchmark.h>

#include <string>

#include "KeyMap.h"

namespace {

// Maps at the budget's end, of patterns costly in two ways: large programs (each needs all a
// pattern may have), and counted repeats whose matching visits a new state at nearly every byte.
std::string CostliestMap(int kind) {
  std::string text;
  for (int i = 0; i < (kind == 0 ? 32 : 16); ++i) {
    const std::string n = std::to_string(i);
    text += kind == 0 ? "[[application]]\nclass = \"\\\\pL{3}N" + n + "\"\n"
                      : "[[application]]\nclass = \"[\\\\pL\\\\pN][^a]{12}N" + n +
                            "\"\ntitle = \"[\\\\pL][^b]{12}N" + n + "\"\n";
  }
  return text;
}

// A window text every pattern reads to its end: letters, none of which finishes a match, in an
// order that leaves the automaton no state to come back to.
std::string LongText() {
  std::string text;
  for (unsigned seed = 1; text.size() + 2 <= jskeys::kMaxWindowText;) {
    seed = seed * 1103515245 + 12345;
    text += (seed >> 16) % 3 == 0 ? std::string("\xc3\xa9") : std::string(1, char('a' + (seed >> 20) % 3));
  }
  return text;
}

void BM_ParseCostliestMap(benchmark::State& state) {
  const std::string text = CostliestMap(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    jskeys::KeyMap map;
    jskeys::MapError error;
    if (!jskeys::ParseMap(text, "costly.toml", map, error)) {
      state.SkipWithError(error.Text().c_str());
      break;
    }
    benchmark::DoNotOptimize(map);
  }
}
BENCHMARK(BM_ParseCostliestMap)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The first look after the map came in, with nothing in the patterns' caches yet.
void BM_FirstSectionForLongText(benchmark::State& state) {
  const std::string text = CostliestMap(static_cast<int>(state.range(0))), window = LongText();
  for (auto _ : state) {
    state.PauseTiming();
    jskeys::KeyMap map;
    jskeys::MapError error;
    if (!jskeys::ParseMap(text, "costly.toml", map, error)) {
      state.SkipWithError(error.Text().c_str());
      break;
    }
    state.ResumeTiming();
    benchmark::DoNotOptimize(&jskeys::SectionFor(map, window, window));
  }
}
BENCHMARK(BM_FirstSectionForLongText)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_SectionForLongText(benchmark::State& state) {
  jskeys::KeyMap map;
  jskeys::MapError error;
  if (!jskeys::ParseMap(CostliestMap(static_cast<int>(state.range(0))), "costly.toml", map, error)) {
    state.SkipWithError(error.Text().c_str());
    return;
  }
  const std::string window = LongText();
  for (auto _ : state) benchmark::DoNotOptimize(&jskeys::SectionFor(map, window, window));
}
BENCHMARK(BM_SectionForLongText)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
