#pragma once
// jskeys's command line.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace jskeys {

enum class Backend { kAuto, kUinput, kWayland, kX11, kDryRun };

struct KeysOptions {
  std::uint32_t port = 0;  // 0: find the controller on COM1 to COM7
  bool wait = false;       // keep looking when no controller answers at start
  std::string config;      // --config; empty: the user's map, else the built-in one
  std::string check;       // --check FILE: validate only
  bool printMap = false;   // print the built-in map
  Backend backend = Backend::kAuto;
  std::optional<std::uint32_t> sModifiers;  // override the map's modifier keys
  std::optional<std::uint32_t> cModifiers;
  bool help = false;
  std::string helpText;  // filled when help is asked for
};

// Reads the arguments after the program name. False with `error` set on a bad command line.
bool ParseKeysOptions(const std::vector<std::string>& arguments, KeysOptions& options,
                      std::string& error);

}  // namespace jskeys
