// Modifier masks: only the controller's keys, and no key both kinds of modifier.

#include "ModifierMasks.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ModifierMasks, ModifierMasksHoldKeysOnlyAndNoKeyTwice) {
  struct MaskCase {
    std::uint32_t s, c;
    const char* error;  // empty: accepted
  };
  const MaskCase cases[] = {
      {0x40, 0x80, ""},
      {0x7FC0, 0, ""},  // every key
      {0, 0, ""},
      {0x40, 0x40, "both an S and a C modifier (0x40)"},
      {0x1, 0, "--s-modifiers: bits 0x1 are no key's"},
      {0, 0xFFFFFFFF, "--c-modifiers: bits 0xffff803f are no key's"},
  };
  for (const MaskCase& c : cases) {
    std::string error;
    EXPECT_EQ(*c.error == '\0', jsprogram::CheckModifierMasks(c.s, c.c, error)) << error;
    EXPECT_NE(std::string::npos, error.find(c.error)) << error;
  }
}

}  // namespace
