// The record file on Windows: a file (or a device such as NUL) opened for writing, shared for
// reading so that it can be watched while it grows.

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "ErrnoWin32.h"
#include "RecordFile.h"
#include "SystemText.h"

namespace {

HANDLE AsHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

RecordFile::~RecordFile() { (void)Close(); }

bool RecordFile::Open(const std::string& path, std::string& error) {
  // By its wide name: a narrow one would pass through the ANSI code page.
  const HANDLE file = CreateFileW(jsprogram::PathOf(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = "cannot create " + path + ": " + std::strerror(ErrnoFromWin32(GetLastError()));
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  cuttable_ = GetFileType(file) == FILE_TYPE_DISK;
  return true;
}

std::size_t RecordFile::Write(std::string_view text, int& error) {
  error = 0;
  std::size_t done = 0;
  while (done < text.size()) {
    DWORD put = 0;
    const DWORD size = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, 1 << 20));
    if (!WriteFile(AsHandle(handle_), text.data() + done, size, &put, nullptr)) {
      error = ErrnoFromWin32(GetLastError());
      break;
    }
    if (put == 0) {
      error = EIO;
      break;
    }
    done += put;
  }
  return done;
}

int RecordFile::CutTo(std::uint64_t size) {
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<LONGLONG>(size);
  if (!SetFilePointerEx(AsHandle(handle_), at, nullptr, FILE_BEGIN) ||
      !SetEndOfFile(AsHandle(handle_))) {
    return ErrnoFromWin32(GetLastError());
  }
  return 0;
}

int RecordFile::Close() {
  if (handle_ == kNone) return 0;
  return CloseHandle(AsHandle(std::exchange(handle_, kNone))) ? 0 : EIO;
}
