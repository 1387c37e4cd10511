// The presence handshake against simulated controllers.

#include <chrono>

#include "ControllerModel.h"
#include "LinkFixture.h"

namespace {

using namespace std::chrono_literals;

class Handshake : public LinkFixture {
 protected:
  std::size_t GetStatusLines() const { return Count(8, kGetStatusLine); }
  std::size_t ResetLines() const { return Count(8, kResetLine); }
};

TEST_F(Handshake, AnswerToTheFirstRequest) {
  StartSim();
  SerialJS link(1);
  ASSERT_TRUE(link.Open());
  // A busy machine may let more requests out before the reply is decoded, and when the whole
  // attempt's 40 ms pass first, start another one; a quiet one answers in the first.
  const std::size_t attempts = ResetLines();
  EXPECT_GE(attempts, 1u);
  EXPECT_GE(GetStatusLines(), 1u);
  EXPECT_LE(GetStatusLines(), 8u * attempts);
  // The link is open: whatever it sent reaches the controller, however late it reads.
  EXPECT_TRUE(sim.WaitUntil([&](const auto&) { return sim.StatusRequestsReceived() == GetStatusLines(); }, 5s));
  EXPECT_EQ(attempts, sim.ResetsReceived());
  EXPECT_EQ(0u, Count(2, kNotAnswering));
  link.Close();
  EXPECT_EQ(1u, Count(1, kClosingLine));
}

TEST_F(Handshake, AnswerAfterTheThirdRepeat) {
  StartSim({.answerFrom = 4});
  SerialJS link(1);
  ASSERT_TRUE(link.Open());
  const std::size_t attempts = ResetLines();  // one, unless the machine is very busy
  EXPECT_GE(attempts, 1u);
  EXPECT_GE(GetStatusLines(), 4u);
  EXPECT_LE(GetStatusLines(), 8u * attempts);
  EXPECT_TRUE(sim.WaitUntil([&](const auto&) { return sim.StatusRequestsReceived() == GetStatusLines(); }, 5s));
}

TEST_F(Handshake, SilentPortGivesSevenFullAttempts) {
  StartSim({.silent = true});
  SerialJS link(1);
  EXPECT_FALSE(link.Open());
  const auto texts = sink.Texts();
  ASSERT_EQ(7u * 9u + 2u, texts.size());
  for (std::size_t attempt = 0; attempt < 7; ++attempt) {
    EXPECT_EQ(kResetLine, texts[attempt * 9]);
    for (std::size_t i = 1; i < 9; ++i) EXPECT_EQ(kGetStatusLine, texts[attempt * 9 + i]);
  }
  // The port is closed (the reader's closing line) before the level-2 line.
  EXPECT_EQ(kClosingLine, texts[63]);
  EXPECT_EQ((jslog::LogLine{24, 2, kNotAnswering}), sink.Lines().back());
  // What the controller heard is what was sent, but for the last requests when it read them too
  // late: Close purges the line, and on a pseudo-terminal that takes what the far end has not read.
  EXPECT_TRUE(jssim::IsHandshakeStart(sim.Received(), 7, 8)) << sim.Received().size();
}

TEST_F(Handshake, StatusC0OfFFFFAloneIsNotAnAnswer) {
  StartSim({.replyOverride = {0xC0, 0xFF, 0xFF}});
  SerialJS link(1);
  EXPECT_FALSE(link.Open());
  EXPECT_TRUE(jssim::IsHandshakeStart(sim.Received(), 7, 8)) << sim.Received().size();
  EXPECT_EQ(1u, Count(2, kNotAnswering));
}

TEST_F(Handshake, AnyOtherStatusReplyIsAnAnswer) {
  StartSim({.replyOverride = {0xC2, 0x00}});
  SerialJS link(1);
  EXPECT_TRUE(link.Open());
}

TEST_F(Handshake, SendFailureEndsOpenWithoutFurtherAttempts) {
  StartSim({.silent = true, .hangUpAfterRequests = 2});  // unplugged while it waits
  SerialJS link(1);
  EXPECT_FALSE(link.Open());
  EXPECT_EQ(1u, CountStartingWith(linktest::kFacts.hungUpSendPrefix));
  EXPECT_EQ(0u, Count(2, kNotAnswering));
  EXPECT_EQ(1u, ResetLines());
  EXPECT_EQ(2u, sim.StatusRequestsReceived());
}

TEST_F(Handshake, InitTextAfterResetIsDecodedWhileWaiting) {
  StartSim({.initText = "JS ready", .sendInit = true});
  SerialJS link(1);
  ASSERT_TRUE(link.Open());
  EXPECT_TRUE(WaitForLine("SerialJS: Init(JS ready)"));
  EXPECT_TRUE(link.WaitForInput(0));  // the init text is a reported change
}

TEST_F(Handshake, ReopenAfterCloseRunsAFreshHandshake) {
  StartSim();
  SerialJS link(1);
  ASSERT_TRUE(link.Open());
  link.Close();
  ASSERT_TRUE(link.Open());
  EXPECT_EQ(2u, ResetLines());
  EXPECT_EQ(2u, sim.ResetsReceived());
}

}  // namespace
