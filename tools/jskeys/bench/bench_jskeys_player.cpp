// jskeys end to end with a media player on a session bus of the bench's own: from a byte the
// simulated controller writes, through jskeys and its MPRIS output, to the rate call a player
// of the bench's own receives (jskeys' own latency), and to mpv showing the new rate on the bus;
// and the CPU jskeys takes while the jog seeks at 50 Hz. jskeys sends its keys through XTest on
// an Xvfb of the bench's own: it needs a way to send keys whatever its map does.
//
//   build/default/tools/jskeys/bench/bench_jskeys_player   (inside the serial mask; needs Xvfb,
//   dbus-daemon, and mpv with its MPRIS plugin)

#include <signal.h>

#include <thread>

#include "BenchRuns.h"
#include "FakePlayer.h"
#include "PlayerSession.h"
#include "XServer.h"
// Xlib's name for a result type; here it is the player's property.
#undef Status

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using jskeys_bench::Bytes;

// The shuttle goes back and forth between two positions, so that every byte is a new rate.
constexpr std::uint8_t kPositions[2] = {3, 5};
constexpr double kRates[2] = {1.5, 2.0};

std::string PlayerMap(const std::string& player) {
  return "[default]\nmpris = \"" + player + R"("
[default.jog]
forward = { player = "seek", ms = 40 }
[default.shuttle]
3 = { player = "rate", rate = 1.5 }
5 = { player = "rate", rate = 2.0 }
)";
}

// The bus both benches' players are on; DBUS_SESSION_BUS_ADDRESS names it while it lives.
struct Bus {
  jskeys_test::PlayerSession session;
  std::string error;
  bool up = session.Start(error);
};
Bus& SharedBus() {
  static Bus bus;
  return bus;
}

// jskeys on the map for `player`, the shuttle in one of kPositions once it has set a rate.
struct PlayerBench : jskeys_bench::BenchBase {
  // The display and the bus, made before the bench and so ended after it.
  jskeys_test::Xvfb& xvfb = jskeys_test::Xvfb::Shared();
  Bus& bus = SharedBus();
  std::size_t next = 0;  // the index in kPositions the next shuttle byte goes to

  // jskeys lets go of the player (its rest) while the bus is still there.
  ~PlayerBench() {
    if (tool.Running()) tool.Stop(SIGTERM, 5s);
  }
  bool StartJskeys(const std::string& player) {
    if (!bus.up) return Fail(bus.error);
    if (!xvfb.Running() && !xvfb.Start(error)) return false;
    return StartSimulator(PlayerMap(player)) &&
           StartTool("x11", {"DISPLAY=" + xvfb.display(),
                             "DBUS_SESSION_BUS_ADDRESS=" + bus.session.Address()}) &&
           AwaitLink();
  }
  // Sends the shuttle to the next position; the rate it sets.
  double Turn() {
    const std::size_t to = next;
    next = 1 - next;
    sim.Send(Bytes{0x81, 0x00, kPositions[to]});
    return kRates[to];
  }
};

std::string RateCall(double rate) {
  char text[32];
  std::snprintf(text, sizeof text, "Rate %g", rate);
  return text;
}

// A player of the bench's own that records when each call came: jskeys alone between the byte
// and the call.
struct FakeBench : PlayerBench {
  jskeys_test::FakePlayer fake{"fake", "FakePlay"};

  bool Start() {
    if (!bus.up) return Fail(bus.error);
    if (!fake.Start()) return Fail("the bench's player could not join the bus");
    if (!StartJskeys("fake")) return false;
    // jskeys learns of the player on the bus a while after it starts.
    for (int tries = 0; tries < 100; ++tries) {
      const std::size_t had = fake.Calls().size();
      Turn();
      if (fake.WaitForCall(had, 300ms)) {
        std::this_thread::sleep_for(300ms);  // the Play after the first rate
        return true;
      }
    }
    return Fail("the player got no call from jskeys: " + tool.Errors());
  }
};

// The byte to the Rate call's arrival at the bench's player.
void BM_ByteToRateCall(benchmark::State& state) {
  FakeBench* bench = jskeys_bench::Shared<FakeBench>(state, "bench_jskeys_player");
  if (bench == nullptr) return;
  std::vector<double> ms;
  std::size_t late = 0;
  for (auto _ : state) {
    std::size_t index = bench->fake.Calls().size();
    const auto sent = Clock::now();
    const std::string expected = RateCall(bench->Turn());
    std::optional<jskeys_test::FakePlayer::Arrival> arrival;
    for (arrival = bench->fake.WaitForCall(index, 2s); arrival && arrival->call != expected;
         arrival = bench->fake.WaitForCall(++index, 2s)) {
    }
    if (!arrival) {
      ++late;  // later than 2 s
      continue;
    }
    const double took = std::chrono::duration<double>(arrival->at - sent).count();
    state.SetIterationTime(took);
    ms.push_back(took * 1e3);
  }
  jskeys_bench::ReportMilliseconds(state, ms, late, "late_2s",
                                   "no rate call arrived; jskeys said: " + bench->tool.Errors());
}
BENCHMARK(BM_ByteToRateCall)->UseManualTime()->Iterations(300)->Unit(benchmark::kMillisecond);

