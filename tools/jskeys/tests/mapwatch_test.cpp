// The map's watch on real folders with real inotify. The kernel queues an event within the call
// that caused it, so each case runs on a clock of its own: ticks of 10 ms, the files touched at
// their tick, then Changed asked at that tick. What is told, and when, does not depend on how
// busy the machine is.

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "MapWatch.h"
#include "TempDir.h"

namespace jskeys {
namespace {

namespace fs = std::filesystem;
using Clock = MapWatch::Clock;

constexpr const char* kMap = "[default.keys]\n0 = \"Tab\"\n1 = \"Return\"\n";

// The files a case works on, in a folder of its own.
struct Files {
  jstesting::TempDir dir;
  int open = -1;  // a write left open across ticks

  ~Files() {
    if (open >= 0) ::close(open);
  }
  std::string Path(const std::string& name) const { return dir / name; }
  void Write(const std::string& name, const std::string& text) const {
    std::ofstream(Path(name), std::ios::trunc) << text;
  }
  void Open(const std::string& name) {
    open = ::open(Path(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  }
  // A piece of kMap.
  void Put(std::size_t from, std::size_t length = std::string_view::npos) const {
    const std::string_view text = std::string_view(kMap).substr(from, length);
    ASSERT_EQ(static_cast<ssize_t>(text.size()), ::write(open, text.data(), text.size()));
  }
  void Close() {
    ::close(open);
    open = -1;
  }
  void Move(const std::string& from, const std::string& to) const {
    fs::rename(Path(from), Path(to));
  }
  void Link(const std::string& target, const std::string& name) const {
    fs::create_symlink(target, Path(name));
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(Path(name));
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
};

struct Step {
  int atMs;
  std::function<void(Files&)> act;
};

struct Case {
  const char* name;
  std::function<void(Files&)> before;  // the files before the watch starts
  std::string map;                     // the map watched, in the case's folder
  std::vector<Step> steps;
  std::vector<int> toldAtMs;  // the ticks at which Changed is true
  std::string whole;          // the map whenever it is told: this, or none at all
};

const Case kCases[] = {
    {"saved by moving the old file away, then writing a new one in pieces",
     [](Files& f) { f.Write("keys.toml", "[default]\n"); },
     "keys.toml",
     {{0, [](Files& f) { f.Move("keys.toml", "keys.toml~"); }},
      // Pauses longer than the quiet spell (an empty file made, a write) and shorter: the open
      // write holds it back.
      {50, [](Files& f) { f.Open("keys.toml"); }},
      {400, [](Files& f) { f.Put(0, 10); }},
      {500, [](Files& f) { f.Put(10, 10); }},
      {800, [](Files& f) { f.Put(20); }},
      {900, [](Files& f) { f.Close(); }},
      {950, [](Files& f) { fs::remove(f.Path("keys.toml~")); }}},
     {1150},
     kMap},
    {"written in place in pieces, with a pause longer than the quiet spell",
     [](Files& f) { f.Write("keys.toml", "[default]\n"); },
     "keys.toml",
     {{0, [](Files& f) { f.Open("keys.toml"); }},
      {10, [](Files& f) { f.Put(0, 10); }},
      {500, [](Files& f) { f.Put(10); }},
      {510, [](Files& f) { f.Close(); }}},
     {760},
     kMap},
    {"written a second after the old one was moved away",
     [](Files& f) { f.Write("keys.toml", "[default]\n"); },
     "keys.toml",
     {{0, [](Files& f) { f.Move("keys.toml", "old.toml"); }},
      {1000, [](Files& f) { f.Write("keys.toml", kMap); }}},
     {1250},
     kMap},
    {"a link into a dotfiles folder: its target edited, the link pointed elsewhere",
     [](Files& f) {
       fs::create_directories(f.Path("dotfiles"));
       fs::create_directories(f.Path("config"));
       f.Write("dotfiles/keys.toml", "[default]\n");
       f.Write("dotfiles/other.toml", "[default]\n");
       f.Link("../dotfiles/keys.toml", "config/keys.toml");
     },
     "config/keys.toml",
     {{0, [](Files& f) { f.Write("dotfiles/keys.toml", kMap); }},
      {1000,
       [](Files& f) {
         f.Link("../dotfiles/other.toml", "config/new.toml");
         f.Move("config/new.toml", "config/keys.toml");
       }},
      {2000, [](Files& f) { f.Write("dotfiles/other.toml", kMap); }},
      // no longer the map
      {3000, [](Files& f) { f.Write("dotfiles/keys.toml", "[default]\n"); }}},
     {250, 1250, 2250},
     ""},
    {"the folder deleted and made again, then the map written",
     [](Files& f) {
       fs::create_directories(f.Path("config"));
       f.Write("config/keys.toml", "[default]\n");
     },
     "config/keys.toml",
     {{0, [](Files& f) { fs::remove_all(f.Path("config")); }},
      {500, [](Files& f) { fs::create_directories(f.Path("config")); }},
      {800, [](Files& f) { f.Write("config/keys.toml", kMap); }}},
     {1050},
     kMap},
    {"folders made after the start, then the map",
     [](Files&) {},
     "config/jogshuttle/keys.toml",
     {{0, [](Files& f) { fs::create_directories(f.Path("config")); }},
      {100, [](Files& f) { fs::create_directories(f.Path("config/jogshuttle")); }},
      {300, [](Files& f) { f.Write("config/jogshuttle/keys.toml", kMap); }},
      {600, [](Files& f) { f.Write("config/jogshuttle/other.toml", "x"); }}},
     {550},
     kMap},
    {"the map removed, then made again",
     [](Files& f) { f.Write("keys.toml", "[default]\n"); },
     "keys.toml",
     {{0, [](Files& f) { fs::remove(f.Path("keys.toml")); }},
      {3000, [](Files& f) { f.Write("keys.toml", kMap); }}},
     {2000, 3250},
     kMap},
};

TEST(MapWatchTest, TellsEachSettledChangeOnce) {
  for (const Case& row : kCases) {
    SCOPED_TRACE(row.name);
    Files files;
    ASSERT_TRUE(files.dir.Made());
    row.before(files);
    MapWatch watch(files.Path(row.map));
    ASSERT_NE(jsprogram::kNoWaitHandle, watch.Handle());

    const Clock::time_point start = Clock::now();
    std::vector<int> told;
    const int endMs = row.steps.back().atMs + 3000;
    auto step = row.steps.begin();
    for (int tick = 0; tick <= endMs; tick += 10) {
      const Clock::time_point now = start + std::chrono::milliseconds(tick);
      for (; step != row.steps.end() && step->atMs == tick; ++step) step->act(files);
      watch.Take(now);
      const std::optional<Clock::time_point> due = watch.Due();
      if (!watch.Changed(now)) continue;
      told.push_back(tick);
      // An event loop that sleeps until Due wakes in time for it.
      EXPECT_TRUE(due && *due <= now) << "told at " << tick << " ms with nothing due";
      if (!row.whole.empty() && fs::exists(files.Path(row.map))) {
        EXPECT_EQ(row.whole, files.Read(row.map)) << "told at " << tick << " ms";
      }
    }
    EXPECT_EQ(row.toldAtMs, told);
    EXPECT_FALSE(watch.Due()) << "still pending at the end";
  }
}

}  // namespace
}  // namespace jskeys
