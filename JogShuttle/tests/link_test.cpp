// The link on a pseudo-terminal: opening, the raw line, the receive path and closing. The same
// cases on both platforms; those that are POSIX by nature are in link_posix_test.cpp.

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "ControllerModel.h"
#include "LinkFixture.h"
#include "SerialJSAccess.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

class Link : public LinkFixture {};

TEST_F(Link, MissingPortFailsAtOpeningWithTheSystemText) {
  SerialJS link(1);  // nothing at com1
  EXPECT_FALSE(link.Open());
  const std::vector<jslog::LogLine> expected = {{24, 1, linktest::kFacts.missingPortLine}};
  EXPECT_EQ(expected, sink.Lines());
  link.Close();
  link.Close();
  EXPECT_EQ(1u, sink.Lines().size());  // no thread ever ran: no closing line
}

// The look before a try tells a name with nothing behind it from a line, as its device goes and
// comes back: the search skips the one and tries the other at once. Under Wine the COM name stays
// defined while the pseudo-terminal it maps to is gone.
TEST_F(Link, TheLookBeforeATrySeesTheDeviceGoAndComeBack) {
  struct Step {
    bool there;  // a simulator behind COM1
    PortInfo::State state;
  };
  const Step steps[] = {{false, PortInfo::State::kMissing},
                        {true, PortInfo::State::kFree},
                        {false, PortInfo::State::kMissing},
                        {true, PortInfo::State::kFree}};
  int number = 0;
  for (const Step& step : steps) {
    if (step.there) {
      StartSim();
    } else {
      sim.Stop();
    }
    const PortInfo info = SerialJS::InspectPort(1, PortInfo::Look::kOpenable);
    EXPECT_EQ(static_cast<int>(step.state), static_cast<int>(info.state))
        << "step " << number << (step.there ? " (there)" : " (gone)") << ": " << info.reason;
    ++number;
  }
}

TEST_F(Link, AnOpenLinkHoldsThePortAgainstOthers) {
  if (const std::string why = linktest::WhyNoExclusiveOpen(); !why.empty()) GTEST_SKIP() << why;
  StartSim();
  SerialJS first(1);
  ASSERT_TRUE(first.Open());
  SerialJS second(1);
  EXPECT_FALSE(second.Open());
  EXPECT_EQ(1u, Count(1, linktest::kFacts.busyPortLine));
  first.Close();
  EXPECT_TRUE(second.Open());  // and Close gave it back
}

TEST_F(Link, EveryByteValueCrossesTheLineUnchangedBothWays) {
  StartSim();
  SerialJS link(1);
  ASSERT_TRUE(link.Open());

  // Out: all 256 values in one write arrive as they are; no translation of line ends.
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
  ASSERT_TRUE(link.Send(all.data(), static_cast<std::uint32_t>(all.size())));
  std::size_t before = 0;
  ASSERT_TRUE(sim.WaitUntil(
      [&](const Bytes& got) {
        before = jssim::HandshakeLength(got);
        return before > 0 && got.size() >= before + 256;
      },
      5s));
  const Bytes heard = sim.Received();
  EXPECT_EQ(all, Bytes(heard.begin() + static_cast<std::ptrdiff_t>(before), heard.end()));

  // In: each value as a one-byte init text; control and flow-control bytes are not eaten,
  // changed or turned into signals.
  Bytes in;
  for (int i = 0; i < 256; ++i) in.insert(in.end(), {0x82, 0x03, static_cast<std::uint8_t>(i)});
  sink.Clear();
  ASSERT_TRUE(sim.Send(in));
  ASSERT_TRUE(WaitForLineCount(256, "SerialJS: Init("));
  std::vector<std::string> inits;
  for (const std::string& text : sink.Texts()) {
    if (text.rfind("SerialJS: Init(", 0) == 0) inits.push_back(text);
  }
  ASSERT_EQ(256u, inits.size());
  for (int i = 0; i < 256; ++i) {
    std::string shown;
    if (i == 0) {
      shown = "";  // the text stops at a zero byte
    } else if (i == '\n') {
      shown = "\\n";
    } else if (i == '\r') {
      shown = "\\r";
    } else if (i == '\t') {
      shown = "\\t";
    } else if (i == '\\') {
      shown = "\\\\";
    } else if (i >= 0x20 && i < 0x7F) {
      shown = std::string(1, static_cast<char>(i));
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", i);
      shown = hex;
    }
    EXPECT_EQ("SerialJS: Init(" + shown + ")", inits[i]) << "byte " << i;
  }
  // Nothing came back: the controller saw only the handshake and our 256 bytes.
  link.Close();
  EXPECT_EQ(before + 256, sim.Received().size());
}

