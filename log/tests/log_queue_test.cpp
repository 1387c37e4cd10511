#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <limits>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "StderrQueue.h"

namespace {

using jslog::StderrQueue;
using namespace std::chrono_literals;

// Generous: the machine is small and shared.
constexpr auto kPatience = 20s;

// Standard error as a test sees it: everything written, and a gate that can hold the writer in
// its write as a pipe nobody reads would.
class FakeStderr {
 public:
  StderrQueue::WriteFunction Function() {
    return [this](std::string_view lines) {
      std::unique_lock<std::mutex> lock(lock_);
      ++writesStarted_;
      changed_.notify_all();
      changed_.wait(lock, [&] { return writes_ < allowed_; });
      text_.append(lines);
      ++writes_;
    };
  }
  // Writes after the first `count` hang until allowed.
  void AllowWrites(int count) {
    std::lock_guard<std::mutex> lock(lock_);
    allowed_ = count;
    changed_.notify_all();
  }
  void Close() { AllowWrites(0); }
  void Open() { AllowWrites(std::numeric_limits<int>::max()); }
  bool WaitForWriteStarted(int count) {
    std::unique_lock<std::mutex> lock(lock_);
    return changed_.wait_for(lock, kPatience, [&] { return writesStarted_ >= count; });
  }
  std::string Text() const {
    std::lock_guard<std::mutex> lock(lock_);
    return text_;
  }
  int Writes() const {
    std::lock_guard<std::mutex> lock(lock_);
    return writes_;
  }

