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
       "--hang-up-after", "5", "--script", "tap 1", "--start-after-handshake", "--quiet"},
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
    const char* error;
  };
  const Case cases[] = {
      {{}, "--link PATH is required"},
      {{"--silent"}, "--link PATH is required"},
      {{"--link"}, "--link needs a value"},
      {{"--link="}, "--link: '' is no path"},
      {{"--link", "l", "--status", "1,2"},
       "--status: '1,2' is not C0,C1,C2 (0..0xffff,0..0xff,0..0xff)"},
      {{"--link", "l", "--status", "1,2,3,4"},
       "--status: '1,2,3,4' is not C0,C1,C2 (0..0xffff,0..0xff,0..0xff)"},
      {{"--link", "l", "--status", "0x10000,0,0"},
       "--status: '0x10000,0,0' is not C0,C1,C2 (0..0xffff,0..0xff,0..0xff)"},
      {{"--link", "l", "--status", "1,256,0"},
       "--status: '1,256,0' is not C0,C1,C2 (0..0xffff,0..0xff,0..0xff)"},
      {{"--link", "l", "--answer-from", "0"}, "--answer-from: '0' is not a count from 1 on"},
      {{"--link", "l", "--hang-up-after", "-1"}, "--hang-up-after: '-1' is not a count"},
      {{"--link", "l", "--hang-up-after", "4294967296"},
       "--hang-up-after: '4294967296' is not a count"},
      {{"--link", "l", "--quiet=yes"}, "--quiet: 'yes' takes no value"},
      {{"--link", "l", "--script", "a", "--script-file", "f"},
       "only one of --script and --script-file, once"},
      {{"--link", "l", "--verbose"}, "unknown option '--verbose'"},
      {{"--link", "l", "extra"}, "unknown option 'extra'"},
  };
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

}  // namespace
