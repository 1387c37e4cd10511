#pragma once
// The link at work: finds the controller, keeps it open, picks it up again after it was
// unplugged, and sends the map's keys for every change of its state.

#include <cstdint>
#include <optional>

#include "KeyMap.h"
#include "Output.h"

namespace jskeys {

struct RunSettings {
  std::uint32_t port = 0;  // 0: COM1 to COM7
  bool wait = false;       // at start, keep looking while no controller answers
  std::uint32_t sModifiers = 0;
  std::uint32_t cModifiers = 0;
};

// Runs until a stop is requested: 0. No controller at start (without `wait`): 1. Status lines
// go to standard error.
int RunKeys(const RunSettings& settings, const KeyMap& map, KeyOutput& output,
            FocusSource* focus);

}  // namespace jskeys
