// Reading and writing recordings: a whole 1 MiB recording (the most jssim --replay takes) must
// be read in well under the time a person notices at start, and a monitor must be able to
// write a line per read far faster than a 19200 baud line delivers reads.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "Recording.h"

namespace {

// A recording of about `size` bytes: short reads as a controller sends them, a time each.
std::string MakeRecording(std::size_t size) {
  std::string text(jssim::kRecordingHeader);
  const std::vector<std::uint8_t> messages[] = {{0x42}, {0x62}, {0x81, 0x01, 0xFB}, {0x80, 0xFF}};
  for (std::uint64_t ms = 0; text.size() < size; ms += 7) {
    text += jssim::FormatRecordLine(ms, messages[ms % 4]);
  }
  return text;
}

void BM_ParseRecording1MiB(benchmark::State& state) {
  const std::string text = MakeRecording(1024 * 1024);
  std::vector<jssim::RecordedChunk> chunks;
  std::string error;
  for (auto _ : state) {
    if (!jssim::ParseRecording(text, chunks, error)) state.SkipWithError(error.c_str());
    benchmark::DoNotOptimize(chunks.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.counters["lines"] = static_cast<double>(chunks.size());
}
BENCHMARK(BM_ParseRecording1MiB)->Unit(benchmark::kMillisecond);

void BM_FormatRecordLine(benchmark::State& state) {
  const std::vector<std::uint8_t> read = {0x81, 0x01, 0xFB, 0x42};
  std::uint64_t ms = 123456;
  for (auto _ : state) {
    std::string line = jssim::FormatRecordLine(ms++, read);
    benchmark::DoNotOptimize(line.data());
  }
}
BENCHMARK(BM_FormatRecordLine);

}  // namespace

BENCHMARK_MAIN();
