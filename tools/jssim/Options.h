#pragma once
// jssim's command line.

#include <span>
#include <string>

#include "SimOptions.h"

namespace jssim {

struct ToolOptions {
  std::string linkPath;
  SimOptions sim;
  bool hasScript = false;
  std::string script;      // --script: the script itself
  std::string scriptFile;  // --script-file: where to read it from
  std::string replayFile;  // --replay: a recording to play after the handshake
  double replaySpeed = 1.0;
  bool startAfterHandshake = false;
  bool quiet = false;
  bool timestamps = false;  // each report ends with the system clock's time of it
  bool help = false;
};

inline constexpr double kMinReplaySpeed = 0.001;
inline constexpr double kMaxReplaySpeed = 1000;

// Reads the arguments after the program name. False with `error` set on a bad command line
// (the tool then ends with exit status 2).
bool ParseArguments(std::span<const char* const> args, ToolOptions& options, std::string& error);

// A replay speed: a positive decimal factor ("2", "0.5"), kMinReplaySpeed to kMaxReplaySpeed.
bool ParseReplaySpeed(std::string_view text, double& value);

extern const char* const kUsage;

}  // namespace jssim
