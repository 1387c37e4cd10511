#include "KeysOptions.h"

#include <CLI/CLI.hpp>

#include "StrictNumbers.h"

namespace jskeys {
namespace {

// What the help says is the platform's own: its map folder, its ways of sending keys, its ports
// and how it is stopped.
#if defined(_WIN32)
constexpr const char* kDescription =
    "Turns the jog/shuttle controller's keys, jog and shuttle into key strokes and mouse\n"
    "actions, by a map per application (chosen by the foreground window's class and title).\n"
    "The map: --config FILE, else %APPDATA%\\jogshuttle\\keys.toml, else the built-in one\n"
    "(--print-map shows it); the map in use is read again when its file changes. Keys go out\n"
    "through SendInput.\n"
    "Ports: COM1 to COM7 are searched, or COM N alone with --port.\n"
    "Exit status: 0 stopped by Ctrl-C, Ctrl-Break or closing the console (or --check passed);\n"
    "1 no controller, or no way to send keys; 2 a bad command line or map.";
constexpr const char* kBackendHelp = "how keys are sent: dry-run (SendInput when left out)";
constexpr const char* kBackendNames = "dry-run (SendInput when --backend is left out)";
#else
constexpr const char* kDescription =
    "Turns the jog/shuttle controller's keys, jog and shuttle into key strokes and mouse\n"
    "actions, by a map per application (chosen by the focused window's class: X11, or a Wayland\n"
    "compositor with foreign-toplevel management). The map: --config FILE, else\n"
    "$XDG_CONFIG_HOME/jogshuttle/keys.toml (~/.config/jogshuttle/keys.toml), else the built-in\n"
    "one (--print-map shows it). Keys go out through uinput where /dev/uinput can be opened,\n"
    "else through the Wayland virtual keyboard, else through X11 (XTest).\n"
    "Ports on Linux: with JS_PORT_DIR set, COM N is the entry comN there; else /dev/ttyS{N-1}.\n"
    "Exit status: 0 stopped by SIGINT/SIGTERM (or --check passed); 1 no controller, or no way\n"
    "to send keys; 2 a bad command line or map.";
constexpr const char* kBackendHelp = "how keys are sent: uinput, wayland, x11 or dry-run";
constexpr const char* kBackendNames = "uinput, wayland, x11 or dry-run";
#endif

}  // namespace

bool ParseKeysOptions(const std::vector<std::string>& arguments, KeysOptions& options,
                      std::string& error) {
  CLI::App app(kDescription, "jskeys");
  app.get_formatter()->column_width(28);
  std::string port, backend, sMask, cMask;
  bool dryRun = false;
  app.add_option("--port", port, "use COM N only (1 to 255)")->type_name("N");
  app.add_flag("--wait", options.wait,
               "at start, keep looking while no controller answers");
  app.add_option("--config", options.config, "the map to use")->type_name("FILE");
  app.add_option("--check", options.check, "check a map and exit (0 good, 2 bad)")->type_name("FILE");
  app.add_flag("--print-map", options.printMap, "print the built-in map and exit");
  app.add_option("--backend", backend, kBackendHelp)
      ->type_name("NAME");
  app.add_flag("--dry-run", dryRun, "print each action instead of sending it (--backend dry-run)");
  app.add_option("--s-modifiers", sMask, "key bits of the S modifiers, instead of the map's")
      ->type_name("MASK");
  app.add_option("--c-modifiers", cMask,
                 "key bits of the C modifiers; K0 0x100, K1 0x200, K2 0x400, K3 0x800,\n"
                 "K4 0x1000, K5 0x40, K6 0x80, K7 0x4000, K8 0x2000")
      ->type_name("MASK");

  std::vector<const char*> argv = {"jskeys"};
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
  } catch (const CLI::CallForHelp&) {
    options.help = true;
    options.helpText = app.help();
    return true;
  } catch (const CLI::ParseError& fault) {
    error = fault.what();
    return false;
  }

  if (app.count("--port") != 0 && !jsprogram::ParsePortNumber(port, options.port)) {
    error = "--port: '" + port + "' is not a port number (1 to 255, decimal)";
    return false;
  }
  for (auto [text, target, name] : {std::tuple{&sMask, &options.sModifiers, "--s-modifiers"},
                                    std::tuple{&cMask, &options.cModifiers, "--c-modifiers"}}) {
    if (app.count(name) == 0) continue;
    std::uint32_t mask = 0;
    if (!jsprogram::ParseMask(*text, mask)) {
      error = std::string(name) + ": '" + *text + "' is not a mask (decimal, or hex with 0x)";
      return false;
    }
    *target = mask;
  }
  if (backend.empty()) {
    options.backend = dryRun ? Backend::kDryRun : Backend::kAuto;
  } else if (backend == "uinput") {
    options.backend = Backend::kUinput;
  } else if (backend == "wayland") {
    options.backend = Backend::kWayland;
  } else if (backend == "x11") {
    options.backend = Backend::kX11;
  } else if (backend == "dry-run") {
    options.backend = Backend::kDryRun;
  } else {
    error = "--backend: '" + backend + "' is not " + kBackendNames;
    return false;
  }
  if (dryRun && options.backend != Backend::kDryRun) {
    error = "--dry-run and --backend " + backend + " contradict each other";
    return false;
  }
  return true;
}

}  // namespace jskeys
