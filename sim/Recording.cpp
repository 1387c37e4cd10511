#include "Recording.h"

namespace jssim {

namespace {

constexpr char kDigits[] = "0123456789abcdef";
constexpr std::string_view kVersionLine = "# jogshuttle recording ";
constexpr std::string_view kVersion = "1";
// Far beyond any session (about 31 years), and far from where scaling a time could overflow.
constexpr std::uint64_t kMaxMilliseconds = 1'000'000'000'000;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Splits at runs of spaces and tabs.
std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    const std::size_t start = i;
    while (i < line.size() && !IsBlank(line[i])) ++i;
    if (i > start) fields.push_back(line.substr(start, i - start));
  }
  return fields;
}

bool ParseTime(std::string_view text, std::uint64_t& value) {
  if (text.empty() || text.size() > 13) return false;
  std::uint64_t result = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (result > kMaxMilliseconds) return false;
  value = result;
  return true;
}

std::string Shown(std::string_view text) {
  constexpr std::size_t kLongest = 40;
  std::string shown;
  for (const char c : text.substr(0, kLongest)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      shown += c;
    } else {
      shown += "\\x";
      shown += kDigits[byte >> 4];
      shown += kDigits[byte & 0xF];
    }
  }
  if (text.size() > kLongest) shown += "...";
  return "'" + shown + "'";
}

// One line that is not a comment; false with `reason` set.
bool ParseLine(std::string_view line, RecordedChunk& chunk, std::string& reason) {
  const std::vector<std::string_view> fields = Fields(line);
  if (!ParseTime(fields[0], chunk.milliseconds)) {
    reason = Shown(fields[0]) + " is not a time in milliseconds (0 to " +
             std::to_string(kMaxMilliseconds) + ")";
    return false;
  }
  if (fields.size() == 1) {
    reason = "no bytes after the time";
    return false;
  }
  if (fields.size() - 1 > kMaxRecordedChunk) {
    reason = std::to_string(fields.size() - 1) + " bytes on one line (at most " +
             std::to_string(kMaxRecordedChunk) + ")";
    return false;
  }
  for (std::size_t i = 1; i < fields.size(); ++i) {
    const std::string_view field = fields[i];
    const int high = field.size() == 2 ? HexValue(field[0]) : -1;
    const int low = field.size() == 2 ? HexValue(field[1]) : -1;
    if (high < 0 || low < 0) {
      reason = Shown(field) + " is not a byte as two hex digits";
      return false;
    }
    chunk.bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
  }
  return true;
}

}  // namespace

std::string FormatRecordLine(std::uint64_t ms, std::span<const std::uint8_t> bytes) {
  std::string line = std::to_string(ms);
  line.reserve(line.size() + bytes.size() * 3 + 1);
  for (const std::uint8_t byte : bytes) {
    line += ' ';
    line += kDigits[byte >> 4];
    line += kDigits[byte & 0xF];
  }
  line += '\n';
  return line;
}

bool ParseRecording(std::string_view text, std::vector<RecordedChunk>& chunks, std::string& error,
                    int* cutLine) {
  chunks.clear();
  if (cutLine != nullptr) *cutLine = 0;
  std::vector<RecordedChunk> parsed;
  bool sawContent = false;  // a line that is not blank, so the version line can only come first
  int number = 0;
  while (!text.empty()) {
    ++number;
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    const bool cut = end == std::string_view::npos;  // the last line, without its end of line
    text.remove_prefix(cut ? text.size() : end + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);

    auto refuse = [&](const std::string& reason) {
      if (cut) {
        if (cutLine != nullptr) *cutLine = number;
        chunks = std::move(parsed);
        return true;
      }
      error = "line " + std::to_string(number) + ": " + reason;
      return false;
    };
    std::size_t first = 0;
    while (first < line.size() && IsBlank(line[first])) ++first;
    if (first == line.size()) continue;
    if (line[first] == '#') {
      if (!sawContent && line.starts_with(kVersionLine) &&
          line.substr(kVersionLine.size()) != kVersion) {
        return refuse("a recording of version " +
                      std::string(line.substr(kVersionLine.size())) + "; this reads version " +
                      std::string(kVersion));
      }
      sawContent = true;
      continue;
    }
    sawContent = true;
    RecordedChunk chunk;
    chunk.line = number;
    std::string reason;
    if (!ParseLine(line, chunk, reason)) return refuse(reason);
    if (!parsed.empty() && chunk.milliseconds < parsed.back().milliseconds) {
      return refuse("time " + std::to_string(chunk.milliseconds) + " is earlier than " +
                    std::to_string(parsed.back().milliseconds) + " on the line before");
    }
    parsed.push_back(std::move(chunk));
  }
  chunks = std::move(parsed);
  return true;
}

}  // namespace jssim
