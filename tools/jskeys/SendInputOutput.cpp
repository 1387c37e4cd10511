#include "SendInputOutput.h"

#include <windows.h>

#include <string>

#include "Program.h"
#include "Utf16.h"

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

// A wide text as UTF-8, cut to kMaxWindowText bytes.
std::string Utf8Of(const wchar_t* text, int length) {
  if (length <= 0) return {};
  std::string utf8 = jslog::Utf8FromWide(std::wstring_view(text, static_cast<std::size_t>(length)));
  CutText(utf8);
  return utf8;
}

bool SendOne(INPUT& input) {
  if (SendInput(1, &input, sizeof input) != 1) {
    // Blocked by a window of higher integrity (UIPI), or the desktop is locked.
    jsprogram::Say("SendInput failed (" + std::to_string(GetLastError()) + ")");
    return false;
  }
  return true;
}

}  // namespace

bool SendInputKeyOutput::SendMouse(Pointer pointer, bool down) {
  INPUT input{};
  input.type = INPUT_MOUSE;
  switch (pointer) {
    case Pointer::kButton1: input.mi.dwFlags = down ? MOUSEEVENTF_LEFTDOWN : MOUSEEVENTF_LEFTUP; break;
    case Pointer::kButton2: input.mi.dwFlags = down ? MOUSEEVENTF_MIDDLEDOWN : MOUSEEVENTF_MIDDLEUP; break;
    case Pointer::kButton3: input.mi.dwFlags = down ? MOUSEEVENTF_RIGHTDOWN : MOUSEEVENTF_RIGHTUP; break;
    // The wheel turned away from the user, and tilted to the right, are positive.
    case Pointer::kWheelUp:
    case Pointer::kWheelDown:
      input.mi.dwFlags = MOUSEEVENTF_WHEEL;
      input.mi.mouseData = static_cast<DWORD>(pointer == Pointer::kWheelUp ? WHEEL_DELTA : -WHEEL_DELTA);
      break;
    case Pointer::kWheelLeft:
    case Pointer::kWheelRight:
      input.mi.dwFlags = MOUSEEVENTF_HWHEEL;
      input.mi.mouseData = static_cast<DWORD>(pointer == Pointer::kWheelRight ? WHEEL_DELTA : -WHEEL_DELTA);
      break;
    case Pointer::kNone: return false;
  }
  return SendOne(input);
}

bool SendInputKeyOutput::Send(KeyId key, bool down) {
  const KeyInfo& info = AllKeys()[key];
  if (info.pointer != Pointer::kNone) return SendMouse(info.pointer, down);
  const WORD vk = info.vk;
  INPUT input{};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = vk;
  input.ki.wScan = static_cast<WORD>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
  input.ki.dwFlags = (down ? 0 : KEYEVENTF_KEYUP) | (IsExtended(vk) ? KEYEVENTF_EXTENDEDKEY : 0);
  return SendOne(input);
}

bool SendInputKeyOutput::KeyDown(KeyId key) { return Send(key, true); }
bool SendInputKeyOutput::KeyUp(KeyId key) { return Send(key, false); }

namespace {

// WinEvent callbacks carry no context; the program has one focus source.
ForegroundWindowFocus* g_focus = nullptr;

}  // namespace

ForegroundWindowFocus::ForegroundWindowFocus() {
  g_focus = this;
  // Out of context: the callbacks come as messages to this thread, in the event loop's wait.
  const auto callback = reinterpret_cast<WINEVENTPROC>(&ForegroundWindowFocus::OnEvent);
  foregroundHook_ = SetWinEventHook(EVENT_SYSTEM_FOREGROUND, EVENT_SYSTEM_FOREGROUND, nullptr,
                                    callback, 0, 0, WINEVENT_OUTOFCONTEXT);
  nameHook_ = SetWinEventHook(EVENT_OBJECT_NAMECHANGE, EVENT_OBJECT_NAMECHANGE, nullptr, callback,
                              0, 0, WINEVENT_OUTOFCONTEXT);
  Read(GetForegroundWindow());
}

ForegroundWindowFocus::~ForegroundWindowFocus() {
  if (foregroundHook_) UnhookWinEvent(static_cast<HWINEVENTHOOK>(foregroundHook_));
  if (nameHook_) UnhookWinEvent(static_cast<HWINEVENTHOOK>(nameHook_));
  g_focus = nullptr;
}

void __stdcall ForegroundWindowFocus::OnEvent(void*, unsigned long event, void* window, long object,
                                              long, unsigned long, unsigned long) {
  if (!g_focus || object != OBJID_WINDOW) return;
  // A title changes often in windows in the background; only the foreground's matters.
  if (event == EVENT_OBJECT_NAMECHANGE && window != g_focus->foreground_) return;
  g_focus->Read(window);
}

void ForegroundWindowFocus::Dispatch() {
  if (!foregroundHook_) Read(GetForegroundWindow());
}

void ForegroundWindowFocus::Read(void* handle) {
  const HWND window = static_cast<HWND>(handle);
  foreground_ = handle;
  focused_ = {};
  if (!window) return;
  wchar_t name[257];  // class names are at most 256 characters
  focused_.windowClass = Utf8Of(name, GetClassNameW(window, name, 257));
  // A UTF-16 unit gives at least one byte of UTF-8: more than this is never kept.
  wchar_t title[kMaxWindowText + 1];
  focused_.title = Utf8Of(title, GetWindowTextW(window, title, static_cast<int>(kMaxWindowText + 1)));
}

}  // namespace jskeys
