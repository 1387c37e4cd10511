#include "MapSource.h"

#include <filesystem>

#include "SystemText.h"

namespace jskeys {

std::string UserMapPath() {
#ifdef _WIN32
  const std::string appData = jsprogram::EnvironmentVariable("APPDATA");
  if (!appData.empty()) return appData + "\\jogshuttle\\keys.toml";
  return {};
#else
  const std::string xdg = jsprogram::EnvironmentVariable("XDG_CONFIG_HOME");
  if (!xdg.empty()) return xdg + "/jogshuttle/keys.toml";
  const std::string home = jsprogram::EnvironmentVariable("HOME");
  if (!home.empty()) return home + "/.config/jogshuttle/keys.toml";
  return {};
#endif
}

bool MapFileExists(const std::string& path) {
  std::error_code ignored;
  return !path.empty() && std::filesystem::exists(jsprogram::PathOf(path), ignored);
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
