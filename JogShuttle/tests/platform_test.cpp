// The seam between the link and the OS, where it needs no serial port: events, threads, sleep,
// error texts and a port that was never opened. The same cases run on POSIX and, under Wine, on
// Win32; what legitimately differs comes from PlatformFacts. No port name is ever opened here:
// under Wine "COMn:" reaches this machine's devices.

#include "Platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "PlatformFacts.h"

namespace {

using namespace js::sys;
using Clock = std::chrono::steady_clock;
using Result = Event::WaitResult;

// Waits that should end at once get this long before a test calls them stuck; 2 noisy cores.
constexpr std::uint32_t kLongWait = 10000;

std::int64_t MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Timed waits: never much early (a Windows tick may shave a little off), never far late.
void ExpectLasted(std::int64_t elapsed, std::uint32_t milliseconds) {
  EXPECT_GE(elapsed, milliseconds / 2) << "ended early";
  EXPECT_LE(elapsed, milliseconds + 5000) << "ended late";
}

// --- Sleep ---

TEST(PlatformSleep, LastsAboutItsTime) {
  for (std::uint32_t milliseconds : {0u, 1u, 20u, 80u}) {
    SCOPED_TRACE(milliseconds);
    const Clock::time_point start = Clock::now();
    Sleep(milliseconds);
    ExpectLasted(MillisecondsSince(start), milliseconds);
  }
}

// --- Error texts ---

TEST(PlatformErrorText, KnownCodesHaveTheirOwnText) {
  std::set<std::wstring> texts;
  for (ErrorCode code : test::ThisPlatform().codesWithText) {
    SCOPED_TRACE(code);
    const std::wstring text = ErrorText(code);
    EXPECT_FALSE(text.empty());
    EXPECT_NE(text, kNoErrorText);
    EXPECT_TRUE(texts.insert(text).second) << "the same text as another code";
  }
}

TEST(PlatformErrorText, ACodeWithoutTextStillGivesText) {
  const test::PlatformFacts& facts = test::ThisPlatform();
  const std::wstring text = ErrorText(facts.codeWithoutText);
  EXPECT_FALSE(text.empty());
  if (facts.standInForCodeWithoutText) {
    EXPECT_EQ(text, kNoErrorText);
  }
}

TEST(PlatformErrorText, TheNotOpenCodeHasText) {
  EXPECT_NE(ErrorText(test::ThisPlatform().notOpen), kNoErrorText);
}

// --- Events ---

TEST(PlatformEvent, StartsNotSignalled) {
  Event event;
  EXPECT_EQ(event.Wait(0), Result::kTimeout);
}

TEST(PlatformEvent, StaysSetUntilReset) {
  Event event;
  event.Set();
  EXPECT_EQ(event.Wait(0), Result::kSignalled);
  EXPECT_EQ(event.Wait(0), Result::kSignalled) << "a wait must not reset it";
  event.Set();  // set again: no change
  EXPECT_EQ(event.Wait(10), Result::kSignalled);
  event.Reset();
  EXPECT_EQ(event.Wait(0), Result::kTimeout);
  event.Reset();  // reset again: no change
  EXPECT_EQ(event.Wait(0), Result::kTimeout);
  event.Set();  // and it can be set once more
  EXPECT_EQ(event.Wait(0), Result::kSignalled);
}

TEST(PlatformEvent, TimedWaitEndsAfterItsTime) {
  Event event;
  for (std::uint32_t milliseconds : {1u, 30u, 100u}) {
    SCOPED_TRACE(milliseconds);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(event.Wait(milliseconds), Result::kTimeout);
    ExpectLasted(MillisecondsSince(start), milliseconds);
  }
}

// A thread that sets an event after a pause.
struct DelayedSet {
  Event* event;
  std::uint32_t pause;
};
std::uint32_t SetAfterPause(void* parameter) {
  const auto* job = static_cast<const DelayedSet*>(parameter);
  Sleep(job->pause);
  job->event->Set();
  return 0;
}

TEST(PlatformEvent, SetFromAnotherThreadWakesAnEndlessWait) {
  Event event;
  DelayedSet job{&event, 30};
  Thread setter;
  ASSERT_TRUE(setter.Start(&SetAfterPause, &job));
  EXPECT_EQ(event.Wait(kInfinite), Result::kSignalled);
  EXPECT_TRUE(setter.WaitForExit(kLongWait));
}

// A thread that waits on an event and keeps the outcome.
struct Waiter {
  explicit Waiter(Event& watched) : event(&watched) {}
  Event* event;
  Event arrived;
  std::atomic<Result> result{Result::kFailed};
  std::atomic<std::int64_t> waited{-1};
};
std::uint32_t WaitForEvent(void* parameter) {
  auto* waiter = static_cast<Waiter*>(parameter);
  waiter->arrived.Set();
  const Clock::time_point start = Clock::now();
  waiter->result = waiter->event->Wait(kLongWait);
  waiter->waited = MillisecondsSince(start);
  return 0;
}

TEST(PlatformEvent, OneSetWakesEveryWaiter) {
  Event event;
  Waiter waiters[2] = {Waiter(event), Waiter(event)};
  Thread threads[2];
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(threads[i].Start(&WaitForEvent, &waiters[i]));
  for (Waiter& waiter : waiters) ASSERT_EQ(waiter.arrived.Wait(kLongWait), Result::kSignalled);
  Sleep(20);  // most likely both are inside their waits now; if not, the event is still set
  event.Set();
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(threads[i].WaitForExit(2 * kLongWait));
    EXPECT_EQ(waiters[i].result.load(), Result::kSignalled);
    EXPECT_LT(waiters[i].waited.load(), kLongWait / 2) << "woken late, not by the set";
  }
}

