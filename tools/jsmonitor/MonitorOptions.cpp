#include "MonitorOptions.h"

#include <CLI/CLI.hpp>

#include "ModifierMasks.h"
#include "StrictNumbers.h"
#include "StrictOptions.h"

namespace {

const char* const kDescription =
    "Finds the jog/shuttle controller on COM1 to COM7 (or opens COM N), then shows every\n"
    "change of its state: the keys held, the keys pressed by modifier class (K: none held,\n"
    "S: an S modifier held, C: a C modifier held, SC: both), the jog sums and the shuttle.\n"
    "On a terminal one status line is kept up to date; otherwise one line is printed per\n"
    "change. Changes that come closer together than the screen is updated are shown merged.";

const char* const kFooter =
    "Key bits: K0 0x100, K1 0x200, K2 0x400, K3 0x800, K4 0x1000, K5 0x40, K6 0x80,\n"
    "K7 0x4000, K8 0x2000. Masks are decimal or hexadecimal with 0x; ports decimal 1 to 255.\n"
    "\n"
    "Standard output: \"jsmonitor: controller on COMn (device)\", then the state; when the\n"
    "line goes down \"jsmonitor: controller on COMn disconnected\", and the controller is\n"
    "looked for again (COM N with --port, else COM1 to COM7) until it answers: a port is\n"
    "tried when it appears; one that did not answer, when its device comes back or after a\n"
    "minute or more.\n"
    "The link's log goes to standard error ([category:level] message): levels 1 and 2 only\n"
    "(warnings and failures) unless -v or JS_LOG_LEVEL says otherwise; 2>/dev/null hides it.\n"
    "\n"
#if defined(_WIN32)
    "Ports: COM N is the system's COMn; the list is the system's own.\n"
    "A port another program holds is reported as busy and never written to.\n"
    "\n"
    "Ends on Ctrl-C, Ctrl-Break or closing the console within a second, the port released.\n"
#else
    "Ports on Linux: with JS_PORT_DIR set, COM N is the entry comN there; else /dev/ttyS{N-1}.\n"
    "A port another program holds is reported as busy and never written to.\n"
    "\n"
    "Ends on SIGINT (Ctrl-C), SIGTERM, SIGHUP, SIGQUIT, SIGUSR2 or SIGALRM within a second, the\n"
    "port released.\n"
#endif
    "Exit status: 0 after a signal or when standard output's reader went away; 1 no\n"
    "controller answered, the port was busy or could not be opened, or with --once the\n"
    "controller was lost; 2 the command line was not understood; 3 standard output or the\n"
    "record file could not be written.\n";

void Describe(CLI::App& app, MonitorOptions& options) {
  app.description(kDescription);
  app.footer(kFooter);
  jsprogram::AddPortOption(app, "--port", options.port, "use COM N only");
  jsprogram::AddMaskOption(app, "--s-modifiers", options.sModifiers,
                         "key bits that act as S modifiers, e.g. 0x40 for key 5");
  jsprogram::AddMaskOption(app, "--c-modifiers", options.cModifiers,
                         "key bits that act as C modifiers, e.g. 0x80 for key 6");
  app.add_flag("--reset", options.reset, "reset the controller state at each connection")
      ->disable_flag_override();
  app.add_flag("-v,--verbose", options.verbose, "log every level, traces included")
      ->disable_flag_override();
  app.add_flag("--once", options.once, "end with status 1 when the controller is lost")
      ->disable_flag_override();
  app.add_flag("--wait", options.wait,
               "when no controller answers at start, keep looking")
      ->disable_flag_override();
  app.add_flag("--list", options.list,
               "say what COM1 to COM7 lead to here (path; missing, busy, may not be opened), "
               "without writing to any port, and end")
      ->disable_flag_override();
  app.add_option("--record", options.recordPath,
                 "write every chunk the controller sends to FILE, with its time in ms")
      ->type_name("FILE")
      ->check([](const std::string& path) { return path.empty() ? "an empty path" : ""; });
}

}  // namespace

bool ParseMonitorOptions(const std::vector<std::string>& arguments, MonitorOptions& options,
                         std::string& error) {
  CLI::App app{"", "jsmonitor"};
  Describe(app, options);
  std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());  // CLI11 takes it so
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    options.help = true;
  } catch (const CLI::ParseError& e) {
    error = e.what();
    return false;
  }
  return options.help || jsprogram::CheckModifierMasks(options.sModifiers, options.cModifiers, error);
}

std::string MonitorUsage() {
  MonitorOptions ignored;
  CLI::App app{"", "jsmonitor"};
  Describe(app, ignored);
  return app.help();
}
