#pragma once
// Where a Windows port name "COMn:" (or "\\.\COMn") lives on this system: with JS_PORT_DIR
// set, the entry "comn" in that directory and nothing else (set but empty: no ports at all);
// otherwise /dev/ttyS{n-1}, as Linux and Wine count.

#include <sys/types.h>

#include <string>

namespace js::sys {

// Empty when `name` is not of the form COMn: with n from 1 up, or when JS_PORT_DIR is empty.
std::string PortPath(const wchar_t* name, const char* portDir);

// Why a terminal device is surely no serial line (this process's controlling terminal,
// /dev/tty, /dev/ptmx and the other pseudo-terminal masters, the consoles), or nullptr when it
// may be one. Told by the device number alone: a look must not open the device.
const char* WhyNotSerial(dev_t device);

}  // namespace js::sys
