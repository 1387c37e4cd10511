#pragma once
// Where the link tests find their controllers on Win32: under the Wine bench
// (.ci/wine-tests.sh), controllers played by its simulator server on Linux pseudo-terminals,
// which the bench's Wine prefix maps to COM1 and up. Elsewhere the tests that need a controller
// are skipped. And the lines this platform writes where the two platforms honestly differ.

#include <string>

#include "RemoteSim.h"
#include "win32/WinApi.h"

namespace linktest {

using Sim = RemoteSim;

class Bench {
 public:
  std::string Prepare(bool* skip) {
    *skip = RemoteSim::ServerPort() == 0;
    return *skip ? "not under the Wine bench (JS_SIMSERVER_PORT is not set)" : std::string();
  }
  std::string PortName(int n) const { return "com" + std::to_string(n); }
};

// Under Wine a COM name mapped to a path with nothing there still opens; the failure shows at
// the next call. A hung-up line ends the event wait with mask 0, and writes fail with
// ERROR_NOT_READY. The system's texts come with CR LF, which the log drops.
struct Facts {
  const char* missingPortLine = "SerialJS: Error (1) setting up COM1: config: Invalid function.";
  const char* busyPortLine = "SerialJS: Error (5) opening COM1: config: Access is denied.";
  const char* closedSendPrefix = "SerialJS: Error (6) sending command: ";
  const char* hungUpSendPrefix = "SerialJS: Error (21) sending command: ";
  const char* hangUpLine = "SerialJS: Invalid WaitCommEvent(00000000)";
};
inline constexpr Facts kFacts{};

// Wine's own build of ntdll exports this; Windows' does not.
inline bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Empty when a port that one handle holds refuses a second CreateFileW (share mode 0), else why
// this system does not. Wine 8 opens a serial device a second time all the same.
inline std::string WhyNoExclusiveOpen() {
  return UnderWine() ? "Wine does not honour share mode 0 on serial devices" : std::string();
}

}  // namespace linktest
