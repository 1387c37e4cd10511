#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>

#include "CaptureSink.h"
#include "LogSink.h"
#include "wPrintf.h"

namespace {

TEST(LogSink, CapturesCategoryLevelAndText) {
  jslog::CaptureSink sink;
  {
    jslog::ScopedLogSink scope(sink);
    wPrintf(24, 8, L"SerialJS: Sending reset\n");
    wPrintf(27, 10, L"JS: testing COM%d\n", 3);
  }
  wPrintf(24, 1, L"after the scope: to standard error\n");
  const std::vector<jslog::LogLine> expected = {{24, 8, "SerialJS: Sending reset"},
                                                {27, 10, "JS: testing COM3"}};
  EXPECT_EQ(expected, sink.Lines());
}

TEST(LogSink, StderrLineHasPrefixAndEndsWithTheMessage) {
  std::string line;
  jslog::AppendStderrLine(line, 24, 9, "SerialJS: Init(ABC)");
  EXPECT_EQ("[24:9] SerialJS: Init(ABC)\n", line);
}

TEST(LogSink, TwoThreadsLoggingAtOnceKeepEveryLineWhole) {
  jslog::CaptureSink sink;
  jslog::ScopedLogSink scope(sink);
  constexpr int kLines = 5000;
  auto writer = [](int id) {
    for (int i = 0; i < kLines; ++i) {
      wPrintf(24, 8, L"thread %d line %d text %hs %s\n", id, i, "device\ntext", L"wide");
    }
  };
  std::thread a(writer, 1);
  std::thread b(writer, 2);
  a.join();
  b.join();
  std::vector<std::string> texts = sink.Texts();
  ASSERT_EQ(2u * kLines, texts.size());
  int next[3] = {0, 0, 0};
  for (const std::string& text : texts) {
    int id = text[7] - '0';
    ASSERT_TRUE(id == 1 || id == 2) << text;
    std::string expected = "thread " + std::to_string(id) + " line " + std::to_string(next[id]++) +
                           " text device\\ntext wide";
    ASSERT_EQ(expected, text);
  }
}

}  // namespace
