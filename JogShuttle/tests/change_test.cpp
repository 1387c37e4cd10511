// Every change the decoder makes, in the order of the bytes, through the real link: what the
// state alone cannot tell when a press and its release come in one read. The same cases on both
// platforms (under the Wine bench for Win32).

#include <chrono>
#include <string>
#include <thread>

#include "ChangeQueue.h"
#include "LinkFixture.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Texts = std::vector<std::string>;

// "press 0", "release 5 modifier", "jog -2", "shuttle -7", "init JS", "status c1 0", "down",
// "lost 12".
std::string Describe(const JogShuttleChange& change) {
  static const char* const kClasses[] = {"", " S", " C", " SC", " modifier"};
  using Kind = JogShuttleChange::Kind;
  switch (change.kind) {
    case Kind::kKeyPressed:
    case Kind::kKeyReleased:
      return std::string(change.kind == Kind::kKeyPressed ? "press " : "release ") +
             std::to_string(change.key) + kClasses[static_cast<int>(change.keyClass)];
    case Kind::kJog:
      return std::string("jog ") + (change.jogSteps > 0 ? "+" : "") + std::to_string(change.jogSteps);
    case Kind::kShuttle: return "shuttle " + std::to_string(change.state.shuttle);
    case Kind::kInitText: return "init " + std::string(change.text.data(), change.textLength);
    case Kind::kStatus: return "status " + std::to_string(change.statusCode) + " " + std::to_string(change.statusValue);
    case Kind::kLineDown: return "down";
    case Kind::kLost: return "lost " + std::to_string(change.lost);
  }
  return "?";
}

class Changes : public LinkFixture {
 protected:
  // Opens COM1 keeping changes, and takes the handshake's status replies.
  void OpenKeeping(std::uint32_t capacity = SerialJS::kDefaultChangeCapacity) {
    StartSim();
    link.SetModifierMasks(0x80, 0x40);  // key 6 C, key 5 S
    link.KeepChanges(capacity);
    ASSERT_TRUE(link.Open());
    JogShuttleChange change;
    while (link.NextChange(change, 200)) {
      ASSERT_EQ(JogShuttleChange::Kind::kStatus, change.kind) << Describe(change);
    }
  }
  // The next `count` changes, each waited for generously.
  Texts Take(std::size_t count) {
    Texts texts;
    JogShuttleChange change;
    while (texts.size() < count && link.NextChange(change, 10000)) texts.push_back(Describe(change));
    return texts;
  }

  SerialJS link{1};
};

struct Case {
  const char* name;
  std::vector<Bytes> writes;  // a millisecond apart
  Texts changes;
};

const Case kCases[] = {
    {"a tap in one write", {{0x40, 0x60}}, {"press 0", "release 0"}},
    {"press and release a millisecond apart", {{0x41}, {0x61}}, {"press 1", "release 1"}},
    {"modifiers, classes, jog, shuttle and an init text in one write",
     {{0x45, 0x40, 0x46, 0x41, 0x60, 0x65, 0x66, 0x61, 0x80, 0x02, 0x80, 0x00, 0x81, 0xFF, 0xF9,
       0x82, 0x04, 'J', 'S', 0x42, 0x62}},
     {"press 5 modifier", "press 0 S", "press 6 modifier", "press 1 SC", "release 0 S",
      "release 5 modifier", "release 6 modifier", "release 1 SC", "jog +2", "jog -1", "shuttle -7",
      "init JS", "press 2", "release 2"}},
};

TEST_F(Changes, EveryChangeInTheOrderOfTheBytes) {
  OpenKeeping();
  for (const Case& c : kCases) {
    for (const Bytes& write : c.writes) {
      ASSERT_TRUE(sim.Send(write));
      std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(c.changes, Take(c.changes.size())) << c.name;
  }
  // The state goes on as before beside them.
  EXPECT_EQ(0u, link.State().heldKeys);
  EXPECT_EQ(2u, link.State().jogIncrements);
  sim.HangUp();
  EXPECT_EQ(Texts{"down"}, Take(1));
}

TEST_F(Changes, ABurstOfAThousandKeyMessagesInOneWriteLosesNone) {
  OpenKeeping();
  Bytes burst;
  Texts expected;
  for (int i = 0; i < 500; ++i) {
    const auto key = static_cast<std::uint8_t>(i % 9);
    burst.push_back(static_cast<std::uint8_t>(0x40 + key));
    burst.push_back(static_cast<std::uint8_t>(0x60 + key));
    const std::string name = std::to_string(key);
    const bool modifier = key == 5 || key == 6;
    expected.push_back("press " + name + (modifier ? " modifier" : ""));
    expected.push_back("release " + name + (modifier ? " modifier" : ""));
  }
  ASSERT_TRUE(sim.Send(burst));
  EXPECT_EQ(expected, Take(expected.size()));
}

// A client that does not keep up: what did not fit is counted, and told in its place.
TEST_F(Changes, AFullQueueSaysHowManyItLost) {
  OpenKeeping(8);
  Bytes presses;
  for (int i = 0; i < 20; ++i) presses.push_back(i % 2 == 0 ? 0x40 : 0x60);
  presses.push_back(0x48);  // key 8 down: the last change
  ASSERT_TRUE(sim.Send(presses));
  for (int i = 0; i < 1000 && (link.State().heldKeys & 0x2000) == 0; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  const Texts taken = Take(9);
  ASSERT_EQ(9u, taken.size());
  for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(i % 2 == 0 ? "press 0" : "release 0", taken[i]);
  EXPECT_EQ("lost 13", taken[8]);
  JogShuttleChange more;
  EXPECT_FALSE(link.NextChange(more, 100));
  // Room again: the next change is kept.
  ASSERT_TRUE(sim.Send(Bytes{0x68}));
  EXPECT_EQ(Texts{"release 8"}, Take(1));
}

// The ring alone, its counts started half a lap before they wrap: whatever the capacity, every
// change comes out in order, and what a full ring could not keep is told in its place.
TEST(ChangeRing, InOrderWithLossesToldAcrossTheCountsWrap) {
  for (const std::uint32_t capacity : {2u, 3u, 1000u, 1024u, 1025u}) {
    js::ChangeQueue ring(capacity, 0u - (capacity + 1) / 2);
    Texts expected;
    auto push = [&](std::uint32_t i) {
      JogShuttleChange change;
      change.kind = JogShuttleChange::Kind::kJog;
      change.jogSteps = static_cast<std::int16_t>(i);
      ring.Push(change);
      return Describe(change);
    };
    auto take = [&](std::size_t most, Texts& taken) {
      JogShuttleChange change;
      while (taken.size() < most && ring.Pop(change)) taken.push_back(Describe(change));
    };
    // Three more than fit; once two are taken there is room to tell them, before the next.
    for (std::uint32_t i = 0; i < capacity + 3; ++i) {
      const std::string text = push(i);
      if (i < capacity) expected.push_back(text);
    }
    Texts taken;
    take(2, taken);
    expected.push_back("lost 3");
    expected.push_back(push(capacity + 3));
    take(expected.size() + 1, taken);
    EXPECT_EQ(expected, taken) << "capacity " << capacity;
  }
}

}  // namespace
