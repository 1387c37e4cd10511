#pragma once
#include <cstdint>
#include <memory>

class SerialJS;

// Tries COM1 to COM7 in turn and returns the number of the first port on which a controller
// answered, or 0. Each port gets a fresh link, closed and gone before the next is made.
std::uint32_t ProbePorts();

// The same, with the way each port's link is made. A port whose link cannot be made (`make`
// throws, out of memory, or gives null) is skipped with a level-1 line, and the probe goes on.
using LinkMaker = std::unique_ptr<SerialJS> (*)(std::uint32_t port);
std::uint32_t ProbePorts(LinkMaker make);
