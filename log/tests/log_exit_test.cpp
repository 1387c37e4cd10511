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
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "ChildProcess.h"
#endif

namespace {

constexpr const char* kChildVariable = "JS_LOG_TEST_CHILD";

// A library user's object kept in a static, whose destructor logs (a link whose Close logs).
// Made before the log's own statics (its first line comes later), so destroyed after them.
struct LogsAtTheEnd {
  bool armed = false;
  ~LogsAtTheEnd() {
    if (armed) wPrintf(24, 1, L"SerialJS: closed at the end (%d)\n", 7);
  }
};
LogsAtTheEnd g_logsAtTheEnd;

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
  } else if (std::strcmp(mode, "static") == 0) {
    wPrintf(27, 10, L"JS: first\n");
    g_logsAtTheEnd.armed = true;
#if !defined(_WIN32)
  } else if (std::strcmp(mode, "fork") == 0) {
    // Another thread logs all the while, so that some fork finds the queue's lock held.
    std::atomic<bool> done{false};
    std::thread busy([&] {
      while (!done.load()) wPrintf(27, 10, L"JS: busy\n");
    });
    int ended = 0;
    for (int i = 0; i < 20; ++i) {
      const pid_t child = ::fork();
      if (child == 0) {
        wPrintf(27, 10, L"JS: child %d\n", i);
        std::exit(0);  // the exit flush, as any program's
      }
      int status = 0;
      if (child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status)) ++ended;
    }
    done.store(true);
    busy.join();
    // The busy lines may still fill the queue, and a full queue drops the line.
    jslog::FlushStderr(60000);
    wPrintf(27, 10, L"JS: %d children ended\n", ended);
#endif
  } else if (std::strcmp(mode, "stall") == 0) {
    // Far more than a pipe holds, with nobody reading it.
    const std::wstring filler(150, L'x');
    for (int i = 0; i < 20000; ++i) wPrintf(27, 10, L"JS: line %d %s\n", i, filler.c_str());
  }
}

#if !defined(_WIN32)

// Runs this executable's LogChild.Run with `mode`, standard error kept (or on a pipe nobody
// reads), and waits for it at most `limit`.
jstesting::ChildProcess RunChild(const char* mode, const char* logLevel, bool readStderr,
                                 std::chrono::seconds limit, int& status) {
  jstesting::ChildProcess child;
  jstesting::ChildSetup setup;
  setup.environment = {std::string(kChildVariable) + "=" + mode,
                       std::string("JS_LOG_LEVEL=") + (logLevel ? logLevel : "")};
  setup.stderrTo = readStderr ? jstesting::StderrTo::kFile : jstesting::StderrTo::kUnreadPipe;
  setup.discardOutput = true;
  status = child.Start({"/proc/self/exe", "--gtest_filter=LogChild.Run"}, setup)
               ? child.WaitForExit(limit)
               : -1;
  return child;
}

TEST(LogExit, LevelFromEnvironmentAndFoldedLinesAreWrittenAtExit) {
  int status = -1;
  const auto child = RunChild("levels", "1", true, std::chrono::seconds(60), status);
  EXPECT_EQ(0, status) << child.Errors();
  EXPECT_EQ(
      "[24:1] SerialJS: Error (2) opening COM1: config\n"
      "[24:1] SerialJS: Invalid WaitCommEvent(00000080)\n"
      "[24:1] (last message repeated 99 times)\n",
      child.Errors());
}

TEST(LogExit, StalledStderrDoesNotKeepTheProcessAlive) {
  int status = -1;
  RunChild("stall", nullptr, false, std::chrono::seconds(60), status);
  EXPECT_EQ(0, status) << "-1: still running after a minute";
}

// A line from the destructor of a static object that outlives the log's own is written, not
// lost, and the process ends normally.
TEST(LogExit, ALineFromTheLastDestructorsIsWritten) {
  int status = -1;
  const auto child = RunChild("static", nullptr, true, std::chrono::seconds(60), status);
  EXPECT_EQ(0, status) << child.Errors();
  EXPECT_EQ("[27:10] JS: first\n[24:1] SerialJS: closed at the end (7)\n", child.Errors());
}

// A forked child logs as its parent does, while another thread of the parent logs all the while.
TEST(LogExit, AForkedChildLogs) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer does not let a child of a threaded fork start threads";
#elif defined(__SANITIZE_ADDRESS__)
  // GCC 12's AddressSanitizer takes no lock around fork(): a child forked while the busy thread
  // refills its allocator cache starts a writer thread that waits for that lock for ever.
  GTEST_SKIP() << "this AddressSanitizer's allocator is not safe across fork in a threaded process";
#endif
  int status = -1;
  const auto child = RunChild("fork", nullptr, true, std::chrono::seconds(120), status);
  ASSERT_EQ(0, status) << "-1: a forked child hung";
  const std::string text = child.Errors();
  for (int i = 0; i < 20; ++i) {
    EXPECT_NE(std::string::npos, text.find("[27:10] JS: child " + std::to_string(i) + "\n")) << i;
  }
  EXPECT_NE(std::string::npos, text.find("[27:10] JS: 20 children ended\n"))
      << text.substr(text.size() > 400 ? text.size() - 400 : 0);
}

#endif

}  // namespace
