#pragma once
// Which map jskeys uses: --config FILE, else the user's file, else the built-in one.

#include <string>

#include "KeyMap.h"

namespace jskeys {

// $XDG_CONFIG_HOME/jogshuttle/keys.toml, with ~/.config when XDG_CONFIG_HOME is unset or
// empty; %APPDATA%\jogshuttle\keys.toml on Windows. Empty when neither can be told.
std::string UserMapPath();

// Whether a map file is there (a link to none is not).
bool MapFileExists(const std::string& path);

// Loads the map `configPath` names, else the user's map where that file exists, else the
// built-in one. `source` says which ("built-in" or the path).
bool LoadConfiguredMap(const std::string& configPath, KeyMap& map, std::string& source,
                       MapError& error, const std::atomic<bool>* abandon = nullptr);

}  // namespace jskeys