// --- Threads ---

struct Runs {
  std::atomic<int> count{0};
  std::atomic<void*> parameter{nullptr};
};
std::uint32_t CountRun(void* parameter) {
  auto* run = static_cast<Runs*>(parameter);
  run->parameter = parameter;
  ++run->count;
  return 0;
}

// A thread that says it has begun, then blocks until the gate opens.
struct Gated {
  Event begun;
  Event gate;
  std::atomic<int> count{0};
};
std::uint32_t WaitAtGate(void* parameter) {
  auto* gated = static_cast<Gated*>(parameter);
  ++gated->count;
  gated->begun.Set();
  gated->gate.Wait(kInfinite);
  return 0;
}

class PlatformThread : public ::testing::Test {
 protected:
  // A failed case must not leave the thread blocked: the Thread object waits for its end.
  void TearDown() override { gated.gate.Set(); }

  Gated gated;
  Thread thread;  // after `gated`, so it goes first
};

TEST_F(PlatformThread, NeverStartedIsHarmless) {
  EXPECT_FALSE(thread.IsStarted());
  EXPECT_TRUE(thread.WaitForExit(0));
  thread.RaisePriority();
  thread.ForceEnd();
  thread.Release();
  thread.Release();
  EXPECT_FALSE(thread.IsStarted());
}

TEST_F(PlatformThread, RunsTheEntryWithItsParameter) {
  Runs run;
  ASSERT_TRUE(thread.Start(&CountRun, &run));
  EXPECT_TRUE(thread.IsStarted());
  thread.RaisePriority();  // granted or refused, the thread goes on
  ASSERT_TRUE(thread.WaitForExit(kLongWait));
  EXPECT_EQ(run.count.load(), 1);
  EXPECT_EQ(run.parameter.load(), &run);
}

TEST_F(PlatformThread, WaitForExitIsFalseWhileTheThreadBlocks) {
  ASSERT_TRUE(thread.Start(&WaitAtGate, &gated));
  ASSERT_EQ(gated.begun.Wait(kLongWait), Result::kSignalled);
  const Clock::time_point start = Clock::now();
  EXPECT_FALSE(thread.WaitForExit(50));
  ExpectLasted(MillisecondsSince(start), 50);
  EXPECT_TRUE(thread.IsStarted());
  gated.gate.Set();
  EXPECT_TRUE(thread.WaitForExit(kLongWait));
  EXPECT_EQ(gated.count.load(), 1);
}

TEST_F(PlatformThread, StartIsRefusedUntilRelease) {
  Runs second;
  ASSERT_TRUE(thread.Start(&WaitAtGate, &gated));
  ASSERT_EQ(gated.begun.Wait(kLongWait), Result::kSignalled);
  EXPECT_FALSE(thread.Start(&CountRun, &second)) << "while the thread runs";
  gated.gate.Set();
  ASSERT_TRUE(thread.WaitForExit(kLongWait));
  EXPECT_TRUE(thread.IsStarted()) << "an ended thread stays until released";
  EXPECT_FALSE(thread.Start(&CountRun, &second)) << "after its end, before Release";
  thread.ForceEnd();  // on a thread that has ended: nothing to end
  thread.Release();
  EXPECT_FALSE(thread.IsStarted());
  EXPECT_EQ(second.count.load(), 0);
  EXPECT_EQ(gated.count.load(), 1);
}

