#pragma once
#include <cstdint>

// Tries COM1 to COM7 in turn and returns the number of the first port on which a controller
// answered, or 0. Each port gets a fresh link, closed and gone before the next is made.
std::uint32_t ProbePorts();
