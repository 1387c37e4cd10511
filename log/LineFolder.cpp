#include "LineFolder.h"

#include "LogSink.h"

namespace jslog {

std::string RepeatCountText(std::uint64_t repeats) {
  return "(last message repeated " + std::to_string(repeats) + " times)";
}

void LineFolder::AppendCount(std::string& out) {
  if (repeats_ == 1) {
    // A count line would be no shorter than the line itself.
    AppendStderrLine(out, category_, level_, text_);
  } else {
    AppendStderrLine(out, category_, level_, RepeatCountText(repeats_));
  }
  repeats_ = 0;
}

void LineFolder::Add(std::uint32_t category, std::uint32_t level, std::string_view text,
                     Clock::time_point now, std::string& out) {
  if (haveLast_ && category == category_ && level == level_ && text == text_) {
    ++repeats_;
    Tick(now, out);
    return;
  }
  if (repeats_ > 0) AppendCount(out);
  AppendStderrLine(out, category, level, text);
  haveLast_ = true;
  category_ = category;
  level_ = level;
  text_.assign(text);
  since_ = now;
}

void LineFolder::Tick(Clock::time_point now, std::string& out) {
  if (repeats_ > 0 && now - since_ >= kCountEvery) {
    AppendCount(out);
    since_ = now;
  }
}

void LineFolder::Finish(std::string& out) {
  if (repeats_ > 0) AppendCount(out);
  haveLast_ = false;
}

std::optional<LineFolder::Clock::time_point> LineFolder::NextCountDue() const {
  if (repeats_ == 0) return std::nullopt;
  return since_ + kCountEvery;
}

}  // namespace jslog
