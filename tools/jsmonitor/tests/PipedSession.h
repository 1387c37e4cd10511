#pragma once
// A session played to jsmonitor with key 5 as its S modifier and key 6 as its C modifier, and
// the lines it prints for it piped: every change a line, however the bytes came (a press and its
// release in one write are two lines).

#include <cstddef>
#include <cstdint>
#include <vector>

namespace jsmonitor_test {

inline constexpr const char* kRest = "held []  K []  S []  C []  SC []  jog +0 -0  shuttle +0";

struct Step {
  std::vector<std::uint8_t> bytes;
  std::vector<const char*> shown;
};

inline const std::vector<Step> kPipedSession = {
    {{0x40, 0x60}, {"held [K0]  K [K0]  S []  C []  SC []  jog +0 -0  shuttle +0", kRest}},
    {{0x80, 0x05}, {"held []  K []  S []  C []  SC []  jog +5 -0  shuttle +0"}},
    {{0x81, 0xFE, 0xF9},
     {"held []  K []  S []  C []  SC []  jog +5 -2  shuttle +0",
      "held []  K []  S []  C []  SC []  jog +5 -2  shuttle -7"}},
    {{0x45, 0x41},
     {"held [K5]  K []  S []  C []  SC []  jog +5 -2  shuttle -7",
      "held [K1 K5]  K []  S [K1]  C []  SC []  jog +5 -2  shuttle -7"}},
    {{0x46, 0x42},
     {"held [K1 K5 K6]  K []  S [K1]  C []  SC []  jog +5 -2  shuttle -7",
      "held [K1 K2 K5 K6]  K []  S [K1]  C []  SC [K2]  jog +5 -2  shuttle -7"}},
    // Modifiers released first: the key sets keep what was pressed under them.
    {{0x66, 0x65, 0x61},
     {"held [K1 K2 K5]  K []  S [K1]  C []  SC [K2]  jog +5 -2  shuttle -7",
      "held [K1 K2]  K []  S [K1]  C []  SC [K2]  jog +5 -2  shuttle -7",
      "held [K2]  K []  S []  C []  SC [K2]  jog +5 -2  shuttle -7"}},
    {{0x62}, {"held []  K []  S []  C []  SC []  jog +5 -2  shuttle -7"}},
};
// The steps before key 6 goes down: the same where key 6 is no modifier.
inline constexpr std::size_t kStepsWithoutC = 4;

}  // namespace jsmonitor_test
