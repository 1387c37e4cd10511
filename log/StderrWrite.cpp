#include "StderrWrite.h"

#if defined(_WIN32)
#include <windows.h>

#include <string>

#include "Utf16.h"
#else
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace jslog {

#if defined(_WIN32)

namespace {

// A console shows UTF-16 as it is; bytes written to it would pass through its code page and
// turn non-ASCII system texts into garbage.
void WriteToConsole(HANDLE console, const char* data, std::size_t size) {
  while (size > 0) {
    // Whole lines at a time, well under the limits of one conversion.
    std::size_t chunk = size;
    constexpr std::size_t kMaxChunk = 1 << 20;
    if (chunk > kMaxChunk) {
      chunk = kMaxChunk;
      while (chunk > 0 && data[chunk - 1] != '\n') --chunk;
      if (chunk == 0) chunk = kMaxChunk;
    }
    const std::wstring wide = WideFromUtf8(std::string_view(data, chunk));
    if (wide.empty()) return;
    const wchar_t* p = wide.data();
    DWORD left = static_cast<DWORD>(wide.size());
    while (left > 0) {
      DWORD written = 0;
      if (!WriteConsoleW(console, p, left, &written, nullptr) || written == 0) return;
      p += written;
      left -= written;
    }
    data += chunk;
    size -= chunk;
  }
}

void WriteToFile(HANDLE file, const char* data, std::size_t size) {
  while (size > 0) {
    const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(file, data, chunk, &written, nullptr) || written == 0) return;
    data += written;
    size -= written;
  }
}

void WriteAll(DWORD which, const char* data, std::size_t size) noexcept {
  // The handle itself, with no runtime stream or lock in between.
  HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || size == 0) return;
  DWORD mode = 0;
  try {
    if (GetConsoleMode(handle, &mode)) {
      WriteToConsole(handle, data, size);
      return;
    }
  } catch (...) {
    return;  // no room for the wide copy
  }
  WriteToFile(handle, data, size);
}

}  // namespace

void WriteAllToStderr(const char* data, std::size_t size) noexcept {
  WriteAll(STD_ERROR_HANDLE, data, size);
}

void WriteAllToStdout(const char* data, std::size_t size) noexcept {
  WriteAll(STD_OUTPUT_HANDLE, data, size);
}

#else

namespace {

void WriteAll(int fd, const char* data, std::size_t size) noexcept {
  while (size > 0) {
    ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Someone made the descriptor non-blocking: wait for room rather than lose the line.
      pollfd ready{fd, POLLOUT, 0};
      if (::poll(&ready, 1, -1) < 0 && errno != EINTR) return;
      continue;
    }
    if (written <= 0) return;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

}  // namespace

void WriteAllToStderr(const char* data, std::size_t size) noexcept {
  WriteAll(STDERR_FILENO, data, size);
}

void WriteAllToStdout(const char* data, std::size_t size) noexcept {
  WriteAll(STDOUT_FILENO, data, size);
}

#endif

}  // namespace jslog
