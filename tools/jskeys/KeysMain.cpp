#include "KeysMain.h"

#include <cstdio>

#include "MapSource.h"
#include "Runner.h"

namespace jskeys {

int KeysMain(const std::vector<std::string>& arguments, MakeOutputs makeOutputs,
             const std::atomic<bool>& stop) {
  KeysOptions options;
  std::string error;
  if (!ParseKeysOptions(arguments, options, error)) {
    std::fprintf(stderr, "jskeys: %s\nTry 'jskeys --help'.\n", error.c_str());
    return 2;
  }
  if (options.help) {
    std::fputs(options.helpText.c_str(), stdout);
    return 0;
  }
  if (options.printMap) {
    std::fwrite(DefaultMapText().data(), 1, DefaultMapText().size(), stdout);
    return 0;
  }
  KeyMap map;
  MapError mapError;
  if (!options.check.empty()) {
    if (!LoadMap(options.check, map, mapError)) {
      std::fprintf(stderr, "jskeys: %s\n", mapError.Text().c_str());
      return 2;
    }
    std::printf("jskeys: %s: the map is good\n", options.check.c_str());
    return 0;
  }
  std::string source;
  if (!LoadConfiguredMap(options.config, map, source, mapError)) {
    std::fprintf(stderr, "jskeys: %s\n", mapError.Text().c_str());
    return 2;
  }
  std::fprintf(stderr, "jskeys: map: %s\n", source.c_str());

  Outputs outputs = makeOutputs(options.backend);
  if (options.backend == Backend::kDryRun) outputs.keys = std::make_unique<PrintOutput>(stdout);
  if (!outputs.keys) {
    std::fprintf(stderr, "jskeys: no way to send keys: %s\n", outputs.error.c_str());
    return 1;
  }

  RunSettings settings;
  settings.port = options.port;
  settings.wait = options.wait;
  settings.sModifiers = options.sModifiers.value_or(map.sModifiers);
  settings.cModifiers = options.cModifiers.value_or(map.cModifiers);
  return RunKeys(settings, map, *outputs.keys, outputs.focus.get(), stop);
}

}  // namespace jskeys
