// Open's set-up steps, Send, WaitForInput and the line's state, each failing as a test says.

#include <algorithm>
#include <chrono>
#include <ostream>
#include <utility>

#include "FaultFixture.h"

namespace js::sys::fault {
namespace {

using namespace std::chrono_literals;

struct SetupCase {
  const char* name;
  std::vector<std::pair<Call, ErrorCode>> failures;
  bool opens;
  std::vector<std::string> level1;
};
void PrintTo(const SetupCase& c, std::ostream* out) { *out << c.name; }

const SetupCase kSetupCases[] = {
    {"Opening", {{Call::kOpen, 2}}, false,
     {"SerialJS: Error (2) opening COM1: config: fault text 2"}},
    {"QueueSizes", {{Call::kSetQueueSizes, 87}}, false,
     {"SerialJS: Error (87) setting up COM1: config: fault text 87"}},
    {"Purge", {{Call::kPurge, 1117}}, false,
     {"SerialJS: Error (1117) purging COM1: config: fault text 1117"}},
    // Reading the line settings is only reported; the zeroed record is written all the same.
    {"ReadingLineSettings", {{Call::kReadLineSettings, 31}}, true,
     {"Serial: Error (31) reading  com port config: fault text 31"}},
    {"WritingLineSettings", {{Call::kWriteLineSettings, 87}}, false,
     {"SerialJS: Error (87) configuring com port: fault text 87"}},
    {"ReadingAndWritingLineSettings",
     {{Call::kReadLineSettings, 31}, {Call::kWriteLineSettings, 87}},
     false,
     {"Serial: Error (31) reading  com port config: fault text 31",
      "SerialJS: Error (87) configuring com port: fault text 87"}},
    // These two go unreported.
    {"EventMaskAndTimeouts", {{Call::kSetEventMask, 1}, {Call::kSetTimeouts, 1}}, true, {}},
};

class OpenSetup : public FaultFixture, public ::testing::WithParamInterface<SetupCase> {};

TEST_P(OpenSetup, FailsWithItsLineAndLeavesTheLinkClosed) {
  const SetupCase& c = GetParam();
  for (const auto& [call, code] : c.failures) Push(call, {code, 0});
  {
    SerialJS link(1);
    EXPECT_EQ(c.opens, link.Open());
    EXPECT_EQ(c.level1, LinesAt(1));
    EXPECT_EQ(c.opens, link.IsLineUp());
    if (c.opens) {
      // 19200 baud, 8 data bits, no parity, one stop bit, whatever was read.
      const std::vector<LineSettings> lines = LineSettingsWritten();
      ASSERT_EQ(1u, lines.size());
      EXPECT_EQ(19200u, lines[0].baudRate);
      EXPECT_EQ(8, lines[0].byteSize);
      EXPECT_EQ(0, lines[0].parity);
      EXPECT_EQ(0, lines[0].stopBits);
      link.Close();
    } else {
      // No reader ever ran and nothing was sent.
      EXPECT_EQ(0u, CountOf(Call::kWaitEvent));
      EXPECT_TRUE(Written().empty());
    }
  }
  // A port that was opened was closed once, by Close or by the failing step.
  const bool neverOpened = !c.failures.empty() && c.failures[0].first == Call::kOpen;
  EXPECT_EQ(neverOpened ? 0u : 1u, CountOf(Call::kClose));
}

INSTANTIATE_TEST_SUITE_P(Steps, OpenSetup, ::testing::ValuesIn(kSetupCases),
                         CaseName<OpenSetup::ParamType>);

// Every port number opens under the name the system finds it by: COM1 to COM9 as "COMn:", the
// name their log lines have always shown; from COM10 on only as "\\.\COMn".
struct NameCase {
  const char* name;
  std::uint32_t number;
  const wchar_t* opened;
  const char* failure;  // the line when that open fails with code 2
};
void PrintTo(const NameCase& c, std::ostream* out) { *out << c.name; }

const NameCase kNameCases[] = {
    {"Com1", 1, L"COM1:", "SerialJS: Error (2) opening COM1: config: fault text 2"},
    {"Com9", 9, L"COM9:", "SerialJS: Error (2) opening COM9: config: fault text 2"},
    {"Com10", 10, L"\\\\.\\COM10", "SerialJS: Error (2) opening \\\\.\\COM10 config: fault text 2"},
    {"Com99", 99, L"\\\\.\\COM99", "SerialJS: Error (2) opening \\\\.\\COM99 config: fault text 2"},
    {"Com100", 100, L"\\\\.\\COM100", "SerialJS: Error (2) opening \\\\.\\COM100 config: fault text 2"},
    {"Com255", 255, L"\\\\.\\COM255", "SerialJS: Error (2) opening \\\\.\\COM255 config: fault text 2"},
    // Nothing takes a number this large, but its name still fits.
    {"LargestNumber", 4294967295u, L"\\\\.\\COM4294967295",
     "SerialJS: Error (2) opening \\\\.\\COM4294967295 config: fault text 2"},
};

class PortName : public FaultFixture, public ::testing::WithParamInterface<NameCase> {};

TEST_P(PortName, OpensAndReportsUnderTheSystemsName) {
  const NameCase& c = GetParam();
  {
    SerialJS link(c.number);
    ASSERT_TRUE(link.Open());
    link.Close();
  }
  sink.Clear();  // the closed reader's line
  Push(Call::kOpen, {2, 0});
  SerialJS link(c.number);
  EXPECT_FALSE(link.Open());
  const std::vector<std::wstring> expected = {c.opened, c.opened};
  EXPECT_EQ(expected, OpenedNames());
  EXPECT_EQ(std::vector<std::string>{c.failure}, LinesAt(1));
}

INSTANTIATE_TEST_SUITE_P(Numbers, PortName, ::testing::ValuesIn(kNameCases),
                         CaseName<PortName::ParamType>);

struct SendCase {
  const char* name;
  std::vector<std::pair<Call, Outcome>> script;
  bool sent;
  std::vector<std::string> level1;
};
void PrintTo(const SendCase& c, std::ostream* out) { *out << c.name; }

const SendCase kSendCases[] = {
    {"DoneAtOnce", {}, true, {}},
    {"PendingThenDone", {{Call::kWrite, {kErrorIoPending, 0}}, {Call::kAwaitResult, {0, 3}}},
     true, {}},
    {"PendingThenFailed",
     {{Call::kWrite, {kErrorIoPending, 0}}, {Call::kAwaitResult, {1117, 1}}},
     false,
     {"SerialJS: Error (1117) sending command: fault text 1117"}},
    {"FailedAtOnce", {{Call::kWrite, {22, 0}}}, false,
     {"SerialJS: Error (22) sending command: fault text 22"}},
    // Cut short by the write time-out without an error code: sent, as far as the link knows.
    {"CutShort", {{Call::kWrite, {0, 1}}}, true, {}},
};

class SendOutcome : public FaultFixture, public ::testing::WithParamInterface<SendCase> {};

TEST_P(SendOutcome, ResultAndLine) {
  const SendCase& c = GetParam();
  SerialJS link(1);
  ASSERT_TRUE(link.Open());
  sink.Clear();
  for (const auto& [call, outcome] : c.script) Push(call, outcome);
  const std::uint8_t bytes[] = {0x10, 0x20, 0x30};
  EXPECT_EQ(c.sent, link.Send(bytes, 3));
  EXPECT_EQ(c.level1, LinesAt(1));
}

INSTANTIATE_TEST_SUITE_P(Outcomes, SendOutcome, ::testing::ValuesIn(kSendCases),
                         CaseName<SendOutcome::ParamType>);

TEST_F(FaultFixture, HandshakeEndsAtTheFirstFailedSend) {
  AnswerStatusRequests(false);
  Push(Call::kWrite, {0, 1});     // the reset goes out
  Push(Call::kWrite, {1117, 0});  // the first status request does not
  SerialJS link(1);
  EXPECT_FALSE(link.Open());
  const std::vector<std::string> expected = {
      "SerialJS: Error (1117) sending command: fault text 1117",
      "SerialJS: Invalid WaitCommEvent(00000000)"};  // the reader's closing line
  EXPECT_EQ(expected, LinesAt(1));
  EXPECT_TRUE(LinesAt(2).empty());  // no "not answering" line: it ended at once
  EXPECT_EQ(2u, CountOf(Call::kWrite));
  EXPECT_FALSE(link.IsLineUp());
}

// WaitForInput: the time running out, a report before the wait, and a wait that fails.
struct WaitCase {
  const char* name;
  bool reportFirst;
  bool waitFails;
  std::uint32_t milliseconds;
  bool result;
  bool setAfterwards;  // WaitForInput(0) right after
};
void PrintTo(const WaitCase& c, std::ostream* out) { *out << c.name; }

const WaitCase kWaitCases[] = {
    {"NothingReportedNoTime", false, false, 0, false, false},
    {"NothingReportedTimeRunsOut", false, false, 150, false, false},
    {"ReportedNoTime", true, false, 0, true, false},
    {"ReportedEndless", true, false, kInfinite, true, false},
    // A failed wait counts as woken, and clears the event.
    {"WaitFailsAfterReport", true, true, 0, true, false},
    {"WaitFailsNothingReported", false, true, kInfinite, true, false},
};

class WaitForInputCase : public FaultFixture, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(WaitForInputCase, ResultAndEvent) {
  const WaitCase& c = GetParam();
  SerialJS link(1);
  ASSERT_TRUE(link.Open());
  (void)link.WaitForInput(0);  // whatever the handshake reported
  if (c.reportFirst) {
    const std::size_t asked = CountOf(Call::kQueuedInput);
    Receive({0x40});
    ASSERT_TRUE(WaitForReports(1));
    // The event is set just after the report's line; the reader asks the queue again only
    // after that, so once it has, the event is surely set.
    const auto deadline = std::chrono::steady_clock::now() + kLong;
    while (CountOf(Call::kQueuedInput) < asked + 2 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  if (c.waitFails) Push(Call::kEventWait, {1, 0});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(c.result, link.WaitForInput(c.milliseconds));
  const auto took = std::chrono::steady_clock::now() - start;
  if (!c.result) {
    EXPECT_GE(took, std::chrono::milliseconds(c.milliseconds / 2));
  }
  EXPECT_LT(took, std::chrono::milliseconds(c.milliseconds == kInfinite ? 0 : c.milliseconds) +
                      kLong);
  EXPECT_EQ(c.setAfterwards, link.WaitForInput(0));
}

INSTANTIATE_TEST_SUITE_P(Waits, WaitForInputCase, ::testing::ValuesIn(kWaitCases),
                         CaseName<WaitForInputCase::ParamType>);

// What the reader's wait gives, and whether that means the line went down.
struct LineCase {
  const char* name;
  Outcome wait;
  const char* line;
  bool down;
};
void PrintTo(const LineCase& c, std::ostream* out) { *out << c.name; }

const LineCase kLineCases[] = {
    {"HangUpAsLineError", {kSuccess, kEventLineError}, "SerialJS: Invalid WaitCommEvent(00000080)",
     true},
    {"FailedWait", {21, 0}, "SerialJS: Invalid WaitCommEvent(00000000)", true},
    {"FailedWaitWithAMask", {21, 0x04}, "SerialJS: Invalid WaitCommEvent(00000004)", true},
    {"EmptyMask", {kSuccess, 0}, "SerialJS: Invalid WaitCommEvent(00000000)", false},
    {"OtherEvent", {kSuccess, 0x04}, "SerialJS: Invalid WaitCommEvent(00000004)", false},
};

class LineState : public FaultFixture, public ::testing::WithParamInterface<LineCase> {};

TEST_P(LineState, DownOnlyForAFailedWaitOrALineError) {
  const LineCase& c = GetParam();
  SerialJS link(1);
  ASSERT_TRUE(link.Open());
  EXPECT_TRUE(link.IsLineUp());
  (void)link.WaitForInput(0);

  for (int time = 0; time < 2; ++time) {
    sink.Clear();
    Push(Call::kWaitEvent, c.wait);
    ASSERT_TRUE(WaitForLine(c.line));  // the reader's line and pause stay as they were
    EXPECT_EQ(!c.down, link.IsLineUp());
    // The event is set when the line goes down, and once only.
    EXPECT_EQ(c.down && time == 0, link.WaitForInput(0)) << "time " << time;
  }
  // Bytes still arriving do not bring it back; only a new Open does.
  Receive({0x40});
  ASSERT_TRUE(link.WaitForInput(kLong.count()));
  EXPECT_EQ(!c.down, link.IsLineUp());
  link.Close();
  EXPECT_FALSE(link.IsLineUp());
  ASSERT_TRUE(link.Open());
  EXPECT_TRUE(link.IsLineUp());
}

INSTANTIATE_TEST_SUITE_P(Waits, LineState, ::testing::ValuesIn(kLineCases),
                         CaseName<LineState::ParamType>);

TEST_F(FaultFixture, CloseIsNotALineGoingDown) {
  SerialJS link(1);
  ASSERT_TRUE(link.Open());
  (void)link.WaitForInput(0);
  link.Close();  // the reader's wait ends with a failure, but the link was being closed
  ASSERT_TRUE(WaitForLine("SerialJS: Invalid WaitCommEvent(00000000)"));
  EXPECT_FALSE(link.WaitForInput(0));
  EXPECT_FALSE(link.IsLineUp());
}

TEST_F(FaultFixture, ALinkNeverOpenedIsNotUp) {
  SerialJS link(1);
  EXPECT_FALSE(link.IsLineUp());
}

}  // namespace
}  // namespace js::sys::fault
