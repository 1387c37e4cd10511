// The MIDI output against a JACK server of the test's own: what is sent reaches a recording
// client exact, in order and on time; ports are connected by the map's patterns; the server's
// absence and loss are told once and outlived.

#include <gtest/gtest.h>
#include <re2/re2.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "JackSession.h"
#include "KeyMap.h"
#include "MidiOutput.h"
#include "ServeOutput.h"

namespace {

using namespace std::chrono_literals;
using jskeys::Action;
using jskeys::MidiMessage;
using jskeys_test::HeardEvent;
using jskeys_test::JackRecorder;
using jskeys_test::JackServer;
using jskeys_test::Serve;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

const std::string kOutPort = "jskeys:midi_out";

// What the output said, in order; it speaks on the test's thread only.
std::vector<std::string> g_said;
void Record(std::string_view text) { g_said.emplace_back(text); }
std::string Said() {
  std::string all;
  for (const std::string& line : g_said) all += "\n  " + line;
  return all;
}
bool SaidHas(const std::string& text) {
  return std::any_of(g_said.begin(), g_said.end(),
                     [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

jskeys::KeyMap MidiMap(const std::vector<std::string>& connect) {
  jskeys::KeyMap map;
  map.usesMidi = true;
  for (const std::string& pattern : connect) {
    map.midiConnect.push_back(std::make_shared<const re2::RE2>(pattern));
    map.midiConnectText.push_back(pattern);
  }
  return map;
}

MidiMessage Message(MidiMessage::Kind kind, std::uint8_t channel, std::uint8_t number,
                    std::uint8_t value) {
  return MidiMessage{.kind = kind, .channel = channel, .number = number, .value = value};
}

class MidiOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!JackServer::Installed()) GTEST_SKIP() << "jackd is not installed (Debian: jackd2)";
    g_said.clear();
  }

  // Opens a recording client `name` and serves the output until it is connected there.
  testing::AssertionResult Connected(JackRecorder& recorder, const std::string& name = "synth") {
    std::string error;
    if (!recorder.Open(name, error)) return testing::AssertionFailure() << error;
    if (Serve(*output_, [&] { return recorder.ConnectedTo(kOutPort); }, 30s)) {
      return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << name << ":in was not connected; the output said:"
                                       << Said() << "\nthe server said:\n" << server_.Log();
  }
  // A server, a map that connects "synth", and the recording client "synth".
  testing::AssertionResult Started(JackRecorder& recorder) {
    std::string error;
    if (!server_.Start(error)) return testing::AssertionFailure() << error;
    output_->SetMap(MidiMap({"^synth:"}));
    return Connected(recorder);
  }
  bool Send(const MidiMessage& message) { return output_->Send(Action::Midi(message)); }
  // Sends `messages` in bursts of `burst`, the loop served between bursts.
  void SendAll(const std::vector<MidiMessage>& messages, std::size_t burst = 1) {
    for (std::size_t i = 0; i < messages.size(); ++i) {
      EXPECT_TRUE(Send(messages[i])) << "message " << i << Said();
      if ((i + 1) % burst == 0) Serve(*output_, [] { return false; }, 5ms);
    }
    output_->Flush();
  }

  JackServer server_;
  std::unique_ptr<jskeys::ActionOutput> output_ = jskeys::MakeMidiOutput(&Record);
};

std::vector<Bytes> BytesOf(const std::vector<HeardEvent>& heard) {
  std::vector<Bytes> bytes;
  for (const HeardEvent& event : heard) bytes.push_back(event.bytes);
  return bytes;
}

struct StreamCase {
  const char* name;
  std::vector<MidiMessage> sent;
  std::vector<Bytes> expected;
  std::size_t burst;
};

std::vector<StreamCase> StreamCases() {
  using K = MidiMessage::Kind;
  std::vector<StreamCase> cases = {
      {"note on, then off", {Message(K::kNoteOn, 0, 60, 127), Message(K::kNoteOff, 0, 60, 0)},
       {{0x90, 60, 127}, {0x80, 60, 0}}, 1},
      {"on the last channel", {Message(K::kNoteOn, 15, 0, 1), Message(K::kControl, 15, 127, 127)},
       {{0x9F, 0, 1}, {0xBF, 127, 127}}, 2},
  };
  StreamCase cc{"1000 controller values in bursts of 100", {}, {}, 100};
  for (int i = 0; i < 1000; ++i) {
    const auto channel = static_cast<std::uint8_t>(i % 16);
    const auto number = static_cast<std::uint8_t>(i % 128);
    const auto value = static_cast<std::uint8_t>((i * 7) % 128);
    cc.sent.push_back(Message(K::kControl, channel, number, value));
    cc.expected.push_back({static_cast<std::uint8_t>(0xB0 | channel), number, value});
  }
  cases.push_back(cc);
  return cases;
}

TEST_F(MidiOutputTest, WhatIsSentReachesThePortExactAndInOrder) {
  JackRecorder recorder;
  ASSERT_TRUE(Started(recorder));
  for (const StreamCase& c : StreamCases()) {
    SendAll(c.sent, c.burst);
    const std::vector<HeardEvent> heard = recorder.WaitFor(c.expected.size());
    EXPECT_EQ(BytesOf(heard), c.expected) << c.name << "; the output said:" << Said();
  }
  EXPECT_FALSE(SaidHas("lost")) << Said();
}

// An event is heard at most one period after its Send (the test's clock read just before it,
// and a millisecond for that), plus what the Send itself took: a Send cut off by the scheduler
// across a period's start goes with the next period. A period the server did not finish in time
// (a busy machine) delays or loses what it held: such a round is played again, and when the
// last had one too, only order is asked.
TEST_F(MidiOutputTest, EachEventKeepsTheTimeItWasSentAt) {
  JackRecorder recorder;
  ASSERT_TRUE(Started(recorder));
  constexpr std::size_t kEvents = 100;
  constexpr int kRounds = 3;
  constexpr std::int32_t kPeriod = jskeys_test::kJackPeriod, kMs = jskeys_test::kJackRate / 1000;
  for (int round = 0; round < kRounds; ++round) {
    const int xruns = recorder.Xruns();
    std::vector<jack_nframes_t> sentAt, sendTook;
    for (std::size_t i = 0; i < kEvents; ++i) {
      sentAt.push_back(jack_frame_time(recorder.Client()));
      Send(Message(MidiMessage::Kind::kControl, 0, 1, i));
      sendTook.push_back(jack_frame_time(recorder.Client()) - sentAt.back());
      Serve(*output_, [] { return false; }, 2ms);
    }
    const std::vector<HeardEvent> heard = recorder.WaitFor(kEvents);
    const bool clean = recorder.Xruns() == xruns;
    if (!clean && round + 1 < kRounds) continue;
    std::string faults;
    for (std::size_t i = 0; i < heard.size(); ++i) {
      const std::size_t sent = heard[i].bytes[2];
      const auto after = static_cast<std::int32_t>(heard[i].frame - sentAt[sent]);
      const auto latest = kPeriod + kMs + static_cast<std::int32_t>(sendTook[sent]);
      if ((clean && after > latest) ||
          (i > 0 && static_cast<std::int32_t>(heard[i].frame - heard[i - 1].frame) < 0)) {
        faults += " event " + std::to_string(sent) + ": " + std::to_string(after) + " frames;";
      }
    }
    EXPECT_TRUE(faults.empty()) << "late, or before the one sent ahead:" << faults;
    EXPECT_TRUE(!clean || heard.size() == kEvents) << heard.size() << " heard" << Said();
    break;
  }
}

TEST_F(MidiOutputTest, ConnectsThePortsThePatternsFindNowAndWhenTheyAppear) {
  std::string error;
  ASSERT_TRUE(server_.Start(error)) << error;
  JackRecorder early, other, late;
  ASSERT_TRUE(other.Open("other", error)) << error;
  output_->SetMap(MidiMap({"^early:", "late:in$"}));
  ASSERT_TRUE(Connected(early, "early"));
  ASSERT_TRUE(Connected(late, "late"));
  // The same map again (a reload): what is connected stays, and is no error.
  output_->SetMap(MidiMap({"^early:", "late:in$"}));
  Serve(*output_, [] { return false; }, 100ms);
  EXPECT_EQ(std::count(g_said.begin(), g_said.end(), "MIDI to early:in"), 1) << Said();
  EXPECT_FALSE(SaidHas("could not")) << Said();
  SendAll({Message(MidiMessage::Kind::kNoteOn, 9, 36, 100)});
  const std::vector<Bytes> note = {{0x99, 36, 100}};
  EXPECT_EQ(BytesOf(early.WaitFor(1)), note);
  EXPECT_EQ(BytesOf(late.WaitFor(1)), note);
  EXPECT_FALSE(other.ConnectedTo(kOutPort));
}

TEST_F(MidiOutputTest, NoServerAtStartIsToldOnceAndOneIsFoundLater) {
  server_.MakeDefault();  // not started yet
  output_->SetMap(MidiMap({"^synth:"}));
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < 100; ++i) EXPECT_FALSE(Send(Message(MidiMessage::Kind::kControl, 0, 1, 2)));
  EXPECT_LT(Clock::now() - start, 1s) << "Send waited on JACK";
  // Looked for again, and again (1 s, then 2 s later), without a word more.
  Serve(*output_, [] { return false; }, 3500ms);
  EXPECT_EQ(g_said, std::vector<std::string>{
                        "no JACK server: MIDI actions are dropped until one starts"});

  JackRecorder recorder;
  ASSERT_TRUE(Started(recorder));
  EXPECT_TRUE(SaidHas("MIDI out on jskeys:midi_out (100 MIDI actions were dropped)")) << Said();
  SendAll({Message(MidiMessage::Kind::kControl, 2, 7, 99)});
  const std::vector<Bytes> expected = {{0xB2, 7, 99}};
  EXPECT_EQ(BytesOf(recorder.WaitFor(1)), expected) << Said();
}

TEST_F(MidiOutputTest, AServerThatDiedIsFoundAgainAndTheLastNotesGoOutAtFinish) {
  {
    JackRecorder recorder;
    ASSERT_TRUE(Started(recorder));
    server_.Kill();
    ASSERT_TRUE(Serve(*output_, [] { return SaidHas("went away"); }, 30s)) << Said();
  }
  const Clock::time_point start = Clock::now();
  EXPECT_FALSE(Send(Message(MidiMessage::Kind::kNoteOn, 0, 60, 127)));
  EXPECT_LT(Clock::now() - start, 1s) << "Send waited on JACK";

  JackRecorder recorder;
  ASSERT_TRUE(Started(recorder));
  EXPECT_TRUE(SaidHas("the JACK server is back: MIDI out on jskeys:midi_out")) << Said();
  // The note sent while it was gone stays gone; what follows goes out, the last of it at Finish.
  ASSERT_TRUE(Send(Message(MidiMessage::Kind::kNoteOn, 0, 61, 90)));
  ASSERT_TRUE(Send(Message(MidiMessage::Kind::kNoteOff, 0, 61, 0)));
  output_->Finish();
  const std::vector<Bytes> expected = {{0x90, 61, 90}, {0x80, 61, 0}};
  EXPECT_EQ(BytesOf(recorder.WaitFor(2, 2s)), expected)
      << Said() << "\nperiods the server did not finish in time: " << recorder.Xruns();
  const auto gone = [](const std::string& line) {
    return line.find("went away") != std::string::npos;
  };
  EXPECT_EQ(std::count_if(g_said.begin(), g_said.end(), gone), 1) << Said();
}

}  // namespace
