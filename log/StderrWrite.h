#pragma once
#include <cstddef>

namespace jslog {
// Writes all of [data, data + size), whole UTF-8 lines, to standard error, retrying short writes;
// errors are dropped. May block while standard error is stalled: only the writer thread calls it.
// On Windows a console gets the text as UTF-16 (WriteConsoleW), anything else the bytes.
void WriteAllToStderr(const char* data, std::size_t size) noexcept;
// The same for standard output, for what a program prints there itself (its help, a verdict):
// flush the C stream first where it is used too.
void WriteAllToStdout(const char* data, std::size_t size) noexcept;
}  // namespace jslog
