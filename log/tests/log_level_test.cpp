#include <gtest/gtest.h>

#include <limits>
#include <optional>

#include "CaptureSink.h"
#include "LogSink.h"
#include "StderrSink.h"
#include "wPrintf.h"

namespace {

TEST(LogLevel, EnvironmentValueIsStrictDecimal) {
  struct Case {
    const char* text;
    std::optional<std::uint32_t> expected;
  };
  const Case cases[] = {
      {"0", 0u},
      {"1", 1u},
      {"8", 8u},
      {"10", 10u},
      {"007", 7u},
      {"4294967295", 4294967295u},
      {"4294967296", std::nullopt},
      {"99999999999999999999999", std::nullopt},
      {"", std::nullopt},
      {"-1", std::nullopt},
      {"+1", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"1\n", std::nullopt},
      {"0x10", std::nullopt},
      {"1e3", std::nullopt},
      {"1.0", std::nullopt},
      {"debug", std::nullopt},
      {"\xd9\xa1", std::nullopt},  // an Arabic-Indic one is no decimal digit here
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, jslog::ParseLogLevel(c.text)) << c.text;
  EXPECT_EQ(std::nullopt, jslog::ParseLogLevel(nullptr));
}

TEST(LogLevel, InstalledSinksSeeEveryLevel) {
  jslog::SetStderrMaxLevel(1);
  jslog::CaptureSink sink;
  {
    jslog::ScopedLogSink scope(sink);
    wPrintf(24, 8, L"SerialJS: Sending reset\n");
    wPrintf(24, 1, L"SerialJS: failure\n");
  }
  jslog::SetStderrMaxLevel(std::numeric_limits<std::uint32_t>::max());
  const std::vector<jslog::LogLine> expected = {{24, 8, "SerialJS: Sending reset"},
                                                {24, 1, "SerialJS: failure"}};
  EXPECT_EQ(expected, sink.Lines());
}

}  // namespace
