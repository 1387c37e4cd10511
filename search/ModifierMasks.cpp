#include "ModifierMasks.h"

#include <cstdio>
#include <utility>

#include "SerialJS.h"

namespace jsprogram {

bool CheckModifierMasks(std::uint32_t sMask, std::uint32_t cMask, std::string& error) {
  auto hex = [](std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(value));
    return std::string(text);
  };
  std::uint32_t keyBits = 0;
  for (const std::uint32_t mask : SerialJS::kKeyMasks) keyBits |= mask;
  for (const auto& [mask, name] :
       {std::pair{sMask, "--s-modifiers"}, std::pair{cMask, "--c-modifiers"}}) {
    if ((mask & ~keyBits) == 0) continue;
    error = std::string(name) + ": bits " + hex(mask & ~keyBits) +
            " are no key's (keys: " + hex(keyBits) + ")";
    return false;
  }
  if ((sMask & cMask) != 0) {
    error = "a key cannot be both an S and a C modifier (" + hex(sMask & cMask) + ")";
    return false;
  }
  return true;
}

}  // namespace jsprogram
