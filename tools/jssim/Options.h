#pragma once
// jssim's command line.

#include <span>
#include <string>

#include "ControllerSim.h"

namespace jssim {

struct ToolOptions {
  std::string linkPath;
  SimOptions sim;
  bool hasScript = false;
  std::string script;      // --script: the script itself
  std::string scriptFile;  // --script-file: where to read it from
  bool startAfterHandshake = false;
  bool quiet = false;
  bool help = false;
};

// Reads the arguments after the program name. False with `error` set on a bad command line.
bool ParseArguments(std::span<const char* const> args, ToolOptions& options, std::string& error);

extern const char* const kUsage;

}  // namespace jssim
