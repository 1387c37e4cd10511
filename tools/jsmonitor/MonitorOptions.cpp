#include "MonitorOptions.h"

#include <cerrno>
#include <cstdlib>

const char* const kMonitorUsage =
    "Usage: jsmonitor [--port N] [--s-modifiers MASK] [--c-modifiers MASK] [--reset]\n"
    "\n"
    "Finds the jog/shuttle controller on COM1 to COM7 (or opens COM N), then shows every\n"
    "change of its state: the keys held, the keys pressed by modifier class (K: none held,\n"
    "S: an S modifier held, C: a C modifier held, SC: both), the jog sums and the shuttle.\n"
    "On a terminal one status line is kept up to date; otherwise one line is printed per\n"
    "change. Changes that come closer together than the screen is updated are shown merged.\n"
    "The link's log goes to standard error ([category:level] message); 2>/dev/null hides it.\n"
    "\n"
    "  --port N            use COM N only (1 and up)\n"
    "  --s-modifiers MASK  key bits that act as S modifiers, e.g. 0x40 for key 5\n"
    "  --c-modifiers MASK  key bits that act as C modifiers, e.g. 0x80 for key 6\n"
    "                      key bits: K0 0x100, K1 0x200, K2 0x400, K3 0x800, K4 0x1000,\n"
    "                      K5 0x40, K6 0x80, K7 0x4000, K8 0x2000\n"
    "  --reset             reset the controller state first\n"
    "  --help              this text\n"
    "\n"
    "Ports on Linux: with JS_PORT_DIR set, COM N is the entry comN there; else /dev/ttyS{N-1}.\n"
    "Ends on SIGINT or SIGTERM (Ctrl-C) with status 0, the port released. Exit status 1: no\n"
    "controller answered or the port could not be opened; 2: the command line was not understood.\n";

namespace {

bool ParseNumber(const std::string& text, std::uint32_t& value) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0' || parsed > 0xFFFFFFFFull) return false;
  value = static_cast<std::uint32_t>(parsed);
  return true;
}

}  // namespace

bool ParseMonitorOptions(const std::vector<std::string>& arguments, MonitorOptions& options,
                         std::string& error) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string name = arguments[i];
    std::string value;
    bool hasValue = false;
    if (const std::size_t equals = name.find('='); name.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = name.substr(equals + 1);
      name = name.substr(0, equals);
      hasValue = true;
    }
    auto takeNumber = [&](std::uint32_t& target) {
      if (!hasValue) {
        if (i + 1 >= arguments.size()) {
          error = name + " needs a value";
          return false;
        }
        value = arguments[++i];
      }
      if (!ParseNumber(value, target)) {
        error = name + ": '" + value + "' is not a number (decimal, or hex with 0x)";
        return false;
      }
      return true;
    };
    if (name == "--help" || name == "-h") {
      options.help = true;
    } else if (name == "--reset" && !hasValue) {
      options.reset = true;
    } else if (name == "--port") {
      if (!takeNumber(options.port)) return false;
      if (options.port == 0) {
        error = "--port: ports are numbered from 1";
        return false;
      }
    } else if (name == "--s-modifiers") {
      if (!takeNumber(options.sModifiers)) return false;
    } else if (name == "--c-modifiers") {
      if (!takeNumber(options.cModifiers)) return false;
    } else {
      error = "unknown argument '" + arguments[i] + "'";
      return false;
    }
  }
  return true;
}
