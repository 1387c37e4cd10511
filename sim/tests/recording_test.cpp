// Recordings: what is read back is what was written, and every kind of damage is refused with
// the line it is on.

#include "Recording.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using jssim::ParseRecording;
using jssim::RecordedChunk;
using Bytes = std::vector<std::uint8_t>;

// "0:82 05|12:40" from the chunks, to compare whole recordings in one line.
std::string Render(const std::vector<RecordedChunk>& chunks) {
  std::string out;
  for (const RecordedChunk& chunk : chunks) {
    if (!out.empty()) out += '|';
    std::string line = jssim::FormatRecordLine(chunk.milliseconds, chunk.bytes);
    line.pop_back();
    line[line.find(' ')] = ':';
    out += line + "@" + std::to_string(chunk.line);
  }
  return out;
}

TEST(Recording, FormatsOneReadPerLine) {
  EXPECT_EQ(jssim::FormatRecordLine(0, Bytes{0x82, 0x05, 0x41, 0x42, 0x43}), "0 82 05 41 42 43\n");
  EXPECT_EQ(jssim::FormatRecordLine(12, Bytes{0x40}), "12 40\n");
  EXPECT_EQ(jssim::FormatRecordLine(18446744073709551615u, Bytes{0x0A, 0xFF}),
            "18446744073709551615 0a ff\n");
  EXPECT_EQ(jssim::kRecordingHeader,
            "# jogshuttle recording 1\n"
            "# milliseconds since the link opened, then the bytes of one read in hex\n");
}

TEST(Recording, WhatIsWrittenIsReadBack) {
  Bytes every(255);
  for (std::size_t i = 0; i < every.size(); ++i) every[i] = static_cast<std::uint8_t>(i + 1);
  const std::vector<std::pair<std::uint64_t, Bytes>> written = {
      {0, {0x00}}, {0, {0x82, 0x05, 0x41, 0x42, 0x43}}, {130, every}, {1'000'000'000'000, {0xFF}}};
  std::string text(jssim::kRecordingHeader);
  for (const auto& [ms, bytes] : written) text += jssim::FormatRecordLine(ms, bytes);
  std::vector<RecordedChunk> chunks;
  std::string error;
  ASSERT_TRUE(ParseRecording(text, chunks, error)) << error;
  ASSERT_EQ(chunks.size(), written.size());
  for (std::size_t i = 0; i < written.size(); ++i) {
    EXPECT_EQ(chunks[i].milliseconds, written[i].first) << i;
    EXPECT_EQ(chunks[i].bytes, written[i].second) << i;
    EXPECT_EQ(chunks[i].line, static_cast<int>(i) + 3) << i;
  }
}

// A last line without its end of line that does not read was cut short: it is left out.
TEST(Recording, ReadsWhatPeopleWriteAndWhatACutLeft) {
  struct Case {
    const char* text;
    const char* chunks;
    int cutLine = 0;
  };
  const Case cases[] = {
      {"", ""},
      {"# only a comment\n\n   \n", ""},
      {"0 82 05 41 42 43\n12 40\n130 60", "0:82 05 41 42 43@1|12:40@2|130:60@3"},
      {"5 40\r\n5 60\r\n", "5:40@1|5:60@2"},                  // CRLF, equal times
      {"  7\t4A  6b \n", "7:4a 6b@1"},                       // blanks and upper case hex
      {"1 40\n  # indented comment\n2 41\n", "1:40@1|2:41@3"},
      {"\n# jogshuttle recording 1\n1 40\n", "1:40@3"},      // blank lines before the version
      {"1 40\n# jogshuttle recording 2\n", "1:40@1"},        // later on, just a comment
      {"0 40\n12 41 4", "0:40@1", 2},                        // cut in a byte
      {"# jogshuttle recording 1\n0 40\n12", "0:40@2", 3},   // cut after the time
      {"0 40\n1 4g\r", "0:40@1", 2},
      {"# jogshuttle recording ", "", 1},                     // nothing but a cut header
  };
  for (const Case& c : cases) {
    std::vector<RecordedChunk> chunks;
    std::string error;
    int cutLine = -1;
    EXPECT_TRUE(ParseRecording(c.text, chunks, error, &cutLine)) << c.text << ": " << error;
    EXPECT_EQ(Render(chunks), c.chunks) << c.text;
    EXPECT_EQ(cutLine, c.cutLine) << c.text;
  }
}

TEST(Recording, RefusesDamageWithTheLineAndWhy) {
  struct Case {
    std::string text;
    const char* error;
  };
  std::string bytes256 = "0";
  for (int i = 0; i < 256; ++i) bytes256 += " 00";
  const Case cases[] = {
      {"# jogshuttle recording 2\n0 40\n",
       "line 1: a recording of version 2; this reads version 1"},
      {"0 40\n12\n", "line 2: no bytes after the time"},
      {"0 40\n\n5 40\n4 60\n", "line 4: time 4 is earlier than 5 on the line before"},
      {"-1 40\n", "line 1: '-1' is not a time in milliseconds (0 to 1000000000000)"},
      {"+1 40\n", "line 1: '+1' is not a time in milliseconds (0 to 1000000000000)"},
      {"0x10 40\n", "line 1: '0x10' is not a time in milliseconds (0 to 1000000000000)"},
      {"1000000000001 40\n",
       "line 1: '1000000000001' is not a time in milliseconds (0 to 1000000000000)"},
      {"99999999999999999999 40\n",
       "line 1: '99999999999999999999' is not a time in milliseconds (0 to 1000000000000)"},
      {"1.5 40\n", "line 1: '1.5' is not a time in milliseconds (0 to 1000000000000)"},
      {"0 4\n", "line 1: '4' is not a byte as two hex digits"},
      {"0 400\n", "line 1: '400' is not a byte as two hex digits"},
      {"0 0x40\n", "line 1: '0x40' is not a byte as two hex digits"},
      {"0 4g\n", "line 1: '4g' is not a byte as two hex digits"},
      {"0 40,41\n", "line 1: '40,41' is not a byte as two hex digits"},
      {"0 40 # a comment after the bytes\n", "line 1: '#' is not a byte as two hex digits"},
      {std::string("0 4\x1b\n", 5), "line 1: '4\\x1b' is not a byte as two hex digits"},
      {bytes256 + "\n", "line 1: 256 bytes on one line (at most 255)"},
      {"0 40\r\r\n", "line 1: '40\\x0d' is not a byte as two hex digits"},
      {"0 4g\n12 4", "line 1: '4g' is not a byte as two hex digits"},  // not the cut one
  };
  for (const Case& c : cases) {
    std::vector<RecordedChunk> chunks = {RecordedChunk{1, {0x01}, 1}};
    std::string error;
    EXPECT_FALSE(ParseRecording(c.text, chunks, error)) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
    EXPECT_TRUE(chunks.empty()) << c.text;
  }
}

}  // namespace
