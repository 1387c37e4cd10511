#pragma once
#include <atomic>
#include <cstdint>

// Tries COM1 to COM7 in turn and returns the number of the first port on which a controller
// answered, or 0. Each port gets a fresh link, closed and gone before the next is made.
// With `stop` given, it is looked at before each port: once it is true no further port is
// tried (the one under way finishes its handshake and is closed as usual) and 0 is returned.
std::uint32_t ProbePorts(const std::atomic<bool>* stop = nullptr);
