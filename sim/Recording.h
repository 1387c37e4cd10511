#pragma once
// A recording of what a controller sent, as text, one line per read:
//
//   # jogshuttle recording 1
//   # milliseconds since the link opened, then the bytes of one read in hex
//   0 82 05 41 42 43
//   12 40
//   130 60
//
// Each line holds a time in milliseconds (decimal, counted from when the link was opened) and
// then the bytes of one read, each as two hexadecimal digits, separated by spaces. Times never
// go backwards; a line holds 1 to 255 bytes. Lines that start with '#' and blank lines are
// comments; a first comment that names another version of the format is refused. A line may
// end in "\r\n". Anything else is refused with the line's number and the reason, but for a last
// line without its end of line: that one was cut short (the writer stopped mid-line) and is left
// out. A last line without its end of line that reads well is kept.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace jssim {

// What a recording starts with, both lines, each ending in '\n'.
inline constexpr std::string_view kRecordingHeader =
    "# jogshuttle recording 1\n"
    "# milliseconds since the link opened, then the bytes of one read in hex\n";

inline constexpr std::size_t kMaxRecordedChunk = 255;  // bytes on one line

struct RecordedChunk {
  std::uint64_t milliseconds = 0;  // since the link opened
  std::vector<std::uint8_t> bytes;  // 1 to kMaxRecordedChunk bytes, as one read gave them
  int line = 0;                     // where in the recording it stands (1 = the first line)
};

// One line of a recording, '\n' included: "12 40 41\n" (hex in lower case). Bytes beyond
// kMaxRecordedChunk belong on a line of their own; callers split longer reads.
std::string FormatRecordLine(std::uint64_t ms, std::span<const std::uint8_t> bytes);

// False with `error` set ("line 4: time 10 is earlier than 12 on the line before") at the
// first bad line; `chunks` is then left empty. `cutLine`, when given, is set to the number of a
// last line left out as cut short, or to 0.
bool ParseRecording(std::string_view text, std::vector<RecordedChunk>& chunks, std::string& error,
                    int* cutLine = nullptr);

}  // namespace jssim
