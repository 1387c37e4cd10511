#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LineFolder.h"

namespace {

using jslog::LineFolder;
using namespace std::chrono_literals;

struct Step {
  enum Kind { kLine, kTick, kFinish } kind;
  std::chrono::milliseconds at;
  std::uint32_t category = 24;
  std::uint32_t level = 1;
  const char* text = "";
};

Step Line(std::chrono::milliseconds at, const char* text, std::uint32_t category = 24,
          std::uint32_t level = 1) {
  return {Step::kLine, at, category, level, text};
}
Step Tick(std::chrono::milliseconds at) { return {Step::kTick, at}; }
Step Finish() { return {Step::kFinish, 0ms}; }

struct Case {
  const char* name;
  std::vector<Step> steps;
  std::string expected;
};

std::string Fold(const std::vector<Step>& steps) {
  LineFolder folder;
  std::string out;
  const LineFolder::Clock::time_point start{};
  for (const Step& step : steps) {
    switch (step.kind) {
      case Step::kLine: folder.Add(step.category, step.level, step.text, start + step.at, out); break;
      case Step::kTick: folder.Tick(start + step.at, out); break;
      case Step::kFinish: folder.Finish(out); break;
    }
  }
  return out;
}

std::vector<Step> Repeat(const char* text, int times, std::chrono::milliseconds from,
                         std::chrono::milliseconds every) {
  std::vector<Step> steps;
  for (int i = 0; i < times; ++i) steps.push_back(Line(from + i * every, text));
  return steps;
}

template <typename... Parts>
std::vector<Step> Join(Parts... parts) {
  std::vector<Step> all;
  (all.insert(all.end(), parts.begin(), parts.end()), ...);
  return all;
}

TEST(LineFolder, RepeatedLinesAreCountedNotWritten) {
  const char* kWait = "SerialJS: Invalid WaitCommEvent(00000080)";
  const Case cases[] = {
      {"different lines are all written",
       {Line(0ms, "a"), Line(1ms, "b"), Line(2ms, "a")},
       "[24:1] a\n[24:1] b\n[24:1] a\n"},
      {"the count comes when another line comes",
       Join(Repeat(kWait, 5, 0ms, 10ms), std::vector<Step>{Line(100ms, "JS: testing COM2")}),
       "[24:1] SerialJS: Invalid WaitCommEvent(00000080)\n"
       "[24:1] (last message repeated 4 times)\n"
       "[24:1] JS: testing COM2\n"},
      {"one repeat is written as it stands",
       {Line(0ms, "x"), Line(1ms, "x"), Line(2ms, "y")},
       "[24:1] x\n[24:1] x\n[24:1] y\n"},
      {"the count has the category and level of its line",
       {Line(0ms, "r", 27, 10), Line(1ms, "r", 27, 10), Line(2ms, "r", 27, 10), Line(3ms, "s")},
       "[27:10] r\n[27:10] (last message repeated 2 times)\n[24:1] s\n"},
      {"another category is another line",
       {Line(0ms, "t", 24, 8), Line(1ms, "t", 27, 8), Line(2ms, "t", 24, 8)},
       "[24:8] t\n[27:8] t\n[24:8] t\n"},
      {"another level is another line",
       {Line(0ms, "t", 24, 8), Line(1ms, "t", 24, 9), Line(2ms, "t", 24, 8)},
       "[24:8] t\n[24:9] t\n[24:8] t\n"},
      {"text differing only at its end is another line",
       {Line(0ms, "abc"), Line(1ms, "abd"), Line(2ms, "ab"), Line(3ms, "ab ")},
       "[24:1] abc\n[24:1] abd\n[24:1] ab\n[24:1] ab \n"},
      {"a flush writes the count, and the next line in full",
       {Line(0ms, "a"), Line(1ms, "a"), Line(2ms, "a"), Finish(), Line(3ms, "a"), Finish()},
       "[24:1] a\n[24:1] (last message repeated 2 times)\n[24:1] a\n"},
      {"a flush with nothing counted writes nothing",
       {Line(0ms, "a"), Finish(), Finish()},
       "[24:1] a\n"},
      // 100 lines a second: a count every 10 s of the run, counting the line that makes it due.
      {"a long run is counted every 10 s",
       Join(Repeat(kWait, 2501, 0ms, 10ms), std::vector<Step>{Finish()}),
       "[24:1] SerialJS: Invalid WaitCommEvent(00000080)\n"
       "[24:1] (last message repeated 1000 times)\n"
       "[24:1] (last message repeated 1000 times)\n"
       "[24:1] (last message repeated 500 times)\n"},
      {"a tick writes a count that is due, and only then",
       {Line(0ms, "a"), Line(1ms, "a"), Line(2ms, "a"), Tick(9999ms), Tick(10000ms), Tick(10001ms),
        Line(10002ms, "a"), Tick(19999ms), Tick(20000ms), Line(20001ms, "b")},
       "[24:1] a\n[24:1] (last message repeated 2 times)\n"
       "[24:1] a\n[24:1] b\n"},
      {"a tick with nothing counted writes nothing",
       {Line(0ms, "a"), Tick(60000ms), Line(60001ms, "a"), Tick(60002ms), Finish()},
       "[24:1] a\n[24:1] a\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, Fold(c.steps)) << c.name;
}

}  // namespace
