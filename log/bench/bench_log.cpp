// wPrintf of the link's state report, ns per call: formatting alone into a sink that discards,
// through the standard-error queue (standard error on /dev/null, the writer running beside),
// and a line the level drops before any formatting.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <limits>

#include "LogSink.h"
#include "StderrQueue.h"
#include "wPrintf.h"

namespace {

class DiscardSink final : public jslog::LogSink {
 public:
  void Write(std::uint32_t, std::uint32_t, std::string_view text) noexcept override {
    benchmark::DoNotOptimize(text.data());
  }
};

void StateReport(int i) {
  wPrintf(24, 8,
          L"SerialJS: JI:%02d JD:%02d S:%+02d(%08x) K:%04x SK:%04x CK:%04x SCK:%04x E:%02x "
          L"M:%04x\n",
          i & 0x7F, 128, -7, -7, i & 0x1FF, 0, 0, 0, 0xFF, 0x100);
}

// Standard error on /dev/null for the life of a benchmark.
class QuietStderr {
 public:
  QuietStderr() : saved_(::dup(STDERR_FILENO)) {
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
      ::dup2(null, STDERR_FILENO);
      ::close(null);
    }
  }
  ~QuietStderr() {
    jslog::FlushStderr(5000);
    if (saved_ >= 0) {
      ::dup2(saved_, STDERR_FILENO);
      ::close(saved_);
    }
  }
  QuietStderr(const QuietStderr&) = delete;
  QuietStderr& operator=(const QuietStderr&) = delete;

 private:
  int saved_;
};

void BM_StateReportFormatOnly(benchmark::State& state) {
  DiscardSink sink;
  jslog::ScopedLogSink scope(sink);
  int i = 0;
  for (auto _ : state) StateReport(++i);
}
BENCHMARK(BM_StateReportFormatOnly);

void BM_StateReportToStderrQueue(benchmark::State& state) {
  QuietStderr quiet;
  int i = 0;
  for (auto _ : state) StateReport(++i);
}
BENCHMARK(BM_StateReportToStderrQueue)->UseRealTime();

void BM_StateReportBelowLevel(benchmark::State& state) {
  jslog::SetStderrMaxLevel(1);
  int i = 0;
  for (auto _ : state) StateReport(++i);
  jslog::SetStderrMaxLevel(std::numeric_limits<std::uint32_t>::max());
}
BENCHMARK(BM_StateReportBelowLevel);

// The queue alone, with a writer that discards: one repeated line (folded) or distinct ones.
void BM_QueuePush(benchmark::State& state) {
  jslog::StderrQueue::Options options;
  options.write = [](std::string_view lines) { benchmark::DoNotOptimize(lines.data()); };
  jslog::StderrQueue queue(std::move(options));
  const bool repeated = state.range(0) != 0;
  const std::string line = "SerialJS: Invalid WaitCommEvent(00000080)";
  std::string distinct = line;
  int i = 0;
  for (auto _ : state) {
    if (repeated) {
      queue.Push(24, 1, line);
    } else {
      distinct.back() = static_cast<char>('0' + (++i & 7));
      queue.Push(24, 1, distinct);
    }
  }
  queue.Flush(std::chrono::seconds(5));
}
BENCHMARK(BM_QueuePush)->Arg(1)->Arg(0)->ArgName("repeated")->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
