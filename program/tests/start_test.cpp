// How every program of ours starts and stops, seen from outside.

#include <gtest/gtest.h>
#include <signal.h>

#include "ChildProcess.h"

namespace {

using jstesting::ChildProcess;

// Each stop signal is a stop request that the program answers in its own time, whatever its
// standard error is: a file, a pipe nobody reads, a pipe whose reader has gone (SIGPIPE).
TEST(Start, EveryStopSignalIsARequestTheProgramAnswers) {
  using jstesting::StderrTo;
  struct Case {
    int signal;
    StderrTo stderrTo;
  };
  const Case cases[] = {{SIGINT, StderrTo::kFile},        {SIGTERM, StderrTo::kFile},
                        {SIGHUP, StderrTo::kFile},        {SIGQUIT, StderrTo::kFile},
                        {SIGUSR2, StderrTo::kFile},       {SIGALRM, StderrTo::kFile},
                        {SIGTERM, StderrTo::kUnreadPipe}, {SIGHUP, StderrTo::kGonePipe}};
  for (const Case& c : cases) {
    ChildProcess child;
    ASSERT_TRUE(child.Start({PROGRAM_CHILD}, {.stderrTo = c.stderrTo}));
    ASSERT_EQ("ready", child.NextLine(jstesting::kPatience)) << c.signal;
    EXPECT_EQ(c.signal, child.Stop(c.signal)) << c.signal;
  }
}

// `nohup program &`: the hang-up its parent chose to ignore stays ignored, and the program
// outlives its terminal; the other stop signals still stop it.
TEST(Start, ASignalTheParentIgnoresStaysIgnored) {
  ChildProcess child;
  ASSERT_TRUE(child.Start({"/usr/bin/nohup", PROGRAM_CHILD}));
  ASSERT_EQ("ready", child.NextLine(jstesting::kPatience)) << child.Errors();
  child.Signal(SIGHUP);
  EXPECT_EQ(ChildProcess::kStillRunning, child.WaitForExit(std::chrono::milliseconds(500)));
  EXPECT_EQ(SIGTERM, child.Stop(SIGTERM));
}

// Started with 0 to 2 closed, the first file the program opens would take one of them (and the
// log would be written into it).
TEST(Start, ClosedStandardDescriptorsAreFilled) {
  ChildProcess child;
  ASSERT_TRUE(child.Start({PROGRAM_CHILD, "--check"}, {.closeDescriptors = {0, 1, 2}}));
  EXPECT_EQ(0, child.WaitForExit());
}

// A message comes after the log lines made before it, which say why.
TEST(Start, MessagesComeAfterTheLogLinesBeforeThem) {
  ChildProcess child;
  ASSERT_TRUE(child.Start({PROGRAM_CHILD}));
  ASSERT_EQ("ready", child.NextLine(jstesting::kPatience));
  EXPECT_EQ(SIGINT, child.Stop(SIGINT));
  EXPECT_EQ(0u, child.Errors().find("[24:1] SerialJS: the reason\nchild: the message\n"))
      << child.Errors();
}

}  // namespace
