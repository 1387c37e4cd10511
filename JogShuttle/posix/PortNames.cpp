#include "PortNames.h"

#include <cstdint>
#include <cwctype>

namespace js::sys {

std::string PortPath(const wchar_t* name, const char* portDir) {
  if (name == nullptr) return {};
  const wchar_t* p = name;
  for (wchar_t expected : {L'C', L'O', L'M'}) {
    if (std::towupper(static_cast<wint_t>(*p)) != static_cast<wint_t>(expected)) return {};
    ++p;
  }
  std::uint64_t number = 0;
  const wchar_t* digits = p;
  while (*p >= L'0' && *p <= L'9' && p - digits < 9) number = number * 10 + (*p++ - L'0');
  if (p == digits || number == 0) return {};
  if (*p == L':') ++p;
  if (*p != L'\0') return {};

  if (portDir != nullptr) {
    // Set but empty: a directory with no ports, never the current directory.
    if (*portDir == '\0') return {};
    std::string path(portDir);
    if (!path.empty() && path.back() != '/') path.push_back('/');
    return path + "com" + std::to_string(number);
  }
  return "/dev/ttyS" + std::to_string(number - 1);  // the COM1 = ttyS0 convention
}

}  // namespace js::sys
