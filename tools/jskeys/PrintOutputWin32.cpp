// The dry run's output on Windows: a closed pipe shows at the next write.

#include "Output.h"

namespace jskeys {

PrintOutput::PrintOutput(std::FILE* to) : to_(to) {}

void PrintOutput::Dispatch() {}

}  // namespace jskeys
