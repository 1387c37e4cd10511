#pragma once
// Turns a wPrintf template and its values into one line of UTF-8 text.

#include <array>
#include <cstdarg>
#include <memory>
#include <string>
#include <string_view>

namespace jslog {

// Appends the formatted message to `out`. Conversions: %d %x %02x %04x %08x %02d %+02d, %s (wide
// string) and %hs (8-bit string). Anything else is written out as it stands, and no value is
// read after it, so a bad template can never read a value of the wrong type.
// The template's closing line feed is dropped, as is the line ending a %s text brings with it.
// Control characters become escapes (\n, \r, \t, \xNN, \uNNNN), so the result is one line that
// carries no terminal control sequence; so do the invisible format characters that could hide or
// reorder parts of a line (zero-width and directional marks, line and paragraph separators,
// embeddings, overrides, isolates, the byte order mark). Wide text shows them as \uNNNN; %hs
// text shows every byte that is not printable ASCII or part of a valid UTF-8 character that
// needs no escape as \xNN, and a backslash from it as \\.
// Room for one line, and the few templates its user has taken apart: lines of numbers only are
// built in place, the rest in `spill`. One per thread; a line logged after its thread's buffer is
// gone (from the last destructors of the process) gets one of its own.
struct TemplateCache;
struct LineBuffer {
  LineBuffer();
  ~LineBuffer();
  LineBuffer(const LineBuffer&) = delete;
  LineBuffer& operator=(const LineBuffer&) = delete;

  std::array<char, 512> fixed;
  std::string spill;
  std::unique_ptr<TemplateCache> templates;
};
// The result lives in `buffer` until its next use.
std::string_view FormatLine(LineBuffer& buffer, const wchar_t* format, std::va_list args);

// Text from outside (a file name, a link's target, words from a map file) made safe for a line on
// a terminal as the log makes the device's text: every byte that is not printable text becomes
// \xNN (\n, \r, \t for those); backslashes stay as they are, for Windows paths. Cut after `limit`
// bytes, with a mark saying how many more there were.
inline constexpr std::size_t kSafeTextLimit = 200;
std::string SafeText(std::string_view text, std::size_t limit = kSafeTextLimit);

// Convenience for tests and tools.
std::string FormatLineV(const wchar_t* format, ...);

}  // namespace jslog
