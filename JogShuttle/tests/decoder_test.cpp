// The decoder, fed byte streams as the reader thread would feed them.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "CaptureSink.h"
#include "SerialJS.h"
#include "SerialJSAccess.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using jslog::LogLine;

struct Report {
  unsigned ji = 0, jd = 0;
  int s = 0;
  unsigned k = 0, sk = 0, ck = 0, sck = 0, e = 0, m = 0;
};

LogLine ReportLine(const Report& r) {
  char text[160];
  std::snprintf(text, sizeof text,
                "SerialJS: JI:%02d JD:%02d S:%+02d(%08x) K:%04x SK:%04x CK:%04x SCK:%04x E:%02x "
                "M:%04x",
                static_cast<int>(r.ji), static_cast<int>(r.jd), r.s, static_cast<unsigned>(r.s),
                r.k, r.sk, r.ck, r.sck, r.e, r.m);
  return {24, 8, text};
}
LogLine ShortLine(unsigned code, int need, int remain) {
  char text[80];
  std::snprintf(text, sizeof text, "SerialJS[%02x]: Not enough data:%d remain:%d", code, need,
                remain);
  return {24, 8, text};
}
LogLine InvalidLine(unsigned code) {
  char text[48];
  std::snprintf(text, sizeof text, "SerialJS: Invalid command(%02x)", code);
  return {24, 2, text};
}
LogLine InitLine(const std::string& text) { return {24, 9, "SerialJS: Init(" + text + ")"}; }

class Decoder : public ::testing::Test {
 protected:
  void Feed(const Bytes& bytes) { SerialJSAccess::Feed(link, bytes); }
  Bytes Pending() const {
    auto pending = SerialJSAccess::Pending(link);
    return Bytes(pending.begin(), pending.end());
  }

  jslog::CaptureSink sink;
  jslog::ScopedLogSink scope{sink};
  SerialJS link{1};
};

struct Case {
  const char* name;
  std::uint32_t cMask, sMask;
  std::vector<Bytes> reads;  // each read is appended, then decoded
  std::vector<LogLine> lines;
  Bytes pending;
  JogShuttleState state;  // modifier fields are checked against the masks
};

constexpr JogShuttleState Fresh() { return JogShuttleState{}; }
JogShuttleState With(std::initializer_list<std::pair<std::uint32_t JogShuttleState::*, std::uint32_t>> fields,
                     std::int32_t shuttle = 0) {
  JogShuttleState state{};
  for (const auto& [field, value] : fields) state.*field = value;
  state.shuttle = shuttle;
  return state;
}
using S = JogShuttleState;