 private:
  mutable std::mutex lock_;
  std::condition_variable changed_;
  int allowed_ = std::numeric_limits<int>::max();
  int writesStarted_ = 0;
  int writes_ = 0;
  std::string text_;
};

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

StderrQueue::Options OptionsFor(FakeStderr& fake, std::size_t capacity = 1024) {
  StderrQueue::Options options;
  options.write = fake.Function();
  options.capacity = capacity;
  return options;
}

TEST(StderrQueue, TwoThreadsLinesStayWholeAndInOrder) {
  FakeStderr fake;
  constexpr int kLines = 5000;
  {
    StderrQueue queue(OptionsFor(fake, 256));  // small: drops are likely, and must be told
    auto writer = [&](int id) {
      for (int i = 0; i < kLines; ++i) {
        queue.Push(24, 8, "thread " + std::to_string(id) + " line " + std::to_string(i));
      }
    };
    std::thread a(writer, 1);
    std::thread b(writer, 2);
    a.join();
    b.join();
    EXPECT_TRUE(queue.Flush(kPatience));
  }
  int next[3] = {0, 0, 0};
  std::uint64_t written = 0;
  std::uint64_t dropped = 0;
  for (const std::string& line : SplitLines(fake.Text())) {
    unsigned long long count = 0;
    char word[8] = {};
    if (std::sscanf(line.c_str(), "[0:1] log: %llu %7s dropped", &count, word) == 2) {
      dropped += count;
      continue;
    }
    int id = 0;
    int index = 0;
    ASSERT_EQ(2, std::sscanf(line.c_str(), "[24:8] thread %d line %d", &id, &index)) << line;
    ASSERT_TRUE(id == 1 || id == 2) << line;
    ASSERT_EQ("[24:8] thread " + std::to_string(id) + " line " + std::to_string(index), line);
    ASSERT_GE(index, next[id]) << "out of order: " << line;
    next[id] = index + 1;
    ++written;
  }
  EXPECT_EQ(2u * kLines, written + dropped);
}

TEST(StderrQueue, StalledWriterHoldsNoCallerAndDropsAreTold) {
  FakeStderr fake;
  constexpr std::size_t kCapacity = 8;
  StderrQueue queue(OptionsFor(fake, kCapacity));
  fake.Close();
  queue.Push(24, 1, "first");
  ASSERT_TRUE(fake.WaitForWriteStarted(1));  // the writer now hangs in its write

  // Callers go on while it hangs: the queue fills, then lines are dropped and counted.
  auto callers = std::async(std::launch::async, [&] {
    for (std::size_t i = 0; i < kCapacity + 37; ++i) queue.Push(24, 1, "line " + std::to_string(i));
  });
  ASSERT_EQ(std::future_status::ready, callers.wait_for(kPatience)) << "a caller was held";
  // The program's own message, which says what the flood meant, is never dropped with it.
  queue.PushPlain("tool: 37 changes were lost");
  queue.Push(24, 1, "dropped too");
  EXPECT_FALSE(queue.Flush(50ms));  // still stalled

  fake.Open();
  ASSERT_TRUE(queue.Flush(kPatience));
  queue.Push(24, 1, "after");
  queue.Push(24, 1, "after");
  queue.Push(27, 10, "JS: testing COM1");
  ASSERT_TRUE(queue.Flush(kPatience));

  std::string expected = "[24:1] first\n";
  for (std::size_t i = 0; i < kCapacity; ++i) expected += "[24:1] line " + std::to_string(i) + "\n";
  expected += "[0:1] log: 37 lines dropped\ntool: 37 changes were lost\n";
  expected += "[0:1] log: 1 line dropped\n[24:1] after\n[24:1] after\n[27:10] JS: testing COM1\n";
  EXPECT_EQ(expected, fake.Text());
}

TEST(StderrQueue, FoldsRepeatsWithItsClock) {
  FakeStderr fake;
  std::atomic<std::int64_t> seconds{0};
  StderrQueue::Options options = OptionsFor(fake);
  options.clock = [&] {
    return jslog::LineFolder::Clock::time_point{} + std::chrono::seconds(seconds.load());
  };
  StderrQueue queue(std::move(options));
  // Each write is held until the next batch is queued, so that every batch sees its own time.
  fake.Close();
  queue.Push(24, 1, "start");
  ASSERT_TRUE(fake.WaitForWriteStarted(1));
  for (int i = 0; i < 3; ++i) queue.Push(24, 1, "again");
  fake.AllowWrites(1);
  ASSERT_TRUE(fake.WaitForWriteStarted(2));  // the three, seen at 0 s
  seconds = 15;
  queue.Push(24, 1, "again");  // the count is due: 15 s since the run's line
  queue.Push(24, 1, "again");
  queue.Push(24, 2, "again");
  fake.Open();
  ASSERT_TRUE(queue.Flush(kPatience));
  for (int i = 0; i < 50; ++i) queue.Push(24, 1, "SerialJS: Invalid WaitCommEvent(00000080)");
  ASSERT_TRUE(queue.Flush(kPatience));  // the count so far
  EXPECT_EQ(
      "[24:1] start\n"
      "[24:1] again\n[24:1] (last message repeated 3 times)\n"
      "[24:1] again\n"  // one repeat is the line itself
      "[24:2] again\n"
      "[24:1] SerialJS: Invalid WaitCommEvent(00000080)\n"
      "[24:1] (last message repeated 49 times)\n",
      fake.Text());
}

std::atomic<int> g_beforeCalls{0};
std::atomic<int> g_afterCalls{0};
std::atomic<bool> g_hooksInOrder{true};

TEST(StderrQueue, HooksRunAroundEachWrite) {
  g_beforeCalls = 0;
  g_afterCalls = 0;
  g_hooksInOrder = true;
  FakeStderr fake;
  {
    StderrQueue queue(OptionsFor(fake));
    queue.SetHooks([] { ++g_beforeCalls; },
                   [] {
                     if (g_afterCalls.load() + 1 != g_beforeCalls.load()) g_hooksInOrder = false;
                     ++g_afterCalls;
                   });
    for (int i = 0; i < 20; ++i) {
      queue.Push(24, 1, "line " + std::to_string(i));
      if (i % 5 == 0) {
        ASSERT_TRUE(queue.Flush(kPatience));
      }
    }
    ASSERT_TRUE(queue.Flush(kPatience));
    queue.SetHooks(nullptr, nullptr);
    queue.Push(24, 1, "unhooked");
  }
  EXPECT_TRUE(g_hooksInOrder);
  EXPECT_EQ(g_beforeCalls.load(), g_afterCalls.load());
  EXPECT_EQ(fake.Writes() - 1, g_beforeCalls.load());
  EXPECT_GE(g_beforeCalls.load(), 4);  // a flush after lines needs a write of its own
}

// An unhook while a write is under way cannot part a before from its after (which would leave
// a status line's screen taken for good).
TEST(StderrQueue, HooksComeInPairsThoughUnhookedMidWrite) {
  g_beforeCalls = 0;
  g_afterCalls = 0;
  FakeStderr fake;
  fake.Close();  // the write hangs, after its before hook, until allowed
  {
    StderrQueue queue(OptionsFor(fake));
    queue.SetHooks([] { ++g_beforeCalls; }, [] { ++g_afterCalls; });
    queue.Push(24, 1, "line");
    ASSERT_TRUE(fake.WaitForWriteStarted(1));
    queue.SetHooks(nullptr, nullptr);
    fake.Open();
    ASSERT_TRUE(queue.Flush(kPatience));
  }
  EXPECT_EQ(1, g_beforeCalls.load());
  EXPECT_EQ(1, g_afterCalls.load());
}

// A program's own line keeps its place among the log's, unprefixed and never folded.
TEST(StderrQueue, PlainLinesKeepTheirPlace) {
  FakeStderr fake;
  {
    StderrQueue queue(OptionsFor(fake));
    queue.Push(24, 1, "why");
    queue.Push(24, 1, "why");
    queue.Push(24, 1, "why");
    queue.PushPlain("tool: what");
    queue.PushPlain("tool: what");
    queue.Push(24, 1, "why");
  }
  EXPECT_EQ("[24:1] why\n[24:1] (last message repeated 2 times)\ntool: what\ntool: what\n"
            "[24:1] why\n",
            fake.Text());
}

TEST(StderrQueue, DestroyingWritesOutWhatIsQueued) {
  FakeStderr fake;
  {
    StderrQueue queue(OptionsFor(fake));
    queue.Push(24, 1, "one");
    queue.Push(24, 1, "one");
    queue.Push(24, 1, "one");
    queue.Push(24, 8, "two");
    queue.Push(24, 8, "two");
  }
  EXPECT_EQ("[24:1] one\n[24:1] (last message repeated 2 times)\n[24:8] two\n[24:8] two\n",
            fake.Text());
}

}  // namespace
