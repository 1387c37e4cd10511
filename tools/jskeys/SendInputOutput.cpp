#include "SendInputOutput.h"

#include <windows.h>

#include <string>

#include "Program.h"

namespace jskeys {
namespace {

// Keys that sit in the extended block of the keyboard: without the flag, the arrows and the
// navigation block would come out as their number-pad twins.
bool IsExtended(WORD vk) {
  switch (vk) {
    case VK_LEFT: case VK_RIGHT: case VK_UP: case VK_DOWN:
    case VK_HOME: case VK_END: case VK_PRIOR: case VK_NEXT:
    case VK_INSERT: case VK_DELETE: case VK_LWIN:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool SendInputKeyOutput::Send(KeyId key, bool down) {
  const WORD vk = AllKeys()[key].vk;
  INPUT input{};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = vk;
  input.ki.wScan = static_cast<WORD>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
  input.ki.dwFlags = (down ? 0 : KEYEVENTF_KEYUP) | (IsExtended(vk) ? KEYEVENTF_EXTENDEDKEY : 0);
  if (SendInput(1, &input, sizeof input) != 1) {
    // Blocked by a window of higher integrity (UIPI), or the desktop is locked.
    jsprogram::Say("SendInput failed (" + std::to_string(GetLastError()) + ")");
    return false;
  }
  return true;
}

bool SendInputKeyOutput::KeyDown(KeyId key) { return Send(key, true); }
bool SendInputKeyOutput::KeyUp(KeyId key) { return Send(key, false); }

std::string ForegroundWindowFocus::FocusedClass() {
  const HWND window = GetForegroundWindow();
  if (!window) return {};
  wchar_t name[256];
  const int length = GetClassNameW(window, name, 256);
  if (length <= 0) return {};
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, name, length, nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, name, length, text.data(), bytes, nullptr, nullptr);
  return text;
}

}  // namespace jskeys
