// What port names lead to: the link's answer to "which device is COMn, and may I open it".

#include <string>

#include "PortName.h"
#include "SerialJS.h"

namespace {
std::wstring NameOf(std::uint32_t number) {
  wchar_t name[js::kPortNameSize];
  js::FormatPortName(name, number);
  return name;
}
}  // namespace

std::string SerialJS::PortPath(std::uint32_t number) {
  return js::sys::PortPath(NameOf(number).c_str());
}

PortInfo SerialJS::InspectPort(std::uint32_t number, PortInfo::Look look) {
  PortInfo info;
  info.number = number;
  js::sys::InspectPort(NameOf(number).c_str(), look == PortInfo::Look::kOpenable, info);
  return info;
}
