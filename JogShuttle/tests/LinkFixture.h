#pragma once
// A link with a simulated controller behind it on a pseudo-terminal, reached as COM1: on POSIX
// through a JS_PORT_DIR of the test's own, on Win32 through the Wine bench (TestBench.h, one per
// platform).

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "CaptureSink.h"
#include "SerialJS.h"
#include "TestBench.h"

class LinkFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    bool skip = false;
    const std::string why = bench_.Prepare(&skip);
    if (skip) GTEST_SKIP() << why;
    ASSERT_EQ("", why);
  }
  void TearDown() override { sim.Stop(); }

  // What the simulator is started on for COMn.
  std::string PortPath(int n) const { return bench_.PortName(n); }

  void StartSim(const jssim::SimOptions& options = {}) {
    std::string error;
    ASSERT_TRUE(sim.Start(PortPath(1), options, &error)) << error;
  }

  std::size_t Count(std::uint32_t level, const std::string& text) const {
    return sink.Count(24, level, text);
  }
  std::size_t CountStartingWith(const std::string& prefix) const {
    const auto lines = sink.Texts();
    return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& t) {
      return t.rfind(prefix, 0) == 0;
    }));
  }
  // Waits for a line with exactly this text.
  bool WaitForLine(const std::string& text, int ms = 5000) const {
    return sink.WaitFor(
        [&](const std::vector<jslog::LogLine>& lines) {
          return std::any_of(lines.begin(), lines.end(),
                             [&](const jslog::LogLine& l) { return l.text == text; });
        },
        std::chrono::milliseconds(ms));
  }
  bool WaitForLineCount(std::size_t count, const std::string& prefix, int ms = 5000) const {
    return sink.WaitFor(
        [&](const std::vector<jslog::LogLine>& lines) {
          return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const jslog::LogLine& l) {
                   return l.text.rfind(prefix, 0) == 0;
                 })) >= count;
        },
        std::chrono::milliseconds(ms));
  }

  static constexpr const char* kClosingLine = "SerialJS: Invalid WaitCommEvent(00000000)";
  static constexpr const char* kHangUpLine = linktest::kFacts.hangUpLine;
  static constexpr const char* kResetLine = "SerialJS: Sending reset";
  static constexpr const char* kGetStatusLine = "SerialJS: Sending get status";
  static constexpr const char* kNotAnswering = "SerialJS: JS ist not answering after 7 trys";

  jslog::CaptureSink sink;
  jslog::ScopedLogSink scope{sink};
  linktest::Sim sim;

 private:
  linktest::Bench bench_;
};
