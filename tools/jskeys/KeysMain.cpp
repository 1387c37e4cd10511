#include "KeysMain.h"

#include <cstdio>

#include "LogFormat.h"
#include "LogSink.h"
#include "MapSource.h"
#include "MapWatch.h"
#include "ModifierMasks.h"
#include "Program.h"
#include "Runner.h"
#include "StderrWrite.h"

namespace jskeys {
namespace {

constexpr std::uint32_t kQuietLogLevel = 2;
// Covers each output's own bound for its last actions, taken in turn: the Wayland compositor's
// 300 ms, a player's 500 ms and the MIDI port's 200 ms.
constexpr std::chrono::milliseconds kStopGrace{1500};

// Text of ours on standard output as a console shows UTF-8 (a path with accents in a verdict):
// through the log's writer, not the C stream, which would pass it through the code page.
void Print(std::string_view text) {
  std::fflush(stdout);
  jslog::WriteAllToStdout(text.data(), text.size());
}

}  // namespace

int KeysMain(const std::vector<std::string>& arguments, MakeOutputs makeOutputs) {
  KeysOptions options;
  std::string error;
  if (!ParseKeysOptions(arguments, options, error)) {
    jsprogram::Say(error + "\nTry 'jskeys --help'.");
    return 2;
  }
  if (options.help) {
    Print(options.helpText);
    return 0;
  }
  if (options.printMap) {
    std::fwrite(DefaultMapText().data(), 1, DefaultMapText().size(), stdout);
    return 0;
  }
  // Quiet by default, as a program that runs all day: failures and warnings, and our own
  // messages, not a line per key; JS_LOG_LEVEL asks for more.
  if (!jslog::StderrLevelFromEnvironment()) jslog::SetStderrMaxLevel(kQuietLogLevel);
  KeyMap map;
  MapError mapError;
  if (!options.check.empty()) {
    if (!LoadMap(options.check, map, mapError)) {
      jsprogram::Say(mapError.Text());
      return 2;
    }
    Print("jskeys: " + jslog::SafeText(options.check) + ": the map is good\n");
    return 0;
  }
  std::string source;
  if (!LoadConfiguredMap(options.config, map, source, mapError)) {
    jsprogram::Say(mapError.Text());
    return 2;
  }
  jsprogram::Say("map: " + jslog::SafeText(source));

  RunSettings settings;
  settings.port = options.port;
  settings.wait = options.wait;
  settings.sModifiers = options.sModifiers.value_or(map.sModifiers);
  settings.cModifiers = options.cModifiers.value_or(map.cModifiers);
  // The map's own modifiers are checked as it is read; an override may still clash with them.
  if (!jsprogram::CheckModifierMasks(settings.sModifiers, settings.cModifiers, error)) {
    jsprogram::Say(error + "\nTry 'jskeys --help'.");
    return 2;
  }

  Outputs outputs = makeOutputs(options.backend);
  if (options.backend == Backend::kDryRun) {
    // A dry run prints what would go to a player or a MIDI port, too.
    outputs.keys = std::make_unique<PrintOutput>(stdout);
    outputs.makePlayer = outputs.makeMidi = nullptr;
  }
  if (!outputs.keys) {
    jsprogram::Say("no way to send keys: " + outputs.error);
    return 1;
  }
  // Keys are released into a window system that answers; one that hangs must not keep a stop
  // from ending us.
  jsprogram::EndWithin(kStopGrace, std::string(outputs.keys->Gone()) +
                                       " does not answer: keys held through it could not be "
                                       "released; ending all the same");

  // The map in force is watched: --config's file, else the user's (whether or not it exists yet).
  MapWatch watch(!options.config.empty() ? options.config : UserMapPath());
  MapReload reload;
  reload.watch = &watch;
  reload.read = [&options](FreshMap& fresh, const std::atomic<bool>& abandon) {
    std::string why;
    MapError fault;
    // The map asked for by name went away: nothing else was asked for, so it stays in force.
    if (!options.config.empty() && !MapFileExists(options.config)) {
      jsprogram::Say(jslog::SafeText(options.config) +
                     ": gone; the map in force stays until it is back");
      return false;
    }
    if (!LoadConfiguredMap(options.config, fresh.map, fresh.source, fault, &abandon)) {
      // A read given up as jskeys stops is no fault of the map's.
      if (!abandon.load()) jsprogram::Say(fault.Text() + " (the map in force stays)");
      return false;
    }
    fresh.sModifiers = options.sModifiers.value_or(fresh.map.sModifiers);
    fresh.cModifiers = options.cModifiers.value_or(fresh.map.cModifiers);
    if (!jsprogram::CheckModifierMasks(fresh.sModifiers, fresh.cModifiers, why)) {
      jsprogram::Say(jslog::SafeText(fresh.source) + ": " + why + " (the map in force stays)");
      return false;
    }
    return true;
  };
  OutputSet outputSet(*outputs.keys, outputs.makePlayer, outputs.makeMidi);
  const int status = RunKeys(settings, map, outputSet, outputs.focus.get(), reload);
  jsprogram::MarkReleased();  // what the map held is released by now
  return status;
}

}  // namespace jskeys
