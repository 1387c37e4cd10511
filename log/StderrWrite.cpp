#include "StderrWrite.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <cerrno>
#include <unistd.h>
#endif

namespace jslog {

void WriteAllToStderr(const char* data, std::size_t size) noexcept {
  while (size > 0) {
#if defined(_WIN32)
    int written = _write(2, data, static_cast<unsigned>(size));
    if (written <= 0) return;
#else
    ssize_t written = ::write(STDERR_FILENO, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
#endif
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

}  // namespace jslog
