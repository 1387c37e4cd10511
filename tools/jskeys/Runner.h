#pragma once
// The link at work: finds the controller, keeps it open, picks it up again after it was
// unplugged, and sends the map's keys for every change of its state.

#include <cstdint>
#include <optional>

#include <functional>

#include "KeyMap.h"
#include "MapReloader.h"
#include "MapWatch.h"
#include "OutputSet.h"

namespace jskeys {

struct RunSettings {
  std::uint32_t port = 0;  // 0: COM1 to COM7
  bool wait = false;       // at start, keep looking while no controller answers
  std::uint32_t sModifiers = 0;
  std::uint32_t cModifiers = 0;
};

// Reading the map again when its file changed (or SIGUSR1 asked): `read` makes the new map and
// the modifier masks to use with it, or says why it cannot and gives false (the map in force
// stays). It runs on a thread of its own, while keys go out by the map in force. Without a
// watch the map never changes.
struct MapReload {
  MapWatch* watch = nullptr;
  MapRead read{};
};

// Runs until a stop is requested: 0. No controller at start (without `wait`): 1. Status lines
// go to standard error. `map` is replaced when it is read again.
int RunKeys(const RunSettings& settings, KeyMap& map, OutputSet& outputs, FocusSource* focus,
            const MapReload& reload = {});

}  // namespace jskeys