TEST_F(Link, PiecesAndBurstsDecodeInOrderAndWakeTheWaiter) {
  StartSim();
  SerialJS link(1);
  ASSERT_TRUE(link.Open());
  sink.Clear();
  EXPECT_FALSE(link.WaitForInput(0));

  // One message in three pieces.
  for (std::uint8_t byte : {0x81, 0x05, 0xF9}) {
    ASSERT_TRUE(sim.Send(Bytes{byte}));
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_TRUE(link.WaitForInput(5000));
  EXPECT_EQ(-7, link.State().shuttle);
  EXPECT_EQ(5u, link.State().jogIncrements);

  // A burst larger than the receive buffer: 200 key taps and a long init text.
  Bytes burst;
  for (int i = 0; i < 200; ++i) burst.insert(burst.end(), {0x40, 0x60});
  burst.insert(burst.end(), {0x82, 0xFF});
  burst.insert(burst.end(), 253, 'L');
  burst.insert(burst.end(), {0x41});
  ASSERT_TRUE(sim.Send(burst));
  ASSERT_TRUE(WaitForLine("SerialJS: JI:05 JD:00 S:-7(fffffff9) K:0200 SK:0000 CK:0000 SCK:0000 "
                          "E:00 M:0200"));
  const auto texts = sink.Texts();
  std::size_t reports = 0, inits = 0;
  for (const std::string& text : texts) {
    if (text.rfind("SerialJS: JI:", 0) == 0) ++reports;
    if (text == "SerialJS: Init(" + std::string(253, 'L') + ")") ++inits;
  }
  EXPECT_EQ(1u + 400u + 1u + 1u, reports);
  EXPECT_EQ(1u, inits);
  EXPECT_TRUE(link.WaitForInput(0));
  EXPECT_FALSE(link.WaitForInput(0));
}

TEST_F(Link, CloseEndsTheWaitingReaderAtOnce) {
  StartSim();
  auto link = std::make_unique<SerialJS>(1);
  ASSERT_TRUE(link->Open());
  std::this_thread::sleep_for(20ms);  // the reader is waiting
  sink.Clear();
  const auto start = std::chrono::steady_clock::now();
  link->Close();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, 900ms);  // well within the reader's 1000 ms bound
  EXPECT_EQ(1u, Count(1, kClosingLine));
  link->Close();
  link.reset();
  EXPECT_EQ(1u, sink.Lines().size());
}

TEST_F(Link, FarEndHangingUpMakesTheReaderPauseNotSpin) {
  StartSim();
  SerialJS link(1);
  ASSERT_TRUE(link.Open());
  sink.Clear();
  sim.HangUp();
  ASSERT_TRUE(WaitForLine(kHangUpLine));
  std::this_thread::sleep_for(300ms);
  // One line per 10 ms pause at the most; a spinning reader would log thousands.
  const std::size_t lines = Count(1, kHangUpLine);
  EXPECT_GE(lines, 1u);
  EXPECT_LE(lines, 40u);
  link.Close();
  const std::size_t afterClose = sink.Lines().size();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(afterClose, sink.Lines().size());  // the reader has ended
}

TEST_F(Link, ResetKeepsHeldKeysAndClearsTheRest) {
  StartSim();
  SerialJS link(1);
  ASSERT_TRUE(link.Open());
  ASSERT_TRUE(sim.Send(Bytes{0x40, 0x81, 0x03, 0x02, 0x80, 0xFE}));
  ASSERT_TRUE(link.WaitForInput(5000));
  ASSERT_TRUE(WaitForLineCount(3, "SerialJS: JI:"));
  const std::uint32_t resetsBefore = sim.ResetsReceived();

  link.Reset();
  const JogShuttleState state = link.State();
  EXPECT_EQ(0x100u, state.heldKeys);
  EXPECT_EQ(0u, state.keys);
  EXPECT_EQ(0u, state.jogIncrements);
  EXPECT_EQ(0u, state.jogDecrements);
  EXPECT_EQ(0, state.shuttle);
  EXPECT_EQ(0u, state.statusC0);
  EXPECT_EQ(0u, state.statusC1);
  EXPECT_EQ(0u, state.statusC2);
  EXPECT_TRUE(sim.WaitUntil([&](const Bytes&) { return sim.ResetsReceived() == resetsBefore + 1; }, 5s));
  EXPECT_EQ(0x43, sim.Received().back());
}

TEST_F(Link, ResetOnAClosedLinkReportsTheFailedSendAndStillClears) {
  SerialJS link(1);
  link.Reset();
  EXPECT_EQ(1u, CountStartingWith(linktest::kFacts.closedSendPrefix));
  EXPECT_EQ(0u, link.State().statusC0);
}

TEST_F(Link, QueueCountThatCannotBeAskedReadsNothing) {
  SerialJS closed(1);
  EXPECT_FALSE(SerialJSAccess::ReadAvailable(closed));
  EXPECT_EQ(0u, SerialJSAccess::RxCount(closed));
  EXPECT_TRUE(sink.Lines().empty());
}

TEST_F(Link, SendAndReadsDoNotMeddleWithEachOther) {
  // The user's thread writes while the reader reads a stream; each side's counts stay its own.
  StartSim();
  SerialJS link(1);
  ASSERT_TRUE(link.Open());
  sink.Clear();
  std::thread controller([&] {
    for (int i = 0; i < 300; ++i) sim.Send(Bytes{0x40, 0x60});
  });
  const std::uint8_t ping[] = {0x10, 0x20, 0x30, 0x44};
  int sent = 0;
  for (int i = 0; i < 300; ++i) sent += link.Send(ping, 4) ? 1 : 0;
  controller.join();
  EXPECT_EQ(300, sent);
  ASSERT_TRUE(WaitForLineCount(600, "SerialJS: JI:"));
  EXPECT_TRUE(sim.WaitUntil(
      [&](const Bytes& got) {
        const std::size_t handshake = jssim::HandshakeLength(got);
        return handshake > 0 && got.size() == handshake + 1200;
      },
      5s));
}

}  // namespace
