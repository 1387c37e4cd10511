#include "KeysMain.h"

#include <cstdio>

#include "MapSource.h"
#include "Program.h"
#include "Runner.h"

namespace jskeys {

int KeysMain(const std::vector<std::string>& arguments, MakeOutputs makeOutputs) {
  KeysOptions options;
  std::string error;
  if (!ParseKeysOptions(arguments, options, error)) {
    jsprogram::Say(error + "\nTry 'jskeys --help'.");
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
      jsprogram::Say(mapError.Text());
      return 2;
    }
    std::printf("jskeys: %s: the map is good\n", options.check.c_str());
    return 0;
  }
  std::string source;
  if (!LoadConfiguredMap(options.config, map, source, mapError)) {
    jsprogram::Say(mapError.Text());
    return 2;
  }
  jsprogram::Say("map: " + source);

  Outputs outputs = makeOutputs(options.backend);
  if (options.backend == Backend::kDryRun) outputs.keys = std::make_unique<PrintOutput>(stdout);
  if (!outputs.keys) {
    jsprogram::Say("no way to send keys: " + outputs.error);
    return 1;
  }

  RunSettings settings;
  settings.port = options.port;
  settings.wait = options.wait;
  settings.sModifiers = options.sModifiers.value_or(map.sModifiers);
  settings.cModifiers = options.cModifiers.value_or(map.cModifiers);
  const int status = RunKeys(settings, map, *outputs.keys, outputs.focus.get());
  jsprogram::Released();  // what the map held is released by now
  return status;
}

}  // namespace jskeys
