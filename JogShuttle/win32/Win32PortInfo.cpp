// What port names lead to on Windows: the system's own names, and the device each is defined as.

#include "WinApi.h"

#include <string>

#include "Platform.h"
#include "Utf16.h"
#include "Win32PortDevice.h"

namespace js::sys {
namespace {

using jslog::Utf8FromWide;

// "COM3:" or "\\.\COM12" → "COM3", "COM12": the name the system's device table knows.
std::wstring DeviceName(const wchar_t* name) {
  std::wstring device(name);
  if (device.rfind(L"\\\\.\\", 0) == 0) device.erase(0, 4);
  if (!device.empty() && device.back() == L':') device.pop_back();
  return device;
}

void Fail(PortInfo& info, PortInfo::State state, DWORD error) {
  info.state = state;
  info.error = error;
  std::wstring text = ErrorText(error);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
  info.reason = Utf8FromWide(text);
}

}  // namespace

std::string PortPath(const wchar_t* name) { return Utf8FromWide(DeviceName(name)); }

void InspectPort(const wchar_t* name, bool lookCloser, PortInfo& info) {
  info.path = PortPath(name);
  info.state = PortInfo::State::kMissing;
  wchar_t target[1024];
  const DWORD length = QueryDosDeviceW(DeviceName(name).c_str(), target, 1024);
  if (length == 0) {
    Fail(info, PortInfo::State::kMissing, GetLastError());
    PortDeviceGone(DeviceName(name));
    return;
  }
  info.device = Utf8FromWide(target);  // the first of the names it is defined as
  // The name and its device name outlive an unplugged adapter; Plug and Play tells a new one.
  const std::wstring device = PortDeviceIdentity(DeviceName(name), target);
  info.identity = device.empty() ? info.device : info.device + ' ' + Utf8FromWide(device);
  info.state = PortInfo::State::kFree;
  if (!lookCloser) return;
  // As the link opens it, share mode 0: a port in use elsewhere is refused as access denied.
  const HANDLE handle = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    const PortInfo::State state =
        error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? PortInfo::State::kBusy
        : error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PortInfo::State::kMissing
                                                                           : PortInfo::State::kUnusable;
    Fail(info, state, error);
    return;
  }
  const DWORD type = GetFileType(handle);
  CloseHandle(handle);
  // Wine keeps a COM name defined while the file it maps to is gone: it opens, as a device that
  // is of no type and does nothing.
  if (type == FILE_TYPE_UNKNOWN) {
    Fail(info, PortInfo::State::kMissing, ERROR_FILE_NOT_FOUND);
    PortDeviceGone(DeviceName(name));
  } else if (type != FILE_TYPE_CHAR) {
    Fail(info, PortInfo::State::kNotTerminal, ERROR_INVALID_FUNCTION);
  }
}

}  // namespace js::sys
