// The recording keeps only what the accepted link read.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cerrno>

#include <fstream>
#include <iterator>
#include <sstream>

#include "Recorder.h"
#include "Recording.h"
#include "TempDir.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream file(path);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// A recorder writing to a file of a folder of its own.
class RecordingTo : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.Made());
    std::string error;
    ASSERT_TRUE(recorder.Open(path, error)) << error;
  }
  jstesting::TempDir dir;
  const std::string path = dir / "r.rec";
  Recorder recorder;
};

// Chunks from a port whose link was rejected (no controller there) are dropped; those of the
// accepted link are written in order, whole.
TEST_F(RecordingTo, KeepsOnlyTheAcceptedLinksChunks) {

  SerialJS silent(1);
  recorder.Attach(silent);
  const std::uint8_t noise[] = {0x11, 0x22};
  Recorder::Tap(&recorder, noise, 2);
  recorder.Rejected();

  SerialJS controller(2);
  recorder.Attach(controller);
  const std::uint8_t reply[] = {0xC0, 0x00, 0x01};
  const std::uint8_t key[] = {0x40};
  Recorder::Tap(&recorder, reply, 3);
  Recorder::Tap(&recorder, key, 0);  // an empty read is no chunk
  recorder.Accepted();
  ASSERT_TRUE(recorder.WritePending());
  Recorder::Tap(&recorder, key, 1);
  ASSERT_TRUE(recorder.Close());

  std::istringstream text(ReadAll(path));
  std::string line;
  std::vector<std::string> lines;
  while (std::getline(text, line)) lines.push_back(line);
  ASSERT_EQ(4u, lines.size());
  EXPECT_EQ("# jogshuttle recording 1", lines[0]);
  EXPECT_EQ("# milliseconds since the link opened, then the bytes of one read in hex", lines[1]);
  EXPECT_NE(std::string::npos, lines[2].find(" c0 00 01")) << lines[2];
  EXPECT_EQ(lines[2].size(), lines[2].find(" c0 00 01") + 9) << lines[2];
  EXPECT_NE(std::string::npos, lines[3].find(" 40")) << lines[3];
}

// A write that fails part way (here the file size limit, as a full disk would) leaves the file
// ending at the last whole line, so that what was recorded up to then plays back.
TEST_F(RecordingTo, AFailedWriteIsCutBackToTheLastWholeLine) {
  SerialJS controller(2);
  recorder.Attach(controller);
  recorder.Accepted();
  const std::uint8_t reply[] = {0xC0, 0x00, 0x01};
  for (int i = 0; i < 8; ++i) Recorder::Tap(&recorder, reply, 3);

  constexpr rlim_t kLimit = jssim::kRecordingHeader.size() + 30;  // a line or two, then no room
  rlimit before{};
  ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &before));
  ASSERT_GT(before.rlim_cur, kLimit);
  const rlimit small = {kLimit, before.rlim_max};
  const auto xfsz = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &small));
  const bool written = recorder.WritePending();
  ::setrlimit(RLIMIT_FSIZE, &before);
  ::signal(SIGXFSZ, xfsz);
  EXPECT_FALSE(written);
  EXPECT_EQ(EFBIG, recorder.Error());
  EXPECT_FALSE(recorder.Close());

  const std::string text = ReadAll(path);
  EXPECT_TRUE(text.ends_with('\n')) << text;
  std::vector<jssim::RecordedChunk> chunks;
  std::string error;
  EXPECT_TRUE(jssim::ParseRecording(text, chunks, error)) << error << "\n" << text;
  EXPECT_FALSE(chunks.empty()) << text;
}

TEST(Recording, AFileThatCannotBeMadeIsAClearFailure) {
  Recorder recorder;
  std::string error;
  EXPECT_FALSE(recorder.Open("/nonexistent-dir/r.rec", error));
  EXPECT_NE(std::string::npos, error.find("/nonexistent-dir/r.rec")) << error;
  EXPECT_FALSE(recorder.IsOpen());
}

}  // namespace
