#pragma once
// Where a program the tests start is installed, from PATH.

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace jskeys_test {

// The program's path; empty when it is not installed.
inline std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  const std::string dirs = path ? path : "/usr/bin:/bin";
  for (std::size_t start = 0; start <= dirs.size();) {
    const std::size_t colon = std::min(dirs.find(':', start), dirs.size());
    const std::string dir = dirs.substr(start, colon - start);
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    start = colon + 1;
  }
  return {};
}

}  // namespace jskeys_test
