#pragma once
// The Plug and Play side of a COM name (Win32PortDevice.cpp).

#include "WinApi.h"

#include <string>

namespace js::sys {

// The device instance behind COM name `name` ("COM3") and when it last arrived; empty where
// Plug and Play lists no port of that name (Wine lists none). `target` is what the name is
// defined as now: the answer is kept while it stays the same and the name is not seen gone.
std::wstring PortDeviceIdentity(const std::wstring& name, const std::wstring& target);
// The name leads nowhere now: whatever it leads to next is looked up afresh.
void PortDeviceGone(const std::wstring& name);

}  // namespace js::sys