TEST_F(PlatformThread, ReleaseThenStartAgain) {
  Runs runs[3];
  for (Runs& run : runs) {
    ASSERT_TRUE(thread.Start(&CountRun, &run));
    ASSERT_TRUE(thread.WaitForExit(kLongWait));
    thread.Release();
  }
  for (const Runs& run : runs) {
    EXPECT_EQ(run.count.load(), 1);
    EXPECT_EQ(run.parameter.load(), &run);
  }
}

// --- A port that was never opened ---

struct PortCall {
  const char* name;
  std::function<ErrorCode(Port&)> call;
};

// Every port operation, each checking that its out-values say "nothing".
std::vector<PortCall> PortCalls() {
  return {
      {"SetEventMask", [](Port& port) { return port.SetEventMask(kEventReceiveChar); }},
      {"SetQueueSizes", [](Port& port) { return port.SetQueueSizes(4096, 4096); }},
      {"Purge", [](Port& port) { return port.Purge(); }},
      {"SetTimeouts",
       [](Port& port) {
         return port.SetTimeouts(Timeouts{1, 2, 3, 4, 5});
       }},
      {"ReadLineSettings",
       [](Port& port) {
         LineSettings settings{19200, 8, 1, 2};
         const ErrorCode code = port.ReadLineSettings(settings);
         EXPECT_EQ(settings.baudRate, 0u);
         EXPECT_EQ(settings.byteSize, 0u);
         EXPECT_EQ(settings.parity, 0u);
         EXPECT_EQ(settings.stopBits, 0u);
         return code;
       }},
      {"WriteLineSettings",
       [](Port& port) {
         return port.WriteLineSettings(LineSettings{19200, 8, 0, 0});
       }},
      {"WaitEvent",
       [](Port& port) {
         std::uint32_t mask = 0xFFFFFFFF;
         const ErrorCode code = port.WaitEvent(mask);
         EXPECT_EQ(mask, 0u);
         return code;
       }},
      {"QueuedInput",
       [](Port& port) {
         std::uint32_t count = 77;
         const ErrorCode code = port.QueuedInput(count);
         EXPECT_EQ(count, 0u);
         return code;
       }},
      {"Read",
       [](Port& port) {
         IoRecord record;
         std::uint8_t buffer[8] = {};
         std::uint32_t transferred = 77;
         const ErrorCode code = port.Read(buffer, sizeof buffer, record, transferred);
         EXPECT_EQ(transferred, 0u);
         return code;
       }},
      {"Write",
       [](Port& port) {
         IoRecord record;
         const std::uint8_t bytes[2] = {0x01, 0x02};
         std::uint32_t transferred = 77;
         const ErrorCode code = port.Write(bytes, sizeof bytes, record, transferred);
         EXPECT_EQ(transferred, 0u);
         return code;
       }},
  };
}

void ExpectEveryCallFails(Port& port) {
  const ErrorCode notOpen = test::ThisPlatform().notOpen;
  for (const PortCall& call : PortCalls()) {
    SCOPED_TRACE(call.name);
    EXPECT_EQ(call.call(port), notOpen);
    EXPECT_FALSE(port.IsOpen());
  }
}

TEST(PlatformUnopenedPort, EveryCallFailsAtOnce) {
  Port port;
  EXPECT_FALSE(port.IsOpen());
  ExpectEveryCallFails(port);
}

TEST(PlatformUnopenedPort, CloseIsHarmlessAndChangesNothing) {
  Port port;
  port.Close();
  port.Close();
  EXPECT_FALSE(port.IsOpen());
  ExpectEveryCallFails(port);
  port.Close();
}

TEST(PlatformUnopenedPort, AwaitingARecordThatCarriedNoTransferEndsAtOnce) {
  // Nothing was under way on it, so there is nothing to wait for and nothing transferred.
  Port port;
  IoRecord record;
  std::uint32_t transferred = 77;
  EXPECT_EQ(port.AwaitResult(record, transferred), kSuccess);
  EXPECT_EQ(transferred, 0u);
}

}  // namespace
