#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

class SerialJS;

// Tries COM1 to COM7 in turn and returns the number of the first port on which a controller
// answered, or 0. Each port gets a fresh link, closed and gone before the next is made.
// With `stop` given, it is looked at before each port: once it is true no further port is
// tried (the one under way finishes its handshake and is closed as usual) and 0 is returned.
std::uint32_t ProbePorts(const std::atomic<bool>* stop = nullptr);

// The same, with the way each port's link is made. A port whose link cannot be made (`make`
// throws, out of memory, or gives null) is skipped with a level-1 line, and the probe goes on.
using LinkMaker = std::unique_ptr<SerialJS> (*)(std::uint32_t port);
std::uint32_t ProbePorts(LinkMaker make, const std::atomic<bool>* stop = nullptr);
