// The reader's read step under every outcome a port can give, Close while it decodes, and the
// receive tap.

#include <algorithm>
#include <condition_variable>
#include <ostream>
#include <mutex>
#include <thread>

#include "FaultFixture.h"

namespace js::sys::fault {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Keeps every piece the tap is given.
struct TapRecord {
  std::mutex lock;
  std::vector<Bytes> chunks;

  static void Tap(void* context, const std::uint8_t* bytes, std::uint32_t count) {
    auto* self = static_cast<TapRecord*>(context);
    std::lock_guard<std::mutex> guard(self->lock);
    self->chunks.emplace_back(bytes, bytes + count);
  }
  std::vector<Bytes> Chunks() {
    std::lock_guard<std::mutex> guard(lock);
    return chunks;
  }
};

struct ReadCase {
  const char* name;
  std::vector<std::pair<Call, Outcome>> script;
  Bytes received;
  std::vector<Call> calls;  // from the reader's wake-up until it waits again
  std::vector<std::string> level1;
  std::uint32_t heldKeys;
  std::vector<Bytes> chunks;  // what the tap saw
  std::size_t left;           // bytes still queued in the driver
};
void PrintTo(const ReadCase& c, std::ostream* out) { *out << c.name; }

constexpr Call W = Call::kWaitEvent;
constexpr Call Q = Call::kQueuedInput;
constexpr Call R = Call::kRead;
constexpr Call A = Call::kAwaitResult;
constexpr std::uint32_t kKey0 = 0x0100;
constexpr std::uint32_t kKey1 = 0x0200;

const ReadCase kReadCases[] = {
    {"DoneAtOnce", {}, {0x40}, {W, Q, R, Q}, {}, kKey0, {{0x40}}, 0},
    {"PendingThenDone", {{R, {kErrorIoPending, 0}}}, {0x40}, {W, Q, R, A, Q}, {}, kKey0,
     {{0x40}}, 0},
    // The failed wait moved two bytes before its error: they are kept and decoded, and the
    // drain goes on with the rest.
    {"PendingFailsAfterTwoBytes",
     {{R, {kErrorIoPending, 0}}, {A, {0x1F, 2}}},
     {0x40, 0x60, 0x41},
     {W, Q, R, A, Q, Q, R, Q},
     {"SerialJS: COM Error(1f), clearing"},
     kKey1,
     {{0x40, 0x60}, {0x41}},
     0},
    {"PendingFailsWithNothing",
     {{R, {kErrorIoPending, 0}}, {A, {0x3E3, 0}}},
     {0x40},
     {W, Q, R, A, Q},
     {"SerialJS: COM Error(3e3), clearing"},
     0,
     {},
     1},
    // An immediate failure adds nothing, whatever count came with it; draining stops.
    {"FailsAtOnce", {{R, {0x1F, 5}}}, {0x40}, {W, Q, R, Q}, {"SerialJS: COM Error(1f), clearing"},
     0, {}, 1},
    {"IncompleteIsWaitedForAgain",
     {{R, {kErrorIoPending, 0}}, {A, {kErrorIoIncomplete, 0}}, {A, {kErrorIoIncomplete, 0}}},
     {0x40},
     {W, Q, R, A, A, A, Q},
     {"SerialJS: ERROR IO incomplete (996): fault text 996",
      "SerialJS: ERROR IO incomplete (996): fault text 996"},
     kKey0,
     {{0x40}},
     0},
    // A count beyond what was asked is never taken past the bytes asked for.
    {"MoreReportedThanAsked", {{R, {kSuccess, 200}}}, {0x40}, {W, Q, R, Q}, {}, kKey0, {{0x40}},
     0},
    // When the queue cannot be asked, nothing is read.
    {"QueueCountFails", {{Q, {0x1F, 5}}}, {0x40}, {W, Q}, {}, 0, {}, 1},
    // A wait that passed its bound is no fault: what came as it was ended is read at once, not
    // left for an event the next wait may never report.
    {"WaitPassedItsBound", {{W, {kErrorTimeout, 0}}}, {0x40}, {W, Q, R, Q, W, Q}, {}, kKey0,
     {{0x40}}, 0},
};

class ReadStep : public FaultFixture, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadStep, CallsLinesStateAndTap) {
  const ReadCase& c = GetParam();
  TapRecord tap;
  SerialJS link(1);
  link.SetReceiveTap(&TapRecord::Tap, &tap);
  ASSERT_TRUE(link.Open());
  ASSERT_TRUE(WaitUntilIdle());
  sink.Clear();
  const std::size_t handshakeChunks = tap.Chunks().size();

  const std::size_t from = Calls().size();
  ScriptAndReceive(c.script, c.received);
  EXPECT_EQ(c.calls, CallsFrom(from, c.calls.size()));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(c.calls, CallsFrom(from, 0)) << "calls after the reader should be waiting";
  EXPECT_EQ(c.level1, LinesAt(1));
  EXPECT_EQ(c.heldKeys, link.State().heldKeys);
  std::vector<Bytes> chunks = tap.Chunks();
  chunks.erase(chunks.begin(), chunks.begin() + static_cast<std::ptrdiff_t>(handshakeChunks));
  EXPECT_EQ(c.chunks, chunks);
  EXPECT_EQ(c.left, QueuedBytes());
}

INSTANTIATE_TEST_SUITE_P(Outcomes, ReadStep, ::testing::ValuesIn(kReadCases),
                         CaseName<ReadStep::ParamType>);

