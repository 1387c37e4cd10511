#include "wPrintf.h"

#include <cstdarg>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>

#include "LogFormat.h"
#include "LogSink.h"
#include "StderrSink.h"
#include "ThreadLocal.h"

namespace jslog {
namespace {

char* WriteDecimal(char* out, std::uint32_t value) {
  int digits = 1;
  for (std::uint32_t rest = value / 10; rest != 0; rest /= 10) ++digits;
  for (int i = digits - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return out + digits;
}

class StderrSink final : public LogSink {
 public:
  void Write(std::uint32_t category, std::uint32_t level, std::string_view text) noexcept override {
    if (level > StderrMaxLevel()) return;
    WriteStderrLine(category, level, text);
  }
};

// The sink and its lock are never destroyed: a line may come from the destructor of any static
// object, made before them or after.
StderrSink& StandardSink() {
  static StderrSink& sink = *new StderrSink;
  return sink;
}

// Calls hold the lock shared, so that SetLogSink can wait for them to leave the old sink.
std::shared_mutex& SinkLock() {
  static std::shared_mutex& lock = *new std::shared_mutex;
  return lock;
}

LogSink* g_sink = nullptr;  // guarded by SinkLock(); nullptr means the standard-error sink

// Made before main, while the process has one thread: a fork can then never come while another
// thread is halfway through making them, which would leave the child waiting for ever.
[[maybe_unused]] const bool g_madeBeforeThreads = (SinkLock(), StandardSink(), StandardQueue(), true);

}  // namespace

LogSink* SetLogSink(LogSink* sink) {
  std::unique_lock<std::shared_mutex> lock(SinkLock());
  LogSink* previous = g_sink;
  g_sink = sink;
  return previous;
}

void AppendStderrLine(std::string& out, std::uint32_t category, std::uint32_t level,
                      std::string_view text) {
  char prefix[32];
  char* p = prefix;
  *p++ = '[';
  p = WriteDecimal(p, category);
  *p++ = ':';
  p = WriteDecimal(p, level);
  *p++ = ']';
  *p++ = ' ';
  out.reserve(out.size() + static_cast<std::size_t>(p - prefix) + text.size() + 1);
  out.append(prefix, static_cast<std::size_t>(p - prefix));
  out.append(text);
  out.push_back('\n');
}

}  // namespace jslog

namespace {

// A line from a thread whose own buffer is gone (the process is ending): a buffer made for it.
// Kept out of line so that wPrintf's frame holds no buffer of its own to set up on every call.
[[gnu::noinline, gnu::cold]] std::string_view FormatLate(std::optional<jslog::LineBuffer>& late,
                                                          const wchar_t* format,
                                                          std::va_list args) {
  return jslog::FormatLine(late.emplace(), format, args);
}

}  // namespace

void wPrintf(std::uint32_t category, std::uint32_t level, const wchar_t* format, ...) {
  try {
    std::shared_lock<std::shared_mutex> lock(jslog::SinkLock());
    jslog::LogSink* sink = jslog::g_sink;
    if (sink == nullptr) {
      // A line standard error would drop is not worth formatting.
      if (level > jslog::StderrMaxLevel()) return;
      sink = &jslog::StandardSink();
    }
    jslog::LineBuffer* buffer = jslog::ThreadLocal<jslog::LineBuffer>();
    std::va_list args;
    va_start(args, format);
    if (buffer != nullptr) {
      const std::string_view text = jslog::FormatLine(*buffer, format, args);
      va_end(args);
      sink->Write(category, level, text);
      return;
    }
    std::optional<jslog::LineBuffer> late;  // outlives the text the sink is given
    const std::string_view text = FormatLate(late, format, args);
    va_end(args);
    sink->Write(category, level, text);
  } catch (...) {
    // Out of memory while formatting: the line is lost, the caller goes on.
  }
}
