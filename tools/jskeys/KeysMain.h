#pragma once
// What jskeys does on every platform, given the platform's ways of sending keys.

#include <memory>
#include <string>
#include <vector>

#include "KeysOptions.h"
#include "Output.h"

namespace jskeys {

struct Outputs {
  std::unique_ptr<KeyOutput> keys;      // null: `error` says why
  std::unique_ptr<FocusSource> focus;  // null: the default section always applies
  std::string error;
};

// The platform's outputs for a backend other than the dry run.
using MakeOutputs = Outputs (*)(Backend backend);

// The command line after the program name → the exit status. A stop request ends the run.
int KeysMain(const std::vector<std::string>& arguments, MakeOutputs makeOutputs);

}  // namespace jskeys
