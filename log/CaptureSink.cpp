#include "CaptureSink.h"

namespace jslog {

void CaptureSink::Write(std::uint32_t category, std::uint32_t level,
                        std::string_view text) noexcept {
  try {
    std::lock_guard<std::mutex> lock(lock_);
    lines_.push_back(LogLine{category, level, std::string(text)});
  } catch (...) {
    return;
  }
  changed_.notify_all();
}

std::vector<LogLine> CaptureSink::Lines() const {
  std::lock_guard<std::mutex> lock(lock_);
  return lines_;
}

std::vector<std::string> CaptureSink::Texts() const {
  std::lock_guard<std::mutex> lock(lock_);
  std::vector<std::string> texts;
  texts.reserve(lines_.size());
  for (const LogLine& line : lines_) texts.push_back(line.text);
  return texts;
}

std::size_t CaptureSink::Count(std::uint32_t category, std::uint32_t level,
                               std::string_view text) const {
  std::lock_guard<std::mutex> lock(lock_);
  std::size_t count = 0;
  for (const LogLine& line : lines_) {
    if (line.category == category && line.level == level && line.text == text) ++count;
  }
  return count;
}

void CaptureSink::Clear() {
  std::lock_guard<std::mutex> lock(lock_);
  lines_.clear();
}

bool CaptureSink::WaitFor(const std::function<bool(const std::vector<LogLine>&)>& done,
                          std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(lock_);
  return changed_.wait_for(lock, timeout, [&] { return done(lines_); });
}

}  // namespace jslog
