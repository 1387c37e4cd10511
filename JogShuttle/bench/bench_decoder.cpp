// Decoder throughput on realistic controller traffic. wPrintf formats every line in full before
// any sink sees it; the sink here only counts the lines and discards them.

#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "LogSink.h"
#include "SerialJS.h"
#include "SerialJSAccess.h"

namespace {

class DiscardSink final : public jslog::LogSink {
 public:
  void Write(std::uint32_t, std::uint32_t, std::string_view text) noexcept override {
    benchmark::DoNotOptimize(text.data());
    ++lines_;
  }
  std::uint64_t lines() const { return lines_; }

 private:
  std::uint64_t lines_ = 0;
};

using Bytes = std::vector<std::uint8_t>;

// Traffic mixes, by weight of each kind of message.
struct Mix {
  int keys;      // press and release of a key, now and then under a modifier
  int jog;       // 0x80 steps of a turning jog wheel
  int shuttle;   // 0x81 jog and shuttle
  int status;    // a reply to get status (C0, C1, C2)
  int initText;  // an init text after a reset
};

Bytes MakeTraffic(const Mix& mix, std::size_t size) {
  std::mt19937 random(12345);
  std::discrete_distribution<int> kind({static_cast<double>(mix.keys),
                                        static_cast<double>(mix.jog),
                                        static_cast<double>(mix.shuttle),
                                        static_cast<double>(mix.status),
                                        static_cast<double>(mix.initText)});
  Bytes out;
  out.reserve(size + 300);
  int shuttle = 0;
  while (out.size() < size) {
    switch (kind(random)) {
      case 0: {
        const std::uint8_t key = static_cast<std::uint8_t>(random() % 9);
        const bool modified = random() % 4 == 0;
        if (modified) out.push_back(0x45);  // key 5 is the S modifier
        out.push_back(0x40 + key);
        out.push_back(0x60 + key);
        if (modified) out.push_back(0x65);
        break;
      }
      case 1: {
        const int step = static_cast<int>(random() % 7) - 3;
        out.insert(out.end(), {0x80, static_cast<std::uint8_t>(step)});
        break;
      }
      case 2: {
        shuttle = std::clamp(shuttle + static_cast<int>(random() % 3) - 1, -7, 7);
        const int step = static_cast<int>(random() % 5) - 2;
        out.insert(out.end(), {0x81, static_cast<std::uint8_t>(step), static_cast<std::uint8_t>(shuttle)});
        break;
      }
      case 3:
        out.insert(out.end(), {0xC0, 0x01, 0x02, 0xC1, 0x00, 0xC2, 0x00});
        break;
      default: {
        const std::string text = "JS-9K firmware 2.31 (c) ready";
        out.push_back(0x82);
        out.push_back(static_cast<std::uint8_t>(text.size() + 2));
        out.insert(out.end(), text.begin(), text.end());
        break;
      }
    }
  }
  return out;
}

void DecodeTraffic(benchmark::State& state, Mix mix) {
  const Bytes traffic = MakeTraffic(mix, 1 << 16);
  DiscardSink sink;
  jslog::ScopedLogSink scope(sink);
  SerialJS link(1);
  link.SetModifierMasks(0, 0x40);
  // Reads of the sizes a busy line gives between two wake-ups of the reader.
  constexpr std::size_t kReadSize = 48;
  for (auto _ : state) {
    std::span<const std::uint8_t> rest(traffic);
    while (!rest.empty()) {
      const std::size_t n = SerialJSAccess::Append(link, rest.first(std::min(kReadSize, rest.size())));
      SerialJSAccess::Decode(link);
      rest = rest.subspan(n);
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * traffic.size()));
  // How much logging the mix causes: log lines per KiB of traffic.
  state.counters["lines_per_KiB"] = static_cast<double>(sink.lines()) * 1024.0 /
                                    static_cast<double>(state.iterations() * traffic.size());
}

// Sessions as a controller produces them: keys come at the pace of fingers, jog and shuttle
// messages stream while the wheel or the ring moves, status replies and init texts follow a reset.
BENCHMARK_CAPTURE(DecodeTraffic, session, Mix{20, 30, 30, 15, 5});
BENCHMARK_CAPTURE(DecodeTraffic, scrubbing, Mix{10, 70, 15, 5, 0});
BENCHMARK_CAPTURE(DecodeTraffic, shuttling, Mix{5, 10, 80, 5, 0});
BENCHMARK_CAPTURE(DecodeTraffic, transport_keys, Mix{45, 15, 30, 10, 0});
BENCHMARK_CAPTURE(DecodeTraffic, startup, Mix{5, 5, 5, 50, 35});

}  // namespace

BENCHMARK_MAIN();
