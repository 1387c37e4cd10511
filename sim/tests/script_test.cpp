// The script language: what each command puts on the line, and which scripts are refused.

#include "Script.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Text.h"

namespace {

using jssim::ParseScript;
using jssim::ScriptStep;
using Bytes = std::vector<std::uint8_t>;

// The steps written compactly: "41|61|w100|h" (bytes in hex, w = wait, h = hang-up).
std::string Render(const std::vector<ScriptStep>& steps) {
  std::string out;
  for (const ScriptStep& step : steps) {
    if (!out.empty()) out += '|';
    switch (step.kind) {
      case ScriptStep::Kind::kSend:
        out += jssim::HexBytes(step.bytes);
        break;
      case ScriptStep::Kind::kWait:
        out += 'w';
        out += std::to_string(step.milliseconds);
        break;
      case ScriptStep::Kind::kHangUp:
        out += "h";
        break;
    }
  }
  return out;
}

struct Good {
  const char* script;
  const char* steps;
};

TEST(Script, TurnsCommandsIntoLineBytes) {
  const Good cases[] = {
      {"", ""},
      {" ; ;\n\n# nothing but a comment\n", ""},
      {"press 0; release 8", "40|68"},
      {"tap 3", "43|63"},
      {"jog 1; jog -1; jog -128; jog 127; jog 0x10", "80 01|80 ff|80 80|80 7f|80 10"},
      {"shuttle -7", "81 00 f9"},
      {"jogshuttle -128 127", "81 80 7f"},
      {"raw 0x80 ff 1 0A", "80 ff 01 0a"},
      {"wait 0; wait 250", "w0|w250"},
      {"hangup", "h"},
      {"init", "82 02"},
      {"init  JS 1.0 ", "82 08 4a 53 20 31 2e 30"},
      {"init \"a;b#c\"; tap 0", "82 07 61 3b 62 23 63|40|60"},
      {"init \"\\\"\\\\\\x00\\xff\"", "82 06 22 5c 00 ff"},
      {"press 1 # the rest is a comment; press 2\npress 3", "41|43"},
      {"\tpress 1\r\n  release 1  ", "41|61"},
  };
  for (const Good& c : cases) {
    std::vector<ScriptStep> steps;
    std::string error;
    EXPECT_TRUE(ParseScript(c.script, steps, error)) << c.script << ": " << error;
    EXPECT_EQ(Render(steps), c.steps) << c.script;
  }
}

TEST(Script, AnInitTextOfTheLargestSizeFillsTheLengthByte) {
  std::vector<ScriptStep> steps;
  std::string error;
  ASSERT_TRUE(ParseScript("init " + std::string(253, 'x'), steps, error)) << error;
  ASSERT_EQ(steps.size(), 1u);
  EXPECT_EQ(steps[0].bytes.size(), 255u);
  EXPECT_EQ(steps[0].bytes[1], 0xFF);
  EXPECT_FALSE(ParseScript("init " + std::string(254, 'x'), steps, error));
  EXPECT_TRUE(steps.empty());
}

struct Bad {
  const char* script;
  const char* error;  // the whole message
};

TEST(Script, RefusesBadCommandsNamingLineAndCommand) {
  const Bad cases[] = {
      {"press 9", "line 1: 'press 9': key must be 0 to 8"},
      {"press -1", "line 1: 'press -1': key must be 0 to 8"},
      {"tap", "line 1: 'tap': takes one key number"},
      {"release 1 2", "line 1: 'release 1 2': takes one key number"},
      {"tap 1\njog 128", "line 2: 'jog 128': jog must be -128 to 127"},
      {"jog -129", "line 1: 'jog -129': jog must be -128 to 127"},
      {"jog 1x", "line 1: 'jog 1x': jog must be -128 to 127"},
      {"jog --1", "line 1: 'jog --1': jog must be -128 to 127"},
      {"shuttle", "line 1: 'shuttle': takes one position"},
      {"jogshuttle 1", "line 1: 'jogshuttle 1': takes a step count and a position"},
      {"jogshuttle 1 200", "line 1: 'jogshuttle 1 200': shuttle must be -128 to 127"},
      {"raw", "line 1: 'raw': takes one or more bytes"},
      {"raw 100", "line 1: 'raw 100': '100' is not a hex byte"},
      {"raw 0xg1", "line 1: 'raw 0xg1': '0xg1' is not a hex byte"},
      {"wait -1", "line 1: 'wait -1': wait must be 0 to 86400000 ms"},
      {"wait", "line 1: 'wait': takes a time in milliseconds"},
      {"hangup now", "line 1: 'hangup now': takes nothing"},
      {"Press 1", "line 1: 'Press 1': unknown command 'Press'"},
      {"tap 1;; frobnicate", "line 1: 'frobnicate': unknown command 'frobnicate'"},
      {"init \"open\nrelease 1", "line 1: 'init \"open': quote not closed"},
      {"init \"a\" b", "line 1: 'init \"a\" b': text after the closing quote"},
      {"init \"\\q\"", "line 1: 'init \"\\q\"': unknown escape \\q (use \\\" \\\\ or \\xHH)"},
  };
  for (const Bad& c : cases) {
    std::vector<ScriptStep> steps;
    std::string error;
    EXPECT_FALSE(ParseScript(c.script, steps, error)) << c.script;
    EXPECT_EQ(error, c.error) << c.script;
    EXPECT_TRUE(steps.empty()) << c.script;
  }
}

TEST(Text, ParsesNumbersWithinTheirRange) {
  struct Case {
    const char* text;
    long long min, max;
    bool ok;
    long long value;
  };
  const Case cases[] = {
      {"0", 0, 10, true, 0},
      {"10", 0, 10, true, 10},
      {"11", 0, 10, false, 0},
      {"0x1F", 0, 255, true, 31},
      {"-0x80", -128, 127, true, -128},
      {"+5", 0, 10, true, 5},
      {"", 0, 10, false, 0},
      {"0x", 0, 10, false, 0},
      {"-", -5, 5, false, 0},
      {" 1", 0, 10, false, 0},
      {"1 ", 0, 10, false, 0},
      {"99999999999999999999999", 0, 10, false, 0},
      {"4294967295", 0, 4294967295LL, true, 4294967295LL},
  };
  for (const Case& c : cases) {
    long long value = 0;
    EXPECT_EQ(jssim::ParseInteger(c.text, c.min, c.max, value), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
}

TEST(Text, QuotesDeviceTextSoItCannotBreakALine) {
  EXPECT_EQ(jssim::Quoted(std::string("a\"b\\c\n\x1b[2J\xff\0", 12)),
            "\"a\\\"b\\\\c\\x0a\\x1b[2J\\xff\\x00\"");
}

}  // namespace
