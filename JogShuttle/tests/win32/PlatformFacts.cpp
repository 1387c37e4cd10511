// The seam's results that are Win32's own.

#include "PlatformFacts.h"
#include "win32/WinApi.h"

namespace js::sys::test {

const PlatformFacts& ThisPlatform() {
  static const PlatformFacts facts{
      ERROR_INVALID_HANDLE,
      {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER,
       ERROR_OPERATION_ABORTED, ERROR_IO_PENDING},
      0x7FFFFFFF,  // no message table of the system has an entry for it: FormatMessageW fails
      true,
  };
  return facts;
}

}  // namespace js::sys::test
