#pragma once
// Reading a file the user names (a script, a recording) without trusting it: only a regular
// file, and only up to a limit, so that a directory, a device such as /dev/zero, a pipe or a
// file that keeps growing is refused with a message instead of a crash or a read without end.

#include <cstddef>
#include <string>

namespace jsprogram {

inline constexpr std::size_t kMaxInputFile = 1024 * 1024;

// `path` is UTF-8. False with `error` set ("is a directory", "is larger than 1 MiB", ...; without the path).
bool ReadSmallFile(const std::string& path, std::size_t limit, std::string& text,
                   std::string& error);

}  // namespace jsprogram
