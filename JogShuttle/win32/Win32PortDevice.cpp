// Which device stands behind a COM name, as Plug and Play knows it: the device instance and when
// it last arrived. A USB adapter plugged in again keeps its COM name, its device name and often
// its instance; its arrival time is new, and so is its identity.

#include "Win32PortDevice.h"

#include <setupapi.h>

#include <cstdio>
#include <map>
#include <mutex>

namespace js::sys {
namespace {

// DEVPKEY_Device_LastArrivalDate (a FILETIME, from Windows 8 on), spelled out here: older SDKs
// do not name it.
constexpr DEVPROPKEY kLastArrival = {
    {0x83da6326, 0x97a6, 0x4088, {0x94, 0x53, 0xa1, 0x92, 0x3f, 0x57, 0x3b, 0x29}}, 102};
// GUID_DEVCLASS_PORTS: the Ports (COM & LPT) setup class.
constexpr GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

bool HasPortName(HDEVINFO set, SP_DEVINFO_DATA& device, const std::wstring& name) {
  const HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) return false;
  wchar_t value[64] = {};
  DWORD size = sizeof(value) - sizeof(wchar_t);  // room for the end its value may lack
  DWORD type = 0;
  const bool read = RegQueryValueExW(key, L"PortName", nullptr, &type,
                                     reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS;
  RegCloseKey(key);
  return read && type == REG_SZ && _wcsicmp(value, name.c_str()) == 0;
}

std::wstring Describe(HDEVINFO set, SP_DEVINFO_DATA& device) {
  wchar_t instance[512] = {};
  if (!SetupDiGetDeviceInstanceIdW(set, &device, instance, 512, nullptr)) return {};
  std::wstring identity(instance);
  FILETIME arrived{};
  DEVPROPTYPE type = 0;
  if (SetupDiGetDevicePropertyW(set, &device, &kLastArrival, &type,
                                reinterpret_cast<BYTE*>(&arrived), sizeof(arrived), nullptr, 0) &&
      type == DEVPROP_TYPE_FILETIME) {
    wchar_t stamp[24];
    std::swprintf(stamp, 24, L"@%08lx%08lx", arrived.dwHighDateTime, arrived.dwLowDateTime);
    identity += stamp;
  }
  return identity;
}

std::wstring LookUp(const std::wstring& name) {
  const HDEVINFO set = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return {};
  std::wstring identity;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof(device);
  for (DWORD index = 0; identity.empty() && SetupDiEnumDeviceInfo(set, index, &device); ++index) {
    if (HasPortName(set, device, name)) identity = Describe(set, device);
  }
  SetupDiDestroyDeviceInfoList(set);
  return identity;
}

// What each name was last found as, kept while the name stays defined as the same device: the
// search looks at every port ten times a second, and a SetupAPI walk is no cheap call.
struct Known {
  std::wstring target;
  std::wstring identity;
};
std::mutex knownLock;
std::map<std::wstring, Known>& KnownPorts() {
  static std::map<std::wstring, Known> known;
  return known;
}

}  // namespace

std::wstring PortDeviceIdentity(const std::wstring& name, const std::wstring& target) {
  {
    const std::lock_guard<std::mutex> hold(knownLock);
    const auto found = KnownPorts().find(name);
    if (found != KnownPorts().end() && found->second.target == target) {
      return found->second.identity;
    }
  }
  std::wstring identity = LookUp(name);
  const std::lock_guard<std::mutex> hold(knownLock);
  KnownPorts()[name] = {target, identity};
  return identity;
}

void PortDeviceGone(const std::wstring& name) {
  const std::lock_guard<std::mutex> hold(knownLock);
  KnownPorts().erase(name);
}

}  // namespace js::sys
