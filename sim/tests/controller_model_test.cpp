// The controller model: host byte streams in, what the controller does out.

#include <gtest/gtest.h>

#include "ControllerModel.h"
#include "SimWire.h"

namespace {

using jssim::ControllerModel;
using jssim::SimOptions;
using Action = ControllerModel::Action;
using Kind = Action::Kind;
using Bytes = std::vector<std::uint8_t>;

const Bytes kStatusReply = {0xC0, 0x00, 0x01, 0xC1, 0x00, 0xC2, 0x00};

struct ModelCase {
  const char* name;
  SimOptions options;
  Bytes host;
  std::vector<Action> expected;
};

std::vector<Action> Play(ControllerModel& model, const Bytes& host) {
  std::vector<Action> actions;
  for (std::uint8_t byte : host) model.Consume(byte, actions);
  return actions;
}

class Model : public ::testing::TestWithParam<ModelCase> {};

TEST_P(Model, AnswersTheHostsBytes) {
  ControllerModel model(GetParam().options);
  EXPECT_EQ(GetParam().expected, Play(model, GetParam().host));
}

INSTANTIATE_TEST_SUITE_P(
    Streams, Model,
    ::testing::Values(
        ModelCase{"ResetAndStatus", {}, {0x43, 0x40, 0x41, 0x42},
                  {{Kind::kReset, 1}, {Kind::kStatusRequest, 1, kStatusReply}}},
        ModelCase{"StatusValuesHighByteFirst",
                  {.statusC0 = 0x1234, .statusC1 = 0x56, .statusC2 = 0x78},
                  {0x40, 0x41, 0x42},
                  {{Kind::kStatusRequest, 1, {0xC0, 0x12, 0x34, 0xC1, 0x56, 0xC2, 0x78}}}},
        ModelCase{"BrokenOffRequestIsUnknownBytes", {}, {0x40, 0x41, 0x43, 0x41, 0x42},
                  {{Kind::kUnknownByte, 0x40},
                   {Kind::kUnknownByte, 0x41},
                   {Kind::kReset, 1},
                   {Kind::kUnknownByte, 0x41},
                   {Kind::kUnknownByte, 0x42}}},
        ModelCase{"RestartedRequestCounts", {}, {0x40, 0x40, 0x41, 0x42},
                  {{Kind::kUnknownByte, 0x40}, {Kind::kStatusRequest, 1, kStatusReply}}},
        ModelCase{"SilentCountsButNeverAnswers", {.silent = true}, {0x40, 0x41, 0x42, 0x40, 0x41, 0x42},
                  {{Kind::kStatusRequest, 1}, {Kind::kStatusRequest, 2}}},
        ModelCase{"AnswersFromTheThird", {.answerFrom = 3},
                  {0x40, 0x41, 0x42, 0x40, 0x41, 0x42, 0x40, 0x41, 0x42},
                  {{Kind::kStatusRequest, 1},
                   {Kind::kStatusRequest, 2},
                   {Kind::kStatusRequest, 3, kStatusReply}}},
        ModelCase{"InitTextAfterEachReset", {.initText = "A\x01", .sendInit = true}, {0x43, 0x43},
                  {{Kind::kReset, 1, {0x82, 0x04, 'A', 0x01}},
                   {Kind::kReset, 2, {0x82, 0x04, 'A', 0x01}}}},
        ModelCase{"EmptyInitTextByDefault", {.sendInit = true}, {0x43},
                  {{Kind::kReset, 1, {0x82, 0x02}}}},
        ModelCase{"HangsUpInsteadOfAnswering", {.hangUpAfterRequests = 2},
                  {0x40, 0x41, 0x42, 0x40, 0x41, 0x42},
                  {{Kind::kStatusRequest, 1, kStatusReply},
                   {Kind::kStatusRequest, 2, {}, true}}},
        ModelCase{"OverrideReplacesTheReplies", {.replyOverride = {0xC0, 0xFF, 0xFF}},
                  {0x40, 0x41, 0x42}, {{Kind::kStatusRequest, 1, {0xC0, 0xFF, 0xFF}}}}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(ModelRestart, CountsAndHalfReadRequestStartAfresh) {
  ControllerModel model({.silent = true});
  Play(model, {0x43, 0x40, 0x41, 0x42, 0x40, 0x41});
  EXPECT_EQ(1u, model.Resets());
  EXPECT_EQ(1u, model.StatusRequests());
  model.Restart({});
  EXPECT_EQ(0u, model.Resets());
  // The 0x42 that would have ended the old request is now an unknown byte.
  EXPECT_EQ((std::vector<Action>{{Kind::kUnknownByte, 0x42}, {Kind::kStatusRequest, 1, kStatusReply}}),
            Play(model, {0x42, 0x40, 0x41, 0x42}));
}

// The options survive the trip between processes whole, and bad words are refused.
TEST(Wire, OptionsRoundTrip) {
  const std::vector<SimOptions> table = {
      {},
      {.statusC0 = 0xFFFF, .statusC1 = 0xFF, .statusC2 = 7, .silent = true, .answerFrom = 9,
       .initText = std::string("JS \x1b[2J\n\0x", 10), .sendInit = true,
       .hangUpAfterRequests = 3, .replyOverride = {0xC0, 0xFF, 0xFF}},
  };
  for (const SimOptions& options : table) {
    SimOptions decoded{.silent = true, .initText = "left over"};
    std::string error;
    ASSERT_TRUE(jssim::DecodeOptions(jssim::EncodeOptions(options), decoded, error)) << error;
    EXPECT_EQ(jssim::EncodeOptions(options), jssim::EncodeOptions(decoded));
    EXPECT_EQ(options.initText, decoded.initText);
  }
}

TEST(Wire, BadWordsAreRefused) {
  for (const char* text : {"silent=2", "statusC0=65536", "answerFrom=-1", "initText=4", "initText=zz",
                           "colour=1", "silent", "replyOverride=c0f"}) {
    SimOptions options;
    std::string error;
    EXPECT_FALSE(jssim::DecodeOptions(text, options, error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

TEST(Wire, HexBothWays) {
  const Bytes all = {0x00, 0x0F, 0xA0, 0xFF};
  EXPECT_EQ("000fa0ff", jssim::HexString(all));
  Bytes back;
  ASSERT_TRUE(jssim::ParseHexString("000FA0ff", back));
  EXPECT_EQ(all, back);
  EXPECT_FALSE(jssim::ParseHexString("0x00", back));
  EXPECT_FALSE(jssim::ParseHexString("+f", back));
}

}  // namespace
