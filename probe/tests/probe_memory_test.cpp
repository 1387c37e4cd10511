// ProbePorts in this process, with each allocation that makes a port's link failing in turn.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <memory>
#include <new>

#include "CaptureSink.h"
#include "ControllerSim.h"
#include "ProbePorts.h"
#include "SerialJS.h"
#include "TempDir.h"

namespace {
// Allocations on this thread still to succeed before one fails; -1: none fails.
thread_local int t_allocationsLeft = -1;
thread_local bool t_failedThrowing = false;
thread_local bool t_failedNothrow = false;

bool FailNow() {
  if (t_allocationsLeft < 0) return false;
  if (t_allocationsLeft-- > 0) return false;
  t_allocationsLeft = -1;
  return true;
}
}  // namespace

// This file replaces the global allocation functions with malloc and free, as a pair; GCC,
// seeing the replaced new inlined next to the replaced delete, takes them for a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
  if (FailNow()) {
    t_failedThrowing = true;
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (FailNow()) {
    t_failedNothrow = true;
    return nullptr;
  }
  return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

struct Plan {
  std::uint32_t port = 0;  // the port whose link fails to be made
  int allocation = -1;     // which of its allocations fails, from 0
};
Plan g_plan;

std::unique_ptr<SerialJS> MakeFailing(std::uint32_t port) {
  if (port != g_plan.port) return std::make_unique<SerialJS>(port);
  t_failedThrowing = false;
  t_failedNothrow = false;
  t_allocationsLeft = g_plan.allocation;
  struct Disarm {
    ~Disarm() { t_allocationsLeft = -1; }
  } disarm;
  return std::make_unique<SerialJS>(port);
}

struct Case {
  std::uint32_t failingPort;
  std::uint32_t found;  // when the link could not be made
};

TEST(ProbeMemory, APortWhoseLinkCannotBeMadeIsSkipped) {
  jstesting::TempDir dir;
  ASSERT_TRUE(dir.Made());
  ASSERT_EQ(0, setenv("JS_PORT_DIR", dir.path().c_str(), 1));
  jssim::ControllerSim controller;
  std::string error;
  ASSERT_TRUE(controller.Start(dir / "com3", {}, &error)) << error;

  // A missing port, and the port with the controller on it.
  for (const Case c : {Case{2, 3}, Case{3, 0}}) {
    int throwing = 0;
    for (int allocation = 0; allocation < 64; ++allocation) {
      SCOPED_TRACE(testing::Message() << "COM" << c.failingPort << ", allocation " << allocation);
      g_plan = {c.failingPort, allocation};
      jslog::CaptureSink sink;
      std::uint32_t found = 0;
      {
        jslog::ScopedLogSink scope(sink);
        found = ProbePorts(&MakeFailing);
      }
      const std::string skipped = "JS: COM" + std::to_string(c.failingPort) + " skipped: ";
      std::size_t skips = 0;
      for (const jslog::LogLine& line : sink.Lines()) {
        if (line.text.rfind(skipped, 0) == 0) {
          ++skips;
          EXPECT_EQ(27u, line.category);
          EXPECT_EQ(1u, line.level);
          EXPECT_EQ(skipped + "std::bad_alloc", line.text);
        }
      }
      if (t_failedThrowing) {
        ++throwing;
        EXPECT_EQ(1u, skips);
        EXPECT_EQ(c.found, found);
        // The probe went on past the skipped port.
        EXPECT_EQ(1u, sink.Count(27, 10, "JS: testing COM" + std::to_string(c.failingPort + 1)));
      } else {
        // A part made without throwing (an event) that could not be made is ignored; and once
        // the plan is past the last allocation the link is made whole.
        EXPECT_EQ(0u, skips);
        EXPECT_EQ(3u, found);
        if (!t_failedNothrow) break;
      }
    }
    EXPECT_GE(throwing, 2) << "the link and at least one of its parts";
  }
  unsetenv("JS_PORT_DIR");
}

TEST(ProbeMemory, AMakerWithNoLinkSkipsThePort) {
  jslog::CaptureSink sink;
  jslog::ScopedLogSink scope(sink);
  auto none = [](std::uint32_t) { return std::unique_ptr<SerialJS>(); };
  EXPECT_EQ(0u, ProbePorts(none));
  EXPECT_EQ(1u, sink.Count(27, 1, "JS: COM1 skipped: no link"));
  EXPECT_EQ(1u, sink.Count(27, 1, "JS: COM7 skipped: no link"));
  EXPECT_EQ(7u, sink.Lines().size() - 7u);  // seven testing lines and seven skips
}

}  // namespace