Bytes InitText(std::size_t n, std::uint8_t fill = 'x') {
  Bytes bytes = {0x82, static_cast<std::uint8_t>(n + 2)};
  bytes.insert(bytes.end(), n, fill);
  return bytes;
}

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"PressAndReleaseWithoutModifiers", 0, 0, {{0x40, 0x60}},
       {ReportLine({.k = 0x100, .m = 0x100}), ReportLine({})}, {}, Fresh()},
      {"EveryKeyMaskInOrder", 0, 0, {{0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48}},
       {ReportLine({.k = 0x100, .m = 0x100}), ReportLine({.k = 0x300, .m = 0x300}),
        ReportLine({.k = 0x700, .m = 0x700}), ReportLine({.k = 0xF00, .m = 0xF00}),
        ReportLine({.k = 0x1F00, .m = 0x1F00}), ReportLine({.k = 0x1F40, .m = 0x1F40}),
        ReportLine({.k = 0x1FC0, .m = 0x1FC0}), ReportLine({.k = 0x5FC0, .m = 0x5FC0}),
        ReportLine({.k = 0x7FC0, .m = 0x7FC0})},
       {}, With({{&S::keys, 0x7FC0}, {&S::heldKeys, 0x7FC0}})},
      {"SModifierClassesKeysAndOutlivesItsRelease", 0, 0x40, {{0x45, 0x41, 0x65}},
       {ReportLine({.sk = 0x200, .m = 0x240})}, {},
       With({{&S::sKeys, 0x200}, {&S::heldKeys, 0x200}})},
      {"SModifierKeyThenReleaseOfTheKey", 0, 0x40, {{0x45, 0x41, 0x65, 0x61}},
       {ReportLine({.sk = 0x200, .m = 0x240}), ReportLine({})}, {}, Fresh()},
      {"CModifier", 0x80, 0, {{0x46, 0x40}}, {ReportLine({.ck = 0x100, .m = 0x180})}, {},
       With({{&S::cKeys, 0x100}, {&S::heldKeys, 0x180}})},
      {"BothModifiersHeld", 0x80, 0x40, {{0x45, 0x46, 0x40}},
       {ReportLine({.sck = 0x100, .m = 0x1C0})}, {},
       With({{&S::scKeys, 0x100}, {&S::heldKeys, 0x1C0}})},
      {"ModifierMaskSpanningAKeyAndANonKeyBit", 0, 0x140, {{0x40}}, {}, {},
       With({{&S::heldKeys, 0x100}})},
      {"JogNegativeOne", 0, 0, {{0x80, 0xFF}}, {ReportLine({.jd = 1})}, {},
       With({{&S::jogDecrements, 1}})},
      {"JogMostNegative", 0, 0, {{0x80, 0x80}}, {ReportLine({.jd = 128})}, {},
       With({{&S::jogDecrements, 128}})},
      {"JogMostPositive", 0, 0, {{0x80, 0x7F}}, {ReportLine({.ji = 127})}, {},
       With({{&S::jogIncrements, 127}})},
      {"JogZeroAtRestIsNotReported", 0, 0, {{0x80, 0x00}}, {}, {}, Fresh()},
      {"JogOneDiffersFromTheShuttle", 0, 0, {{0x80, 0x01}}, {ReportLine({.ji = 1})}, {},
       With({{&S::jogIncrements, 1}})},
      {"EveryJogReportsOnceASumReachedTwo", 0, 0, {{0x80, 0x02, 0x80, 0x00}},
       {ReportLine({.ji = 2}), ReportLine({.ji = 2})}, {}, With({{&S::jogIncrements, 2}})},
      {"JogMatchingThePositiveShuttle", 0, 0, {{0x81, 0x00, 0x01, 0x80, 0x01}},
       {ReportLine({.s = 1})}, {}, With({{&S::jogIncrements, 1}}, 1)},
      {"NegativeJogNeverMatchesTheShuttle", 0, 0, {{0x81, 0x00, 0xFF, 0x80, 0xFF}},
       {ReportLine({.s = -1}), ReportLine({.jd = 1, .s = -1})}, {},
       With({{&S::jogDecrements, 1}}, -1)},
      {"ShuttleNegative", 0, 0, {{0x81, 0x00, 0xF9}}, {ReportLine({.s = -7})}, {}, With({}, -7)},
      {"JogAndShuttleExtremes", 0, 0, {{0x81, 0x80, 0x80}}, {ReportLine({.jd = 128, .s = -128})},
       {}, With({{&S::jogDecrements, 128}}, -128)},
      {"StatusRepliesAreNotReported", 0, 0, {{0xC0, 0x01, 0x02, 0xC1, 0x05, 0xC2, 0x07}}, {}, {},
       With({{&S::statusC0, 258}, {&S::statusC1, 5}, {&S::statusC2, 7}})},
      {"StatusC1ShowsInLaterReports", 0, 0, {{0xC1, 0xAB, 0x40}},
       {ReportLine({.k = 0x100, .e = 0xAB, .m = 0x100})}, {},
       With({{&S::statusC1, 0xAB}, {&S::keys, 0x100}, {&S::heldKeys, 0x100}})},
      {"EmptyInitTextClearsHeldKeys", 0x40, 0, {{0x45, 0x82, 0x02}},
       {InitLine(""), ReportLine({})}, {}, Fresh()},
      {"InitTextOneByteShortWaitsForIt", 0, 0, {{0x40, 0x82, 0x05, 0x41, 0x42}, {0x43}},
       {ReportLine({.k = 0x100, .m = 0x100}), ShortLine(0x82, 3, 4), InitLine("ABC"),
        ReportLine({.k = 0x100})},
       {}, With({{&S::keys, 0x100}})},
      {"LoneInitCodeWaitsForItsLength", 0, 0, {{0x40, 0x82}},
       {ReportLine({.k = 0x100, .m = 0x100}), ShortLine(0x82, 2, 1)}, {0x82},
       With({{&S::keys, 0x100}, {&S::heldKeys, 0x100}})},
      {"InitTextStopsAtAZeroByte", 0, 0, {{0x82, 0x05, 0x41, 0x00, 0x42, 0x40}},
       {InitLine("A"), ReportLine({}), ReportLine({.k = 0x100, .m = 0x100})}, {},
       With({{&S::keys, 0x100}, {&S::heldKeys, 0x100}})},
      {"InitTextFromTheDeviceIsEscaped", 0, 0, {{0x82, 0x06, 0x1B, 0x5B, 0x0A, 0xFF}},
       {InitLine("\\x1b[\\n\\xff"), ReportLine({})}, {}, Fresh()},
      {"StatusCutAtTheEnd", 0, 0, {{0xC1, 0x01, 0xC0, 0x12}}, {ShortLine(0xC0, 3, 2)},
       {0xC0, 0x12}, With({{&S::statusC1, 1}})},
      {"UnknownCodesCostOneByteEach", 0, 0, {{0x00, 0x49, 0xFF}},
       {InvalidLine(0x00), InvalidLine(0x49), InvalidLine(0xFF)}, {}, Fresh()},
      {"InitLengthZeroIsDroppedLikeAnUnknownCode", 0, 0, {{0x40, 0x82, 0x00, 0x41}},
       {ReportLine({.k = 0x100, .m = 0x100}), InvalidLine(0x82), InvalidLine(0x00),
        ReportLine({.k = 0x300, .m = 0x300})},
       {}, With({{&S::keys, 0x300}, {&S::heldKeys, 0x300}})},
      {"InitLengthOneIsDroppedLikeAnUnknownCode", 0, 0, {{0x82, 0x01, 0x40}},
       {InvalidLine(0x82), InvalidLine(0x01), ReportLine({.k = 0x100, .m = 0x100})}, {},
       With({{&S::keys, 0x100}, {&S::heldKeys, 0x100}})},
  };
  return cases;
}

