#pragma once
// What jskeys does on every platform, given the platform's ways of sending keys.

#include <memory>
#include <string>
#include <vector>

#include "KeysOptions.h"
#include "OutputSet.h"

namespace jskeys {

struct Outputs {
  std::unique_ptr<KeyOutput> keys;      // null: `error` says why
  std::unique_ptr<FocusSource> focus;  // null: the default section always applies
  std::string error;
  // A media player's and a MIDI port's outputs, made when a map first has such actions; null
  // where the platform has none.
  MakeActionOutput makePlayer = nullptr;
  MakeActionOutput makeMidi = nullptr;
};

// The platform's outputs for a backend other than the dry run.
using MakeOutputs = Outputs (*)(Backend backend);

// The command line after the program name → the exit status. A stop request ends the run.
int KeysMain(const std::vector<std::string>& arguments, MakeOutputs makeOutputs);

}  // namespace jskeys
