// jskeys: turns the controller's keys, jog and shuttle into key strokes by a map.

#include <signal.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "KeysOptions.h"
#include "MapSource.h"
#include "Output.h"
#include "Runner.h"
#include "UinputOutput.h"
#include "X11Output.h"

namespace {

std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free);  // set from a signal handler

void RequestStop(int) { g_stop.store(true); }

void HandleStopSignals() {
  struct sigaction action {};
  action.sa_handler = &RequestStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace jskeys;
  KeysOptions options;
  std::string error;
  if (!ParseKeysOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
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

  // The X connection serves both the XTest output and the focus; without X the default
  // section always applies.
  std::string xError;
  std::shared_ptr<X11Connection> x = X11Connection::Open("", xError);
  std::unique_ptr<KeyOutput> output;
  std::string outputError;
  switch (options.backend) {
    case Backend::kDryRun:
      output = std::make_unique<PrintOutput>(stdout);
      break;
    case Backend::kUinput:
      output = UinputKeyOutput::Create(outputError);
      break;
    case Backend::kX11:
      if (x) {
        output = X11KeyOutput::Create(x, outputError);
      } else {
        outputError = xError;
      }
      break;
    case Backend::kAuto: {
      output = UinputKeyOutput::Create(outputError);
      if (!output && x) output = X11KeyOutput::Create(x, outputError);
      if (!output && !x) outputError += "; " + xError;
      break;
    }
  }
  if (!output) {
    std::fprintf(stderr, "jskeys: no way to send keys: %s\n", outputError.c_str());
    return 1;
  }
  std::unique_ptr<X11Focus> focus;
  if (x) focus = std::make_unique<X11Focus>(x);

  RunSettings settings;
  settings.port = options.port;
  settings.wait = options.wait;
  settings.sModifiers = options.sModifiers.value_or(map.sModifiers);
  settings.cModifiers = options.cModifiers.value_or(map.cModifiers);
  HandleStopSignals();
  return RunKeys(settings, map, *output, focus.get(), g_stop);
}
