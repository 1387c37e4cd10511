#pragma once
// The real jskeys against a simulated controller on COM3 of a port directory of the test's own.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "ControllerSim.h"
#include "TempDir.h"
#include "TestMaps.h"

namespace jskeys_test {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// The map the end-to-end tests use.
inline const std::string kToolMap = TestMap(R"(
1 = { send = "shift", hold = true }
[default.jog]
forward = "Right"
back = "Left"
[default.shuttle]
1 = { send = "l", every_ms = 200 }
-1 = { send = "j", every_ms = 200 }
[[application]]
name = "other"
class = "^Other$"
[application.keys]
0 = "Return"
[application.jog]
forward = "Down"
)");

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.Made());
    WriteFile("keys.toml", kToolMap);
  }

  // jskeys lets go of what it holds before the next test, which may share its X server or sway.
  void TearDown() override {
    if (tool.Running()) tool.Stop(SIGTERM, 5s);
  }

  void WriteFile(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name) << text;
  }

  bool StartSim(std::string& error) { return sim.Start(dir_ / "com3", {}, &error); }

  // jskeys with these arguments; JS_PORT_DIR is always ours, so no real port is ever reached.
  // `setup`: how its standard descriptors are set up (its environment is the test's to give).
  void StartTool(const std::vector<std::string>& arguments, std::vector<std::string> environment = {},
                 jstesting::ChildSetup setup = {}) {
    std::vector<std::string> words = {JSKEYS_PATH};
    words.insert(words.end(), arguments.begin(), arguments.end());
    environment.push_back("JS_PORT_DIR=" + dir_.path());
    environment.push_back("XDG_CONFIG_HOME=" + dir_ / "config");
    environment.push_back("HOME=" + dir_.path());
    setup.environment = std::move(environment);
    setup.ownEnvironment = true;
    ASSERT_TRUE(tool.Start(words, setup));
  }

  // Runs jskeys to its end and returns the exit status.
  int RunTool(const std::vector<std::string>& arguments, std::vector<std::string> environment = {}) {
    StartTool(arguments, std::move(environment));
    return tool.WaitForExit(10s);
  }

  std::string Path(const std::string& name) const { return dir_ / name; }

  jssim::ControllerSim sim;
  jstesting::ChildProcess tool;

 private:
  jstesting::TempDir dir_;
};

}  // namespace jskeys_test