void ExpectState(const JogShuttleState& expected, const JogShuttleState& actual) {
  EXPECT_EQ(expected.heldKeys, actual.heldKeys);
  EXPECT_EQ(expected.keys, actual.keys);
  EXPECT_EQ(expected.sKeys, actual.sKeys);
  EXPECT_EQ(expected.cKeys, actual.cKeys);
  EXPECT_EQ(expected.scKeys, actual.scKeys);
  EXPECT_EQ(expected.jogIncrements, actual.jogIncrements);
  EXPECT_EQ(expected.jogDecrements, actual.jogDecrements);
  EXPECT_EQ(expected.shuttle, actual.shuttle);
  EXPECT_EQ(expected.statusC0, actual.statusC0);
  EXPECT_EQ(expected.statusC1, actual.statusC1);
  EXPECT_EQ(expected.statusC2, actual.statusC2);
  EXPECT_EQ(expected.cModifiers, actual.cModifiers);
  EXPECT_EQ(expected.sModifiers, actual.sModifiers);
}

TEST_F(Decoder, ByteStreams) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    sink.Clear();
    SerialJS fresh(1);
    fresh.SetModifierMasks(c.cMask, c.sMask);
    for (const Bytes& read : c.reads) SerialJSAccess::Feed(fresh, read);

    EXPECT_EQ(c.lines, sink.Lines());
    auto pending = SerialJSAccess::Pending(fresh);
    EXPECT_EQ(c.pending, Bytes(pending.begin(), pending.end()));
    JogShuttleState expected = c.state;
    expected.cModifiers = c.cMask;
    expected.sModifiers = c.sMask;
    ExpectState(expected, fresh.State());
    // A report, and only a report, sets the input event.
    const bool reported = std::any_of(c.lines.begin(), c.lines.end(),
                                      [](const LogLine& l) { return l.text.find("JI:") != std::string::npos; });
    EXPECT_EQ(reported, fresh.WaitForInput(0));
  }
}

