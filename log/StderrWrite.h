#pragma once
#include <cstddef>

namespace jslog {
// Writes all of [data, data + size) to standard error, retrying short writes; errors are dropped.
void WriteAllToStderr(const char* data, std::size_t size) noexcept;
}  // namespace jslog
