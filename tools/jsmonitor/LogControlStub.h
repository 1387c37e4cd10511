#pragma once
// How jsmonitor steers the standard-error log: which levels it shows, and hooks around each
// write so that a log line never breaks the status line.

#include <cstdint>
#include <optional>

namespace jslog {

// The standard-error sink drops lines whose level is above `level`.
void SetStderrMaxLevel(std::uint32_t level);
// What JS_LOG_LEVEL says, when it is set to a valid level.
std::optional<std::uint32_t> StderrLevelFromEnvironment();
// Called on the log's writer thread just before and after each write of lines to standard
// error; they must not call wPrintf.
void SetStderrWriteHooks(void (*before)(), void (*after)());
// Waits up to `milliseconds` for the lines already logged to reach standard error.
void FlushStderr(std::uint32_t milliseconds);

}  // namespace jslog
