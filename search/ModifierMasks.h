#pragma once
// Which of the controller's keys act as modifiers, as a user gives them on a command line or in
// a map.

#include <cstdint>
#include <string>

namespace jsprogram {

// Modifier masks as a user gives them: bits of the controller's keys only (SerialJS::kKeyMasks),
// and no key both an S and a C modifier. False with `error` set otherwise.
bool CheckModifierMasks(std::uint32_t sMask, std::uint32_t cMask, std::string& error);

}  // namespace jsprogram
