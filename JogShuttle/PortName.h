#pragma once
// The name the link opens COMn by. The system knows COM1 to COM9 under the old device names, so
// "COMn:" opens them, and callers' log lines quote that name; from COM10 on only the device
// namespace finds a port, as "\\.\COMn". Written into a fixed buffer: naming a port allocates
// nothing.

#include <cstdint>

namespace js {

// Room for "\\.\COM" with every digit of a 32-bit number and the closing zero.
inline constexpr int kPortNameSize = 20;
inline constexpr std::uint32_t kFirstDeviceNamespacePort = 10;

inline void FormatPortName(wchar_t (&name)[kPortNameSize], std::uint32_t portNumber) {
  const bool deviceNamespace = portNumber >= kFirstDeviceNamespacePort;
  wchar_t digits[10];
  int n = 0;
  do {
    digits[n++] = static_cast<wchar_t>(L'0' + portNumber % 10);
    portNumber /= 10;
  } while (portNumber != 0);
  int length = 0;
  if (deviceNamespace) {
    for (wchar_t c : {L'\\', L'\\', L'.', L'\\'}) name[length++] = c;
  }
  for (wchar_t c : {L'C', L'O', L'M'}) name[length++] = c;
  while (n > 0) name[length++] = digits[--n];
  if (!deviceNamespace) name[length++] = L':';
  name[length] = L'\0';
}

}  // namespace js
