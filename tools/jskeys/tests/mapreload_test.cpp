// A map read again is read on a thread of its own: the loop that sends keys never waits for it,
// is woken when it is done, and a stop gives up a read under way.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "EventLoop.h"
#include "MapReloader.h"

namespace {

using namespace std::chrono_literals;

// Reads that each wait until the test lets that many through, or are abandoned.
struct HeldReads {
  std::mutex lock;
  std::condition_variable changed;
  int started = 0;
  int letThrough = 0;

  bool Read(jskeys::FreshMap& fresh, const std::atomic<bool>& abandon) {
    std::unique_lock<std::mutex> held(lock);
    const int number = ++started;
    changed.notify_all();
    while (letThrough < number && !abandon.load()) changed.wait_for(held, 5ms);
    if (abandon.load()) return false;
    jskeys::MapError error;
    fresh.source = "read " + std::to_string(number);
    return jskeys::ParseMap("[default.keys]\n0 = \"Tab\"\n", "t.toml", fresh.map, error);
  }
  void Let(int count) {
    std::lock_guard<std::mutex> held(lock);
    letThrough = count;
    changed.notify_all();
  }
  bool WaitStarted(int count) {
    std::unique_lock<std::mutex> held(lock);
    return changed.wait_for(held, 30s, [&] { return started >= count; });
  }
};

// Runs `work` on a thread of its own and says whether it ended within a generous while; one that
// hangs is left behind, so that the test can say so rather than hang with it.
bool EndsInTime(std::function<void()> work) {
  auto ended = std::make_shared<std::promise<void>>();
  std::future<void> done = ended->get_future();
  std::thread([work = std::move(work), ended] {
    work();
    ended->set_value();
  }).detach();
  return done.wait_for(30s) == std::future_status::ready;
}

TEST(MapReloader, TheLoopNeverWaitsForARead) {
  auto reads = std::make_shared<HeldReads>();
  auto reloader = std::make_unique<jskeys::MapReloader>(
      [reads](jskeys::FreshMap& fresh, const std::atomic<bool>& abandon) {
        return reads->Read(fresh, abandon);
      });
  reloader->Request();
  ASSERT_TRUE(reads->WaitStarted(1));
  // The loop looks while the read is held: nothing yet, and at once.
  ASSERT_TRUE(EndsInTime([&] { EXPECT_FALSE(reloader->Take()); }))
      << "taking the map waited for the read under way";
  reloader->Request();  // a change told meanwhile: read once the first is done
  reads->Let(1);

  jsprogram::EventLoop loop;
  std::optional<jskeys::FreshMap> fresh;
  loop.Watch(reloader->Handle(), [&] { fresh = reloader->Take(); });
  for (auto until = std::chrono::steady_clock::now() + 30s;
       !fresh && std::chrono::steady_clock::now() < until;) {
    loop.RunOnce(until);
  }
  ASSERT_TRUE(fresh) << "the loop was not woken when the read was done";
  EXPECT_EQ("read 1", fresh->source);
  EXPECT_EQ("Tab", jskeys::ComboText(fresh->map.defaults.keys[0][0]->combo));
  ASSERT_TRUE(reads->WaitStarted(2)) << "the change told during the first read was not read";
  EXPECT_TRUE(reloader->Busy());

  // The end comes while the second read is held: it is abandoned, not waited out.
  EXPECT_TRUE(EndsInTime([&] { reloader.reset(); }))
      << "the reloader's end waited for a read it had abandoned";
}

}  // namespace
