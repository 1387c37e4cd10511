// The real jsprobe as a shell, a pipeline or a service manager starts it: with its log reader
// gone, with standard descriptors closed, and stopped by a signal in the middle of a search.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "ControllerSim.h"
#include "TempDir.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using jstesting::kPatience;

class ProbeEntry : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.Made()); }

  std::string Port(int n) const { return dir_ / ("com" + std::to_string(n)); }
  jssim::ControllerSim& Controller(int n, const jssim::SimOptions& options = {}) {
    sims_.push_back(std::make_unique<jssim::ControllerSim>());
    std::string error;
    EXPECT_TRUE(sims_.back()->Start(Port(n), options, &error)) << error;
    return *sims_.back();
  }
  void Start(jstesting::ChildSetup setup = {}) {
    setup.environment.push_back("JS_PORT_DIR=" + dir_.path());
    ASSERT_TRUE(probe_.Start({JSPROBE_PATH}, setup));
  }

  jstesting::ChildProcess probe_;

 private:
  jstesting::TempDir dir_;  // before the simulators, so that it goes after them
  std::vector<std::unique_ptr<jssim::ControllerSim>> sims_;
};

// What the controller received, taken apart into commands; anything that is not a reset or a
// get-status request makes it fail.
bool OnlyCommands(const Bytes& received, std::string& what) {
  for (std::size_t i = 0; i < received.size();) {
    if (received[i] == 0x43) {
      ++i;
    } else if (i + 2 < received.size() && received[i] == 0x40 && received[i + 1] == 0x41 &&
               received[i + 2] == 0x42) {
      i += 3;
    } else {
      what = "byte " + std::to_string(i) + " is " + std::to_string(received[i]) + " of " +
             std::string(received.begin(), received.end());
      return false;
    }
  }
  return true;
}

// `jsprobe 2>&1 | head -1`: the reader goes away, but the answer is still the exit status.
TEST_F(ProbeEntry, AReaderOfTheLogThatGoesAwayNeverChangesTheStatus) {
  Controller(3);
  for (const bool readFirstLine : {false, true}) {
    Start({.stderrTo = jstesting::StderrTo::kOutput});
    if (readFirstLine) {
      EXPECT_NE("", probe_.NextLine());
    }
    probe_.CloseOutput();  // before the first write, or after the first line
    EXPECT_EQ(3, probe_.WaitForExit()) << (readFirstLine ? "after one line" : "at once");
  }
}

// With standard error closed, the first port opened would be number 2 and every log line
// would go down that line to the controller.
TEST_F(ProbeEntry, ClosedStandardDescriptorsNeverBecomeThePort) {
  const std::vector<std::vector<int>> closedSets = {{2}, {1, 2}, {0, 1, 2}, {0}};
  for (const std::vector<int>& closed : closedSets) {
    jssim::ControllerSim& com1 = Controller(1);
    Start({.closeDescriptors = closed});
    EXPECT_EQ(1, probe_.WaitForExit()) << "closed " << closed.size() << " from " << closed[0];
    const Bytes received = com1.Received();
    std::string what;
    EXPECT_TRUE(OnlyCommands(received, what)) << what;
    EXPECT_GE(com1.ResetsReceived(), 1u);
    EXPECT_GE(com1.StatusRequestsReceived(), 1u);
    com1.Stop();
  }
}

// A signal in the middle of a search of silent ports: the port under way is released as
// Close releases it, no further port is tried, and the status says which signal it was.
TEST_F(ProbeEntry, ASignalEndsTheSearchWithThePortReleased) {
  for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
    jssim::ControllerSim& com1 = Controller(1, {.silent = true});
    jssim::ControllerSim& com2 = Controller(2, {.silent = true});
    Start();
    ASSERT_TRUE(com1.WaitUntil([](const Bytes& r) { return r.size() >= 4; }, kPatience));
    const auto start = Clock::now();
    EXPECT_EQ(128 + signal, probe_.Stop(signal)) << "signal " << signal;
    EXPECT_LT(Clock::now() - start, kPatience / 2) << "one handshake is under half a second";
    EXPECT_TRUE(com2.Received().empty()) << "COM2 was tried after the signal " << signal;

    // The port can be had again: not exclusive any more, and no lock left on it.
    const int fd = ::open(Port(1).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
#if defined(TIOCGEXCL)
    int exclusive = -1;
    ASSERT_EQ(0, ::ioctl(fd, TIOCGEXCL, &exclusive));
    EXPECT_EQ(0, exclusive) << "TIOCEXCL outlived jsprobe after signal " << signal;
#endif
    EXPECT_EQ(0, ::flock(fd, LOCK_EX | LOCK_NB)) << "signal " << signal;
    ::close(fd);
    com1.Stop();
    com2.Stop();
  }
}

}  // namespace