// Every message of a mixed stream, cut at every position, decodes to the same lines and state
// as the whole stream at once; only the incomplete-message lines come in between.
TEST_F(Decoder, SplitAtEveryPosition) {
  Bytes stream = {0x45, 0x40, 0x80, 0x05, 0x81, 0xFE, 0xF9, 0x82, 0x06, 'a', 'b', 'c', 'd',
                  0xC0, 0x12, 0x34, 0xC1, 0x56, 0xC2, 0x78, 0x65, 0x60, 0x33, 0x81, 0x02, 0x10};
  link.SetModifierMasks(0x80, 0x40);
  Feed(stream);
  const std::vector<LogLine> whole = sink.Lines();
  const JogShuttleState wholeState = link.State();

  for (std::size_t cut = 1; cut < stream.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    sink.Clear();
    SerialJS split(1);
    split.SetModifierMasks(0x80, 0x40);
    SerialJSAccess::Feed(split, Bytes(stream.begin(), stream.begin() + cut));
    SerialJSAccess::Feed(split, Bytes(stream.begin() + cut, stream.end()));
    std::vector<LogLine> lines = sink.Lines();
    std::erase_if(lines, [](const LogLine& l) { return l.text.find("Not enough") != std::string::npos; });
    EXPECT_EQ(whole, lines);
    EXPECT_EQ(0u, SerialJSAccess::RxCount(split));
    ExpectState(wholeState, split.State());
  }
}

TEST_F(Decoder, LongestInitTextCompletesInAFullBuffer) {
  const Bytes message = InitText(253, 'Z');
  ASSERT_EQ(255u, message.size());
  // Arrives in reads as the reader makes them; the last one fills the buffer to 255.
  SerialJSAccess::Feed(link, Bytes(message.begin(), message.begin() + 200));
  EXPECT_EQ(200u, SerialJSAccess::RxCount(link));
  SerialJSAccess::Feed(link, Bytes(message.begin() + 200, message.end()));
  EXPECT_EQ(0u, SerialJSAccess::RxCount(link));
  const std::vector<LogLine> expected = {ShortLine(0x82, 253, 200),
                                         InitLine(std::string(253, 'Z')), ReportLine({})};
  EXPECT_EQ(expected, sink.Lines());
}

TEST_F(Decoder, IncompleteMessageMovesToTheFrontAfterOthers) {
  Feed({0xC1, 0x01, 0xC1, 0x02, 0x81, 0x01});
  EXPECT_EQ((Bytes{0x81, 0x01}), Pending());
  Feed({0x03});
  EXPECT_EQ(0u, SerialJSAccess::RxCount(link));
  EXPECT_EQ(3, link.State().shuttle);
}

TEST_F(Decoder, ModifierMasksTakeEffectAtTheNextKey) {
  Feed({0x45});  // key 5 as a plain key
  link.SetModifierMasks(0, 0x40);
  Feed({0x41});  // key 5 is held and is now an S modifier
  const JogShuttleState state = link.State();
  EXPECT_EQ(0x40u, state.keys);
  EXPECT_EQ(0x200u, state.sKeys);
}

TEST_F(Decoder, WaitForInputSeesOneEventForManyReports) {
  EXPECT_FALSE(link.WaitForInput(0));
  Feed({0x40, 0x60, 0x41});
  EXPECT_TRUE(link.WaitForInput(0));
  EXPECT_FALSE(link.WaitForInput(0));
  Feed({0xC0, 0x00, 0x01});  // no report, no event
  EXPECT_FALSE(link.WaitForInput(0));
}

}  // namespace
