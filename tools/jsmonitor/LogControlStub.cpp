#include "LogControlStub.h"

namespace jslog {

void SetStderrMaxLevel(std::uint32_t) {}
std::optional<std::uint32_t> StderrLevelFromEnvironment() { return std::nullopt; }
void SetStderrWriteHooks(void (*)(), void (*)()) {}
void FlushStderr(std::uint32_t) {}

}  // namespace jslog
