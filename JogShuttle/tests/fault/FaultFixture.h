#pragma once
// A link over the scripted port, with its log captured.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "CaptureSink.h"
#include "FaultScript.h"
#include "SerialJS.h"

namespace js::sys::fault {

class FaultFixture : public ::testing::Test {
 protected:
  void SetUp() override { Reset(); }

  std::vector<std::string> LinesAt(std::uint32_t level) const {
    std::vector<std::string> texts;
    for (const jslog::LogLine& line : sink.Lines()) {
      if (line.category == 24 && line.level == level) texts.push_back(line.text);
    }
    return texts;
  }

  bool WaitForLine(const std::string& text, std::chrono::milliseconds timeout = kLong) const {
    return sink.WaitFor(
        [&](const std::vector<jslog::LogLine>& lines) {
          for (const jslog::LogLine& line : lines) {
            if (line.text == text) return true;
          }
          return false;
        },
        timeout);
  }

  // Waits for `count` state reports in all.
  bool WaitForReports(std::size_t count) const {
    return sink.WaitFor(
        [&](const std::vector<jslog::LogLine>& lines) {
          std::size_t reports = 0;
          for (const jslog::LogLine& line : lines) {
            if (line.text.rfind("SerialJS: JI:", 0) == 0) ++reports;
          }
          return reports >= count;
        },
        kLong);
  }

  // The calls made from `from` on, once there are at least `count` of them.
  static std::vector<Call> CallsFrom(std::size_t from, std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + kLong;
    std::vector<CallRecord> calls = Calls();
    while (calls.size() < from + count && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      calls = Calls();
    }
    std::vector<Call> names;
    for (std::size_t i = from; i < calls.size(); ++i) names.push_back(calls[i].call);
    return names;
  }

  // Generous: two small cores shared with other builds.
  static constexpr std::chrono::milliseconds kLong{10000};

  jslog::CaptureSink sink;
  jslog::ScopedLogSink scope{sink};
};

// Names a case of a table by its `name`.
template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& test) {
  return test.param.name;
}

}  // namespace js::sys::fault
