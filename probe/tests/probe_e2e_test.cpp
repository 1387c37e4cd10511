// The real jsprobe binary against simulated controllers on pseudo-terminals.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>

#include "ControllerSim.h"
#include "ChildProcess.h"
#include "TempDir.h"

namespace {

using jstesting::ProgramRun;
using jstesting::RunProgram;

class Probe : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.Made()); }
  void TearDown() override { sims_.clear(); }

  std::string Port(int n) const { return dir_ / ("com" + std::to_string(n)); }

  jssim::ControllerSim& Controller(int n, const jssim::SimOptions& options = {}) {
    auto& sim = sims_[n];
    sim = std::make_unique<jssim::ControllerSim>();
    std::string error;
    EXPECT_TRUE(sim->Start(Port(n), options, &error)) << error;
    return *sim;
  }

  ProgramRun Run(const std::vector<std::string>& arguments = {}) {
    return RunProgram(JSPROBE_PATH, arguments, {"JS_PORT_DIR=" + dir_.path()});
  }

  static std::string Testing(int n) { return "[27:10] JS: testing COM" + std::to_string(n); }
  static std::string Found(int n) { return "[27:10] JS: found JS at COM" + std::to_string(n); }
  static std::string Missing(int n) {
    return "[24:1] SerialJS: Error (2) opening COM" + std::to_string(n) +
           ": config: No such file or directory";
  }
  static std::size_t CountOf(const ProgramRun& run, const std::string& line) {
    return static_cast<std::size_t>(std::count(run.lines.begin(), run.lines.end(), line));
  }
  static constexpr const char* kReset = "[24:8] SerialJS: Sending reset";
  static constexpr const char* kGetStatus = "[24:8] SerialJS: Sending get status";
  static constexpr const char* kClosing = "[24:1] SerialJS: Invalid WaitCommEvent(00000000)";
  static constexpr const char* kNotAnswering = "[24:2] SerialJS: JS ist not answering after 7 trys";

 private:
  jstesting::TempDir dir_;  // before the simulators, so that it goes after them
  std::map<int, std::unique_ptr<jssim::ControllerSim>> sims_;
};

TEST_F(Probe, NoPortsAtAll) {
  const ProgramRun run = Run();
  EXPECT_EQ(0, run.exitStatus);
  std::vector<std::string> expected;
  for (int n = 1; n <= 7; ++n) {
    expected.push_back(Testing(n));
    expected.push_back(Missing(n));
  }
  EXPECT_EQ(expected, run.lines);
}

TEST_F(Probe, ControllerOnCom2AfterAMissingCom1) {
  Controller(2);
  const ProgramRun run = Run();
  EXPECT_EQ(2, run.exitStatus);
  ASSERT_GE(run.lines.size(), 7u) << run.standardError;
  EXPECT_EQ(Testing(1), run.lines[0]);
  EXPECT_EQ(Missing(1), run.lines[1]);
  EXPECT_EQ(Testing(2), run.lines[2]);
  EXPECT_EQ(kReset, run.lines[3]);
  EXPECT_EQ(kGetStatus, run.lines[4]);
  // A busy machine may let more requests of the first attempt out before the reply is decoded.
  std::size_t next = 5;
  while (next < run.lines.size() && run.lines[next] == kGetStatus && next < 12) ++next;
  ASSERT_EQ(next + 2, run.lines.size()) << run.standardError;
  EXPECT_EQ(kClosing, run.lines[next]);
  EXPECT_EQ(Found(2), run.lines[next + 1]);
}

TEST_F(Probe, StopsAtTheFirstOfTwoControllers) {
  Controller(3);
  jssim::ControllerSim& com4 = Controller(4);
  jssim::ControllerSim& com5 = Controller(5);
  const ProgramRun run = Run();
  EXPECT_EQ(3, run.exitStatus);
  EXPECT_EQ(Found(3), run.lines.back());
  EXPECT_EQ(0u, CountOf(run, Testing(4)));
  EXPECT_TRUE(com4.Received().empty());
  EXPECT_TRUE(com5.Received().empty());
}

TEST_F(Probe, SilentPortBeforeAnAnsweringOne) {
  jssim::ControllerSim& silent = Controller(1, {.silent = true});
  Controller(2);
  const ProgramRun run = Run();
  EXPECT_EQ(2, run.exitStatus);
  EXPECT_EQ(7u + 1u, CountOf(run, kReset));
  EXPECT_EQ(1u, CountOf(run, kNotAnswering));
  EXPECT_EQ(2u, CountOf(run, kClosing));
  EXPECT_EQ(56u, silent.StatusRequestsReceived());
  // COM1's level-2 line comes after its port was closed, before COM2 is tried.
  const auto notAnswering = std::find(run.lines.begin(), run.lines.end(), kNotAnswering);
  ASSERT_NE(run.lines.end(), notAnswering);
  EXPECT_EQ(kClosing, *(notAnswering - 1));
  EXPECT_EQ(Testing(2), *(notAnswering + 1));
}

TEST_F(Probe, PortHeldByAnotherProgramIsSkipped) {
  jssim::ControllerSim& held = Controller(1);
  Controller(2);
  const int holder = ::open(Port(1).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(0, flock(holder, LOCK_EX | LOCK_NB));
  const ProgramRun run = Run();
  ::close(holder);
  EXPECT_EQ(2, run.exitStatus);
  EXPECT_EQ(1u, CountOf(run, "[24:1] SerialJS: Error (16) opening COM1: config: Device or resource busy"));
  EXPECT_TRUE(held.Received().empty());
}

TEST_F(Probe, ControllerUnpluggedDuringTheHandshakeMovesOnToTheNextPort) {
  Controller(1, {.silent = true, .hangUpAfterRequests = 3});
  Controller(2);
  const ProgramRun run = Run();
  EXPECT_EQ(2, run.exitStatus);
  const auto sendError = std::find_if(run.lines.begin(), run.lines.end(), [](const std::string& l) {
    return l.rfind("[24:1] SerialJS: Error (5) sending command: ", 0) == 0;
  });
  ASSERT_NE(run.lines.end(), sendError) << run.standardError;
  EXPECT_EQ(0u, CountOf(run, kNotAnswering));
  EXPECT_EQ(Found(2), run.lines.back());
}

TEST_F(Probe, ArgumentsAreIgnored) {
  Controller(2);
  const ProgramRun plain = Run();
  const ProgramRun withArguments = Run({"--help", "COM1", "-v"});
  EXPECT_EQ(2, plain.exitStatus);
  EXPECT_EQ(2, withArguments.exitStatus);
  EXPECT_EQ(Found(2), withArguments.lines.back());
  EXPECT_EQ(Missing(1), withArguments.lines[1]);
}

TEST_F(Probe, ControllerOnCom8IsNeverFound) {
  jssim::ControllerSim& com8 = Controller(8);
  const ProgramRun run = Run();
  EXPECT_EQ(0, run.exitStatus);
  EXPECT_EQ(14u, run.lines.size());
  EXPECT_TRUE(com8.Received().empty());
}

}  // namespace
