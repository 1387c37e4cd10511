#include "Options.h"

#include <limits>
#include <string_view>

#include "Text.h"

namespace jssim {

const char* const kUsage =
    "usage: jssim --link PATH [options]\n"
    "Plays a jog/shuttle controller on a pseudo-terminal whose slave side is linked as PATH.\n"
    "\n"
    "  --link PATH              where to put the symlink to the slave device (required)\n"
    "  --status C0,C1,C2        values of the status replies (default 0x0001,0,0)\n"
    "  --silent                 never answer get-status requests\n"
    "  --answer-from N          answer get-status requests from the N-th one on (default 1)\n"
    "  --init TEXT              send TEXT as an init-text message after each reset\n"
    "  --hang-up-after N        close the line right after the N-th get-status request\n"
    "  --script SCRIPT          play SCRIPT (see below)\n"
    "  --script-file FILE       play the script in FILE\n"
    "  --start-after-handshake  start the script once the first get-status request has been\n"
    "                           answered (default: at once)\n"
    "  --quiet                  report nothing but the ready line\n"
    "  --help                   show this and end\n"
    "\n"
    "Numbers are decimal or 0x hexadecimal. Script commands, separated by ';' or newlines,\n"
    "'#' comments:\n"
    "  press K, release K, tap K (K 0..8); jog N; shuttle S; jogshuttle J S (-128..127);\n"
    "  init TEXT or init \"TEXT\" (escapes \\\" \\\\ \\xHH); raw HEX HEX ...; wait MS; hangup\n"
    "\n"
    "Prints \"jssim: ready PATH -> SLAVE\" once the link exists, then a line per thing received\n"
    "and sent. After the script it keeps answering until SIGINT or SIGTERM, which remove the\n"
    "link. Exit status: 0 after a signal, 1 when the line cannot be set up, 2 for a bad command\n"
    "line or script.\n";

namespace {

bool ParseStatus(std::string_view text, SimOptions& sim) {
  long long values[3];
  const long long limits[3] = {0xFFFF, 0xFF, 0xFF};
  for (int i = 0; i < 3; ++i) {
    const std::size_t comma = text.find(',');
    if ((comma == std::string_view::npos) != (i == 2)) return false;
    if (!ParseInteger(Trim(text.substr(0, comma)), 0, limits[i], values[i])) return false;
    if (i < 2) text.remove_prefix(comma + 1);
  }
  sim.statusC0 = static_cast<std::uint16_t>(values[0]);
  sim.statusC1 = static_cast<std::uint8_t>(values[1]);
  sim.statusC2 = static_cast<std::uint8_t>(values[2]);
  return true;
}

bool ParseCount(std::string_view text, long long min, std::uint32_t& value) {
  long long number = 0;
  if (!ParseInteger(text, min, std::numeric_limits<std::uint32_t>::max(), number)) return false;
  value = static_cast<std::uint32_t>(number);
  return true;
}

}  // namespace

bool ParseArguments(std::span<const char* const> args, ToolOptions& options, std::string& error) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    // "--name=value" as well as "--name value".
    std::string_view value;
    bool inlineValue = false;
    if (const std::size_t equals = arg.find('='); arg.starts_with("--") && equals != arg.npos) {
      value = arg.substr(equals + 1);
      arg = arg.substr(0, equals);
      inlineValue = true;
    }
    auto takeValue = [&]() -> bool {
      if (inlineValue) return true;
      if (i + 1 >= args.size()) {
        error = std::string(arg) + " needs a value";
        return false;
      }
      value = args[++i];
      return true;
    };
    auto bad = [&](const char* what) {
      error = std::string(arg) + ": '" + std::string(value) + "' " + what;
      return false;
    };
    auto flag = [&](bool& target) {
      if (inlineValue) return bad("takes no value");
      target = true;
      return true;
    };

    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--silent") {
      if (!flag(options.sim.silent)) return false;
    } else if (arg == "--quiet") {
      if (!flag(options.quiet)) return false;
    } else if (arg == "--start-after-handshake") {
      if (!flag(options.startAfterHandshake)) return false;
    } else if (arg == "--link") {
      if (!takeValue()) return false;
      if (value.empty()) return bad("is no path");
      options.linkPath = value;
    } else if (arg == "--status") {
      if (!takeValue()) return false;
      if (!ParseStatus(value, options.sim))
        return bad("is not C0,C1,C2 (0..0xffff,0..0xff,0..0xff)");
    } else if (arg == "--answer-from") {
      if (!takeValue()) return false;
      if (!ParseCount(value, 1, options.sim.answerFrom)) return bad("is not a count from 1 on");
    } else if (arg == "--hang-up-after") {
      if (!takeValue()) return false;
      if (!ParseCount(value, 0, options.sim.hangUpAfterRequests)) return bad("is not a count");
    } else if (arg == "--init") {
      if (!takeValue()) return false;
      if (value.size() > kMaxInitText) return bad("is longer than 253 bytes");
      options.sim.initText = value;
      options.sim.sendInit = true;
    } else if (arg == "--script" || arg == "--script-file") {
      if (!takeValue()) return false;
      if (options.hasScript) {
        error = "only one of --script and --script-file, once";
        return false;
      }
      options.hasScript = true;
      (arg == "--script" ? options.script : options.scriptFile) = value;
      if (arg == "--script-file" && value.empty()) return bad("is no path");
    } else {
      error = "unknown option '" + std::string(args[i]) + "'";
      return false;
    }
  }
  if (!options.help && options.linkPath.empty()) {
    error = "--link PATH is required";
    return false;
  }
  return true;
}

}  // namespace jssim
