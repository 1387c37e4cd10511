// The event loop over real descriptors: each ready source's callback runs, a forgotten one's
// never does, and a wait ends at its time when nothing is ready.

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "EventLoop.h"

namespace {

using namespace std::chrono_literals;
using jsprogram::EventLoop;

struct Pipe {
  Pipe() { EXPECT_EQ(0, ::pipe(ends)); }
  ~Pipe() {
    ::close(ends[0]);
    ::close(ends[1]);
  }
  void Put() { EXPECT_EQ(1, ::write(ends[1], "x", 1)); }
  void Take() {
    char byte;
    EXPECT_EQ(1, ::read(ends[0], &byte, 1));
  }
  int ends[2] = {-1, -1};
};

TEST(EventLoop, RunsWhatIsReadyAndNothingElse) {
  Pipe a, b, c;
  EventLoop loop;
  std::string heard;
  loop.Watch(a.ends[0], [&] {
    heard += 'a', a.Take();
    if (heard == "a" && c.ends[0] >= 0) loop.Forget(c.ends[0]);  // even one ready now
  });
  loop.Watch(b.ends[0], [&] { heard += 'b', b.Take(); });
  loop.Watch(c.ends[0], [&] { heard += 'c', c.Take(); });
  struct Step {
    const char* put;
    const char* heard;
  };
  const Step steps[] = {{"b", "b"}, {"bc", "bc"}, {"ac", "a"}, {"b", "b"}};
  for (const Step& step : steps) {
    for (const char* p = step.put; *p; ++p) (*p == 'a' ? a : *p == 'b' ? b : c).Put();
    heard.clear();
    loop.RunOnce(EventLoop::Clock::now() + 50ms);
    EXPECT_EQ(step.heard, heard) << "put " << step.put;
  }
  c.Take();  // what the forgotten source was left with
  loop.KeepOnly({a.ends[0]});
  b.Put();
  c.Put();
  heard.clear();
  loop.RunOnce(EventLoop::Clock::now() + 50ms);
  EXPECT_EQ("", heard);
}

TEST(EventLoop, AWaitEndsAtItsTimeNotBefore) {
  EventLoop loop;
  const auto until = EventLoop::Clock::now() + 30ms;
  loop.RunOnce(until);
  EXPECT_GE(EventLoop::Clock::now(), until);
  EXPECT_EQ(0, jsprogram::WaitMilliseconds(EventLoop::Clock::now() - 1ms));
  EXPECT_EQ(-1, jsprogram::WaitMilliseconds(std::nullopt));
}

}  // namespace
