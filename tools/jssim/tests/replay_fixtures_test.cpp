// Recorded sessions from tests/fixtures, played by the real jssim (--replay) into a real link on
// a pseudo-terminal: what the link decodes (its state reports, init texts and complaints about
// bad bytes) must be what each fixture's .expected file says.
//
// Lines that depend on how the line happened to split the bytes into reads ("Not enough
// data") or on the handshake's timing are left out. JS_UPDATE_FIXTURES=1 writes what was
// decoded into the .expected files instead, for a new fixture (read them before you keep them).

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "CaptureSink.h"
#include "ChildProcess.h"
#include "SerialJS.h"
#include "TempDir.h"

namespace {

namespace fs = std::filesystem;
using jstesting::kPatience;

jstesting::ChildProcess Jssim(std::vector<std::string> args) {
  args.insert(args.begin(), JSSIM_PROGRAM);
  jstesting::ChildProcess sim;
  EXPECT_TRUE(sim.Start(args));
  return sim;
}

bool Decoded(const jslog::LogLine& line) {
  if (line.category != 24) return false;
  for (const char* timing : {"SerialJS[", "SerialJS: Sending ", "SerialJS: Invalid WaitCommEvent"}) {
    if (line.text.rfind(timing, 0) == 0) return false;
  }
  return true;
}

std::vector<std::string> DecodedLines(const jslog::CaptureSink& sink) {
  std::vector<std::string> lines;
  for (const jslog::LogLine& line : sink.Lines()) {
    if (Decoded(line)) {
      lines.push_back("[" + std::to_string(line.category) + ":" + std::to_string(line.level) +
                      "] " + line.text);
    }
  }
  return lines;
}

std::vector<std::string> ReadLines(const fs::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<fs::path> Fixtures() {
  std::vector<fs::path> found;
  for (const fs::directory_entry& entry : fs::directory_iterator(JS_FIXTURE_DIR)) {
    if (entry.path().extension() == ".rec") found.push_back(entry.path());
  }
  std::sort(found.begin(), found.end());
  return found;
}

TEST(ReplayFixtures, EachRecordingDecodesAsExpected) {
  const std::vector<fs::path> fixtures = Fixtures();
  ASSERT_GE(fixtures.size(), 3u) << JS_FIXTURE_DIR;
  const char* update = std::getenv("JS_UPDATE_FIXTURES");
  for (const fs::path& fixture : fixtures) {
    SCOPED_TRACE(fixture.filename().string());
    fs::path expectedFile = fixture;
    expectedFile.replace_extension(".expected");
    const std::vector<std::string> expected = ReadLines(expectedFile);
    if (update == nullptr) {
      ASSERT_FALSE(expected.empty()) << "no " << expectedFile;
    }

    jstesting::TempDir dir;
    ASSERT_TRUE(dir.Made());
    ASSERT_EQ(0, ::setenv("JS_PORT_DIR", dir.path().c_str(), 1));
    // At their own pace: each fixture waits 300 ms before its first message that matters, so
    // that the handshake has stopped asking (a late get-status reply in the middle of a split
    // message would change what is decoded).
    auto sim = Jssim({"--link", dir / "com1", "--replay", fixture.string()});
    ASSERT_TRUE(sim.WaitForOutput("jssim: ready ")) << sim.Errors();

    jslog::CaptureSink sink;
    jslog::ScopedLogSink scope(sink);
    SerialJS link(1);
    ASSERT_TRUE(link.Open());
    ASSERT_TRUE(sim.WaitForOutput("jssim: replay done\n")) << sim.Output();
    // Everything is on the line now; wait until the reader has decoded that much, then a
    // little longer for anything that should not be there.
    const std::size_t wanted = update == nullptr ? expected.size() : SIZE_MAX;
    sink.WaitFor(
        [&](const std::vector<jslog::LogLine>& lines) {
          return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), Decoded)) >=
                 wanted;
        },
        update == nullptr ? kPatience : std::chrono::milliseconds(500));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    link.Close();
    const std::vector<std::string> decoded = DecodedLines(sink);
    if (update != nullptr) {
      std::ofstream out(expectedFile);
      for (const std::string& line : decoded) out << line << '\n';
      continue;
    }
    EXPECT_EQ(decoded, expected);
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.WaitForExit(), 0) << sim.Errors();
  }
}

}  // namespace
