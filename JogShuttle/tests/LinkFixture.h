#pragma once
// A link on a pseudo-terminal with a simulated controller behind it, reached as COM1 through a
// JS_PORT_DIR of the test's own.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <string>

#include "CaptureSink.h"
#include "ControllerSim.h"
#include "TempDir.h"
#include "SerialJS.h"

class LinkFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(portDir_.Made());
    ASSERT_EQ(0, setenv("JS_PORT_DIR", portDir_.path().c_str(), 1));
  }
  void TearDown() override { sim.Stop(); }

  std::string PortPath(int n) const { return portDir_ / ("com" + std::to_string(n)); }

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
  static constexpr const char* kHangUpLine = "SerialJS: Invalid WaitCommEvent(00000080)";
  static constexpr const char* kResetLine = "SerialJS: Sending reset";
  static constexpr const char* kGetStatusLine = "SerialJS: Sending get status";
  static constexpr const char* kNotAnswering = "SerialJS: JS ist not answering after 7 trys";

  jslog::CaptureSink sink;
  jslog::ScopedLogSink scope{sink};
  jssim::ControllerSim sim;

 private:
  jssim::TempDir portDir_;
};
