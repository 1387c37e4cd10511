// The process's own standard-error sink, seen from outside: this test executable runs itself
// again with standard error on a pipe, once read and once left unread.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "LogSink.h"
#include "wPrintf.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern char** environ;
#endif

namespace {

constexpr const char* kChildVariable = "JS_LOG_TEST_CHILD";

// What the child does, picked by kChildVariable; skipped when the suite runs normally.
TEST(LogChild, Run) {
  const char* mode = std::getenv(kChildVariable);
  if (mode == nullptr) GTEST_SKIP() << "runs only as the child of the LogExit tests";
  if (std::strcmp(mode, "levels") == 0) {
    // JS_LOG_LEVEL=1 is set: traces go nowhere, failures go out folded, and the process ends
    // with no flush of its own.
    wPrintf(24, 8, L"SerialJS: Sending reset\n");
    wPrintf(24, 1, L"SerialJS: Error (%d) opening %s %hs\n", 2, L"COM1:", "config");
    for (int i = 0; i < 100; ++i) {
      wPrintf(24, 1, L"SerialJS: Invalid WaitCommEvent(%08x)\n", 0x80u);
      wPrintf(24, 8, L"SerialJS: JI:%02d\n", i);
    }
    wPrintf(27, 10, L"JS: testing COM%d\n", 1);
  } else if (std::strcmp(mode, "stall") == 0) {
    // Far more than a pipe holds, with nobody reading it.
    const std::wstring filler(150, L'x');
    for (int i = 0; i < 20000; ++i) wPrintf(27, 10, L"JS: line %d %s\n", i, filler.c_str());
  }
}

#if !defined(_WIN32)

struct ChildResult {
  bool exited = false;  // of itself, within the time allowed
  int status = -1;
  std::string stderrText;
  std::chrono::milliseconds took{0};
};

// Runs this executable's LogChild.Run with `mode`, standard error on a pipe that is read only
// when `readStderr`, and waits for it at most `limit`.
ChildResult RunChild(const char* mode, const char* logLevel, bool readStderr,
                     std::chrono::seconds limit) {
  ChildResult result;
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return result;

  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "JS_LOG_LEVEL=", 13) == 0 || std::strncmp(*e, kChildVariable, 17) == 0) {
      continue;
    }
    environment.emplace_back(*e);
  }
  environment.push_back(std::string(kChildVariable) + "=" + mode);
  if (logLevel != nullptr) environment.push_back(std::string("JS_LOG_LEVEL=") + logLevel);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  std::string program = "/proc/self/exe";
  std::string filter = "--gtest_filter=LogChild.Run";
  char* argv[] = {program.data(), filter.data(), nullptr};

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  const auto started = std::chrono::steady_clock::now();
  pid_t child = -1;
  const int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (spawned != 0) {
    ::close(pipeFds[0]);
    return result;
  }

  const auto deadline = started + limit;
  bool pipeOpen = true;
  while (std::chrono::steady_clock::now() < deadline) {
    if (readStderr && pipeOpen) {
      pollfd ready{pipeFds[0], POLLIN, 0};
      if (::poll(&ready, 1, 10) > 0) {
        char buffer[4096];
        const ssize_t got = ::read(pipeFds[0], buffer, sizeof buffer);
        if (got > 0) result.stderrText.append(buffer, static_cast<std::size_t>(got));
        if (got == 0) pipeOpen = false;
      }
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (::waitpid(child, &result.status, WNOHANG) == child) {
      result.exited = true;
      break;
    }
  }
  result.took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started);
  if (!result.exited) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &result.status, 0);
  }
  // What is left in the pipe.
  for (char buffer[4096];;) {
    const ssize_t got = readStderr ? ::read(pipeFds[0], buffer, sizeof buffer) : 0;
    if (got <= 0) break;
    result.stderrText.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(pipeFds[0]);
  return result;
}

TEST(LogExit, LevelFromEnvironmentAndFoldedLinesAreWrittenAtExit) {
  const ChildResult result = RunChild("levels", "1", true, std::chrono::seconds(60));
  ASSERT_TRUE(result.exited) << "the child did not end";
  ASSERT_TRUE(WIFEXITED(result.status)) << result.status;
  EXPECT_EQ(0, WEXITSTATUS(result.status)) << result.stderrText;
  EXPECT_EQ(
      "[24:1] SerialJS: Error (2) opening COM1: config\n"
      "[24:1] SerialJS: Invalid WaitCommEvent(00000080)\n"
      "[24:1] (last message repeated 99 times)\n",
      result.stderrText);
}

TEST(LogExit, StalledStderrDoesNotKeepTheProcessAlive) {
  const ChildResult result = RunChild("stall", nullptr, false, std::chrono::seconds(60));
  ASSERT_TRUE(result.exited) << "the child still ran after " << result.took.count() << " ms";
  ASSERT_TRUE(WIFEXITED(result.status)) << result.status;
  EXPECT_EQ(0, WEXITSTATUS(result.status));
}

#endif

}  // namespace
