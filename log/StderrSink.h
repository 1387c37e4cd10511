#pragma once
// The process's own standard-error sink, as wPrintf reaches it.

#include <cstdint>
#include <optional>
#include <string_view>

#include "StderrQueue.h"

namespace jslog {

// A JS_LOG_LEVEL value: decimal digits only, 0 to 4294967295; anything else is no value.
std::optional<std::uint32_t> ParseLogLevel(const char* text);

// The highest level the standard-error sink writes: SetStderrMaxLevel's, else JS_LOG_LEVEL's
// (read at the first call), else all.
std::uint32_t StderrMaxLevel() noexcept;

// The queue behind it, made at the first call and never destroyed: its writer may be stalled in a
// write when the process ends, and is left there.
StderrQueue& StandardQueue();

// A line for standard error, as the sink has it. While the process runs it is queued; once the
// exit flush has run it is written at once (a line from a static object's destructor), or
// dropped when that flush found standard error stalled, so that it can never hold the exit up.
void WriteStderrLine(std::uint32_t category, std::uint32_t level, std::string_view text) noexcept;

}  // namespace jslog