// Milliseconds sought by the calls from `from` on.
double SoughtMs(const std::vector<std::string>& calls, std::size_t from) {
  double ms = 0;
  for (std::size_t i = from; i < calls.size(); ++i) {
    if (calls[i].starts_with("Seek ")) ms += std::stod(calls[i].substr(5)) / 1e3;
  }
  return ms;
}

// The jog turned steadily, a step every 20 ms for 5 s, each a seek of 40 ms at the bench's
// player. That player never says a seek is done (mpv's Seeked), so jskeys waits a while after
// each and adds up the steps meanwhile: fewer calls than steps, the same time sought.
void BM_JogSeeksAt50HzCpu(benchmark::State& state) {
  constexpr int kSteps = 250;
  FakeBench* bench = jskeys_bench::Shared<FakeBench>(state, "bench_jskeys_player");
  if (bench == nullptr) return;
  for (auto _ : state) {
    const std::size_t had = bench->fake.Calls().size();
    const double cpuBefore = jskeys_bench::CpuSeconds(bench->tool.Pid());
    const auto start = Clock::now();
    auto next = start;
    for (int step = 0; step < kSteps; ++step) {
      bench->sim.Send(Bytes{0x80, 0x01});
      next += 20ms;
      std::this_thread::sleep_until(next);
    }
    const double cpuAfter = jskeys_bench::CpuSeconds(bench->tool.Pid());
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<std::string> calls = bench->fake.Calls();
    for (const auto end = Clock::now() + 5s;
         SoughtMs(calls, had) < kSteps * 40 && Clock::now() < end; calls = bench->fake.Calls()) {
      std::this_thread::sleep_for(20ms);
    }
    state.counters["cpu_percent"] = 100.0 * (cpuAfter - cpuBefore) / seconds;
    state.counters["seek_calls_per_s"] = static_cast<double>(calls.size() - had) / seconds;
    state.counters["ms_not_sought"] = kSteps * 40 - SoughtMs(calls, had);
  }
}
BENCHMARK(BM_JogSeeksAt50HzCpu)->Iterations(1)->Unit(benchmark::kMillisecond);

// mpv playing a clip: the whole way from the byte to what any client of the player sees.
struct MpvBench : PlayerBench {
  bool Start() {
    if (!bus.up) return Fail(bus.error);
    if (!bus.session.MakeClip(error, 120) || !bus.session.StartMpv(error)) return false;
    if (!StartJskeys("mpv")) return false;
    for (int tries = 0; tries < 100; ++tries) {
      const double rate = Turn();
      for (const auto end = Clock::now() + 300ms; Clock::now() < end;
           std::this_thread::sleep_for(10ms)) {
        if (bus.session.Rate() == rate) return true;
      }
    }
    return Fail("mpv's rate never changed; jskeys said: " + tool.Errors());
  }
};

// mpv's plugin tells its property changes (PropertiesChanged) about 0.1 s after they happen, by
// its design, whatever the sender does: so the bench asks for Rate itself, every half
// millisecond, as a client that wants to know sooner would.
void BM_ByteToMpvRate(benchmark::State& state) {
  MpvBench* bench = jskeys_bench::Shared<MpvBench>(state, "bench_jskeys_player");
  if (bench == nullptr) return;
  std::vector<double> ms;
  std::size_t late = 0;
  for (auto _ : state) {
    const auto sent = Clock::now();
    const double rate = bench->Turn();
    bool seen = false;
    for (const auto end = sent + 5s; !seen && Clock::now() < end;) {
      seen = bench->bus.session.Rate() == rate;
      if (!seen) std::this_thread::sleep_for(500us);
    }
    const double took = std::chrono::duration<double>(Clock::now() - sent).count();
    if (!seen) {
      ++late;  // later than 5 s
      continue;
    }
    state.SetIterationTime(took);
    ms.push_back(took * 1e3);
  }
  jskeys_bench::ReportMilliseconds(state, ms, late, "late_5s",
                                   "mpv's rate never changed; jskeys said: " + bench->tool.Errors());
}
BENCHMARK(BM_ByteToMpvRate)->UseManualTime()->Iterations(200)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
