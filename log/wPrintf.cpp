#include "wPrintf.h"

#include <cstdarg>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "LogFormat.h"
#include "LogSink.h"
#include "StderrWrite.h"

namespace jslog {
namespace {

void AppendDecimal(std::string& out, std::uint32_t value) {
  char digits[10];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) out.push_back(digits[--n]);
}

class StderrSink final : public LogSink {
 public:
  void Write(std::uint32_t category, std::uint32_t level, std::string_view text) noexcept override {
    try {
      thread_local std::string line;
      line.clear();
      AppendStderrLine(line, category, level, text);
      // The lock keeps lines whole even where one write would be split.
      std::lock_guard<std::mutex> lock(writeLock_);
      WriteAllToStderr(line.data(), line.size());
    } catch (...) {
      // A line that cannot be built is dropped; logging never fails back.
    }
  }

 private:
  std::mutex writeLock_;
};

StderrSink& StandardSink() {
  static StderrSink sink;
  return sink;
}

// Calls hold the lock shared, so that SetLogSink can wait for them to leave the old sink.
std::shared_mutex& SinkLock() {
  static std::shared_mutex lock;
  return lock;
}

LogSink* g_sink = nullptr;  // guarded by SinkLock(); nullptr means the standard-error sink

}  // namespace

LogSink* SetLogSink(LogSink* sink) {
  std::unique_lock<std::shared_mutex> lock(SinkLock());
  LogSink* previous = g_sink;
  g_sink = sink;
  return previous;
}

void AppendStderrLine(std::string& out, std::uint32_t category, std::uint32_t level,
                      std::string_view text) {
  out.push_back('[');
  AppendDecimal(out, category);
  out.push_back(':');
  AppendDecimal(out, level);
  out += "] ";
  out.append(text);
  out.push_back('\n');
}

}  // namespace jslog

void wPrintf(std::uint32_t category, std::uint32_t level, const wchar_t* format, ...) {
  try {
    thread_local std::string text;  // keeps its capacity: no allocation per line
    text.clear();
    std::va_list args;
    va_start(args, format);
    jslog::FormatLine(text, format, args);
    va_end(args);

    std::shared_lock<std::shared_mutex> lock(jslog::SinkLock());
    jslog::LogSink* sink = jslog::g_sink != nullptr ? jslog::g_sink : &jslog::StandardSink();
    sink->Write(category, level, text);
  } catch (...) {
    // Out of memory while formatting: the line is lost, the caller goes on.
  }
}
