// jssim's command line.

#include "Options.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace {

using jssim::ToolOptions;

bool Parse(std::initializer_list<const char*> args, ToolOptions& options, std::string& error) {
  const std::vector<const char*> list(args);
  return jssim::ParseArguments(list, options, error);
}

TEST(Options, ReadsEveryOption) {
  ToolOptions o;
  std::string error;
  ASSERT_TRUE(Parse(
      {"--link", "/tmp/x/com1", "--status", "0x1234,7,0xff", "--answer-from=3", "--init", "JS;1",
       "--hang-up-after", "5", "--script", "tap 1", "--start-after-handshake", "--quiet",
       "--timestamps"},
      o, error))
      << error;
  EXPECT_EQ(o.linkPath, "/tmp/x/com1");
  EXPECT_EQ(o.sim.statusC0, 0x1234);
  EXPECT_EQ(o.sim.statusC1, 7);
  EXPECT_EQ(o.sim.statusC2, 0xFF);
  EXPECT_EQ(o.sim.answerFrom, 3u);
  EXPECT_TRUE(o.sim.sendInit);
  EXPECT_EQ(o.sim.initText, "JS;1");
  EXPECT_EQ(o.sim.hangUpAfterRequests, 5u);
  EXPECT_TRUE(o.hasScript);
  EXPECT_EQ(o.script, "tap 1");
  EXPECT_TRUE(o.startAfterHandshake);
  EXPECT_TRUE(o.quiet);
  EXPECT_TRUE(o.timestamps);
  EXPECT_FALSE(o.sim.silent);
  EXPECT_FALSE(o.help);
}

TEST(Options, DefaultsAnswerTheFirstRequestWithStatusOne) {
  ToolOptions o;
  std::string error;
  ASSERT_TRUE(Parse({"--link=l", "--silent", "--script-file", "s.txt"}, o, error)) << error;
  EXPECT_EQ(o.sim.statusC0, 1);
  EXPECT_EQ(o.sim.answerFrom, 1u);
  EXPECT_EQ(o.sim.hangUpAfterRequests, 0u);
  EXPECT_FALSE(o.sim.sendInit);
  EXPECT_TRUE(o.sim.silent);
  EXPECT_EQ(o.scriptFile, "s.txt");
  ToolOptions help;
  EXPECT_TRUE(Parse({"--help"}, help, error)) << "--help needs no --link";
  EXPECT_TRUE(help.help);
}

TEST(Options, RefusesBadCommandLines) {
  struct Case {
    std::vector<const char*> args;
    std::string error;
  };
  std::vector<Case> cases = {
      {{}, "--link PATH is required"},
      {{"--silent"}, "--link PATH is required"},
      {{"--link"}, "--link: 1 required PATH missing"},
      {{"--link="}, "--link: 1 required PATH missing"},
      {{"--link", "a", "--link", "b"}, "--link: At Most 1 required but received 2"},
      {{"--link", "l", "--answer-from", "0"}, "--answer-from: '0' is not a count from 1 on"},
      {{"--link", "l", "--answer-from", " 3"}, "--answer-from: ' 3' is not a count from 1 on"},
      {{"--link", "l", "--answer-from", "3x"}, "--answer-from: '3x' is not a count from 1 on"},
      {{"--link", "l", "--hang-up-after", "0x"}, "--hang-up-after: '0x' is not a count"},
      {{"--link", "l", "--hang-up-after", "-0"}, "--hang-up-after: '-0' is not a count"},
      {{"--link", "l", "--hang-up-after", "-1"}, "--hang-up-after: '-1' is not a count"},
      {{"--link", "l", "--hang-up-after", "4294967296"},
       "--hang-up-after: '4294967296' is not a count"},
      {{"--link", "l", "--quiet=yes"}, "quiet was given a disallowed flag override"},
      {{"--link", "l", "--script", "a", "--script-file", "f"}, "--script excludes --script-file"},
      {{"--link", "l", "--script", "a", "--script", "b"},
       "--script: At Most 1 required but received 2"},
      {{"--link", "l", "--replay", "r", "--script", "b"}, "--script excludes --replay"},
      {{"--link", "l", "--script-file", "f", "--replay", "r"},
       "--script-file excludes --replay"},
      {{"--link", "l", "--replay="}, "--replay: 1 required FILE missing"},
      {{"--link", "l", "--verbose"}, "The following argument was not expected: --verbose"},
      {{"--link", "l", "extra"}, "The following argument was not expected: extra"},
  };
  for (const char* status :
       {"1,2", "1,2,3,4", "0x10000,0,0", "1,256,0", "1, 2,3", "+1,2,3", "1,2,-0", "1,,3"}) {
    cases.push_back({{"--link", "l", "--status", status},
                     "--status: '" + std::string(status) +
                         "' is not C0,C1,C2 (0..0xffff,0..0xff,0..0xff)"});
  }
  for (const Case& c : cases) {
    ToolOptions o;
    std::string error;
    EXPECT_FALSE(jssim::ParseArguments(c.args, o, error)) << c.error;
    EXPECT_EQ(error, c.error);
  }
  ToolOptions o;
  std::string error;
  const std::string longText(254, 'x');
  EXPECT_FALSE(Parse({"--link", "l", "--init", longText.c_str()}, o, error));
}

TEST(Options, ReplaySpeedIsAPositiveDecimalFactor) {
  struct Case {
    const char* text;
    double speed;  // 0: refused
  };
  const Case cases[] = {
      {"1", 1},         {"2", 2},          {"0.5", 0.5},     {"1000", 1000},  {"0.001", 0.001},
      {"02.50", 2.5},   {"0", 0},          {"0.0", 0},       {"0.0009", 0},   {"1000.1", 0},
      {"-2", 0},        {"+2", 0},         {"2.", 0},        {".5", 0},       {"1e3", 0},
      {"inf", 0},       {"nan", 0},        {" 2", 0},        {"2 ", 0},       {"0x10", 0},
      {"1.2.3", 0},     {"", 0},           {"1,5", 0},       {"9999999999999", 0},
  };
  for (const Case& c : cases) {
    ToolOptions o;
    std::string error;
    const bool ok = Parse({"--link", "l", "--replay", "r", "--replay-speed", c.text}, o, error);
    EXPECT_EQ(ok, c.speed != 0) << "'" << c.text << "': " << error;
    EXPECT_DOUBLE_EQ(o.replaySpeed, ok ? c.speed : 1.0) << "'" << c.text << "'";
    if (!ok && c.text[0] != '\0') {
      EXPECT_EQ(error, "--replay-speed: '" + std::string(c.text) +
                           "' is not a speed (a decimal factor from 0.001 to 1000)");
    }
  }
  ToolOptions o;
  std::string error;
  ASSERT_TRUE(Parse({"--link", "l", "--replay", "rec.txt"}, o, error)) << error;
  EXPECT_EQ(o.replayFile, "rec.txt");
  EXPECT_DOUBLE_EQ(o.replaySpeed, 1.0);
  EXPECT_FALSE(o.hasScript);
}

}  // namespace
