// Start and stop of a program on Windows: the console's control events are stop requests.

#include <windows.h>

#include "Program.h"
#include "StopRequest.h"

namespace jsprogram {
namespace {

// Well under the 5 s the system gives a handler for a closing console before it ends the
// process anyway.
constexpr DWORD kReleaseWaitMs = 3000;

// Set by MarkReleased; made before the handler is installed, never closed.
HANDLE g_released = nullptr;

BOOL WINAPI OnConsoleControl(DWORD event) { return HandleConsoleControl(event); }

}  // namespace

int HandleConsoleControl(unsigned long event) {
  RequestStop(static_cast<int>(event) + 1);  // CTRL_C_EVENT is 0; a stop signal is never 0
  switch (event) {
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // The process ends as soon as this returns: first let the main loop release what it holds.
      if (g_released != nullptr) (void)WaitForSingleObject(g_released, kReleaseWaitMs);
      break;
    default:
      break;  // Ctrl-C and Ctrl-Break: the main loop stops in its own time
  }
  return TRUE;
}

bool Start(const char* name) {
  SetName(name);
  (void)RequestNotice();
  g_released = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
  return true;
}

void OnReleased() {
  if (g_released != nullptr) SetEvent(g_released);
}

std::intptr_t RequestNotice() {
  static const HANDLE notice = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return notice != nullptr ? reinterpret_cast<std::intptr_t>(notice) : -1;
}

void SignalRequestNotice() {
  if (RequestNotice() != -1) SetEvent(reinterpret_cast<HANDLE>(RequestNotice()));
}

void TakeRequestNotice() {
  if (RequestNotice() != -1) ResetEvent(reinterpret_cast<HANDLE>(RequestNotice()));
}

}  // namespace jsprogram