TEST_F(FaultFixture, AWaitTheSystemLostEndsTheReaderAloneAndTheLinkTellsIt) {
  SerialJS link(1);
  ASSERT_TRUE(link.Open());
  ASSERT_TRUE(WaitUntilIdle());
  EXPECT_FALSE(link.ReaderLost());
  Push(W, {kErrorWaitLost, 0});
  ASSERT_TRUE(WaitForLine("SerialJS: the system lost the port's wait; the reader ends"));
  const auto deadline = std::chrono::steady_clock::now() + kLong;
  while (!link.ReaderLost() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(link.ReaderLost()) << "the reader did not end";
  EXPECT_TRUE(link.IsLineUp()) << "a lost wait is not the line going down";
  link.Close();
  EXPECT_FALSE(link.ReaderLost()) << "a closed link has no reader to lose";
  ASSERT_TRUE(link.Open());
  EXPECT_FALSE(link.ReaderLost());
}

TEST_F(FaultFixture, AFullBufferTakesOnlyWhatFitsAndTheRestInTheSameWakeUp) {
  SerialJS link(1);
  ASSERT_TRUE(link.Open());
  ASSERT_TRUE(WaitUntilIdle());
  // 250 bytes of a 255-byte init text wait in the buffer.
  Bytes start = {0x82, 0xFF};
  start.insert(start.end(), 248, 'a');
  std::size_t from = Calls().size();
  Receive(start);
  ASSERT_EQ((std::vector<Call>{W, Q, R, Q}), CallsFrom(from, 4));

  // Seven more: five fill the buffer and complete the text, two follow in the same wake-up.
  from = Calls().size();
  Receive({'a', 'a', 'a', 'a', 'a', 0x40, 0x60});
  const std::vector<Call> expected = {W, Q, R, Q, R, Q};
  ASSERT_EQ(expected, CallsFrom(from, expected.size()));
  const std::vector<CallRecord> calls = Calls();
  EXPECT_EQ(5u, calls[from + 2].outcome.value);
  EXPECT_EQ(2u, calls[from + 4].outcome.value);
  EXPECT_TRUE(WaitForLine("SerialJS: Init(" + std::string(253, 'a') + ")"));
  EXPECT_TRUE(WaitForReports(3));  // the text, the press and the release
}

// Holds the reader inside its first state report until the test lets it go.
class GateSink final : public jslog::LogSink {
 public:
  explicit GateSink(jslog::CaptureSink& capture) : capture_(capture) {}
  void Write(std::uint32_t category, std::uint32_t level, std::string_view text) noexcept override {
    capture_.Write(category, level, text);
    if (text.rfind("SerialJS: JI:", 0) != 0) return;
    std::unique_lock<std::mutex> guard(lock_);
    held_ = true;
    changed_.notify_all();
    changed_.wait(guard, [this] { return open_; });
  }
  bool WaitUntilHeld() {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, std::chrono::seconds(10), [this] { return held_; });
  }
  void Open() {
    std::lock_guard<std::mutex> guard(lock_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  jslog::CaptureSink& capture_;
  std::mutex lock_;
  std::condition_variable changed_;
  bool held_ = false;
  bool open_ = false;
};

TEST_F(FaultFixture, CloseWhileTheReaderDecodes) {
  GateSink gate(sink);
  jslog::ScopedLogSink gated(gate);
  SerialJS link(1);
  ASSERT_TRUE(link.Open());
  Receive({0x40, 0x60});
  ASSERT_TRUE(gate.WaitUntilHeld());  // in Decode, at the press

  std::thread closer([&] { link.Close(); });
  ASSERT_TRUE(WaitForCount(Call::kClose, 1));
  const std::size_t from = Calls().size();
  gate.Open();
  closer.join();

  // The thread finished its decode, made one more read step on the closed port (which found
  // nothing to read) and ended without a wait and without the invalid-event line.
  const std::vector<CallRecord> calls = Calls();
  ASSERT_EQ(from + 1, calls.size());
  EXPECT_EQ(Call::kQueuedInput, calls[from].call);
  EXPECT_EQ(kNotOpen, calls[from].outcome.code);
  EXPECT_TRUE(LinesAt(1).empty());
  EXPECT_EQ(0u, link.State().heldKeys);  // the release was decoded in the same pass
}

TEST_F(FaultFixture, TheTapIsSetOnlyWhileNoReaderRuns) {
  TapRecord tap;
  SerialJS link(1);
  ASSERT_TRUE(link.Open());
  link.SetReceiveTap(&TapRecord::Tap, &tap);  // too late: changes nothing
  Receive({0x40});
  ASSERT_TRUE(WaitForReports(1));
  link.Close();
  EXPECT_TRUE(tap.Chunks().empty());

  link.SetReceiveTap(&TapRecord::Tap, &tap);
  ASSERT_TRUE(link.Open());
  ASSERT_TRUE(WaitUntilIdle());
  Receive({0x60});
  ASSERT_TRUE(WaitForReports(2));
  link.Close();
  // The handshake's replies (one, or more on a busy machine, in one read or in several), then
  // what came after.
  const std::vector<Bytes> seen = tap.Chunks();
  ASSERT_GE(seen.size(), 2u);
  const Bytes reply(std::begin(kStatusReply), std::end(kStatusReply));
  ASSERT_FALSE(seen.front().empty());
  for (std::size_t at = 0; at < seen.front().size(); at += reply.size()) {
    EXPECT_EQ(reply, Bytes(seen.front().begin() + static_cast<long>(at),
                           seen.front().begin() + static_cast<long>(std::min(at + reply.size(),
                                                                             seen.front().size()))));
  }
  EXPECT_EQ(Bytes{0x60}, seen.back());

  link.SetReceiveTap(nullptr, nullptr);  // off again
  ASSERT_TRUE(link.Open());
  link.Close();
  EXPECT_EQ(seen, tap.Chunks());
}

}  // namespace
}  // namespace js::sys::fault
