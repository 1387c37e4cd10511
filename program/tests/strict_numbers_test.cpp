// Command-line numbers: what once walked COM0, COM1, ... or opened the wrong port is refused.

#include "StrictNumbers.h"
#include "StrictOptions.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

struct Case {
  const char* text;
  std::optional<std::uint32_t> value;  // nullopt: refused
};

TEST(StrictNumbers, PortNumbers) {
  const Case cases[] = {
      {"1", 1u},       {"7", 7u},       {"255", 255u},  {"0", std::nullopt},
      {"256", std::nullopt},            {"4294967295", std::nullopt},  // once wrapped to COM0...
      {"010", std::nullopt},            // once read as octal (COM8)
      {" -18446744073709551613", std::nullopt},  // once wrapped to COM3
      {"-1", std::nullopt},  {"+3", std::nullopt},  {"3 ", std::nullopt},  {"0x3", std::nullopt},
      {"", std::nullopt},    {"3a", std::nullopt},  {"99999999999", std::nullopt},
  };
  for (const Case& c : cases) {
    std::uint32_t value = 12345;
    EXPECT_EQ(jsprogram::ParsePortNumber(c.text, value), c.value.has_value()) << "'" << c.text << "'";
    EXPECT_EQ(value, c.value.value_or(12345)) << "'" << c.text << "' must leave the value alone";
  }
}

TEST(StrictNumbers, Masks) {
  const Case cases[] = {
      {"0", 0u},          {"64", 64u},          {"0x40", 0x40u},        {"0X80", 0x80u},
      {"0xffffffff", 0xFFFFFFFFu},              {"4294967295", 0xFFFFFFFFu},
      {"0x100000000", std::nullopt},            {"4294967296", std::nullopt},
      {"-1", std::nullopt},  {"+1", std::nullopt},  {" 1", std::nullopt},  {"0x", std::nullopt},
      {"0xg", std::nullopt}, {"", std::nullopt},    {"1e3", std::nullopt},
  };
  for (const Case& c : cases) {
    std::uint32_t value = 12345;
    EXPECT_EQ(jsprogram::ParseMask(c.text, value), c.value.has_value()) << "'" << c.text << "'";
    EXPECT_EQ(value, c.value.value_or(12345)) << "'" << c.text << "'";
  }
}

// Through CLI11 the same rules hold, and a refusal is a parse error (exit status 2 in the tools).
TEST(StrictNumbers, OptionsRefuseWhatTheParsersRefuse) {
  struct Run {
    std::vector<std::string> args;
    bool ok;
    std::uint32_t port, mask;
  };
  const Run runs[] = {
      {{"--port", "3", "--mask", "0x40"}, true, 3, 0x40},
      {{"--port=12"}, true, 12, 0},
      {{"--port", "010"}, false, 0, 0},
      {{"--port", "4294967295"}, false, 0, 0},
      {{"--mask", "-1"}, false, 0, 0},
  };
  for (const Run& run : runs) {
    CLI::App app{"test"};
    std::uint32_t port = 0, mask = 0;
    jsprogram::AddPortOption(app, "--port", port, "port");
    jsprogram::AddMaskOption(app, "--mask", mask, "mask");
    std::vector<std::string> reversed(run.args.rbegin(), run.args.rend());  // CLI11 takes it so
    bool ok = true;
    try {
      app.parse(reversed);
    } catch (const CLI::ParseError& e) {
      ok = false;
      EXPECT_NE(app.exit(e), 0);
    }
    EXPECT_EQ(ok, run.ok) << run.args[0];
    if (run.ok) {
      EXPECT_EQ(port, run.port);
      EXPECT_EQ(mask, run.mask);
    }
  }
}

}  // namespace
