#pragma once
// What the seam's two backends legitimately give differently, for platform_test.cpp. One source
// per OS (posix/, win32/), picked by CMake, so that the tests themselves are the same on both.

#include <vector>

#include "Platform.h"

namespace js::sys::test {

struct PlatformFacts {
  ErrorCode notOpen;                     // what every call on a port that is not open gives
  std::vector<ErrorCode> codesWithText;  // codes the system has its own, distinct text for
  ErrorCode codeWithoutText;             // a code the system has no text for
  bool standInForCodeWithoutText;        // its text is exactly kNoErrorText
};

const PlatformFacts& ThisPlatform();

}  // namespace js::sys::test
