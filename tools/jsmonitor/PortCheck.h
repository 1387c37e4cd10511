#pragma once
// How jsmonitor shows what a port name leads to (the link finds it out: SerialJS::InspectPort).

#include <cstdint>
#include <string>

#include "SerialJS.h"

// "COM3  /tmp/js/com3 -> /dev/pts/4  free", for --list.
std::string ListLine(const PortInfo& info);
// " (/dev/pts/4)" when COMn resolves to a device, else "".
std::string DeviceSuffix(std::uint32_t number);
