#include "MapSource.h"

#include <cstdlib>
#include <filesystem>

namespace jskeys {

std::string UserMapPath() {
#ifdef _WIN32
  const char* appData = std::getenv("APPDATA");
  if (appData && *appData) return std::string(appData) + "\\jogshuttle\\keys.toml";
  return {};
#else
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg) return std::string(xdg) + "/jogshuttle/keys.toml";
  const char* home = std::getenv("HOME");
  if (home && *home) return std::string(home) + "/.config/jogshuttle/keys.toml";
  return {};
#endif
}

bool MapFileExists(const std::string& path) {
  std::error_code ignored;
  return !path.empty() && std::filesystem::exists(path, ignored);
}

bool LoadConfiguredMap(const std::string& configPath, KeyMap& map, std::string& source,
                       MapError& error, const std::atomic<bool>* abandon) {
  if (!configPath.empty()) {
    source = configPath;
    return LoadMap(configPath, map, error, abandon);
  }
  const std::string user = UserMapPath();
  if (MapFileExists(user)) {
    source = user;
    return LoadMap(user, map, error, abandon);
  }
  source = "built-in";
  return ParseMap(DefaultMapText(), "built-in map", map, error, abandon);
}

}  // namespace jskeys
