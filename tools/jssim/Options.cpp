#include "Options.h"

#include <CLI/CLI.hpp>
#include <charconv>
#include <cstdint>
#include <string_view>
#include <vector>

#include "StrictNumbers.h"

namespace jssim {

const char* const kUsage =
    "usage: jssim --link PATH [options]\n"
    "Plays a jog/shuttle controller on a pseudo-terminal whose slave side is linked as PATH.\n"
    "\n"
    "  --link PATH              where to put the symlink to the slave device (required; must\n"
    "                           not exist yet)\n"
    "  --status C0,C1,C2        values of the status replies (default 0x0001,0,0)\n"
    "  --silent                 never answer get-status requests\n"
    "  --answer-from N          answer get-status requests from the N-th one on (default 1)\n"
    "  --init TEXT              send TEXT as an init-text message after each reset\n"
    "  --hang-up-after N        close the line right after the N-th get-status request\n"
    "  --script SCRIPT          play SCRIPT (see below)\n"
    "  --script-file FILE       play the script in FILE (a regular file of at most 1 MiB)\n"
    "  --start-after-handshake  start the script once the first get-status request has been\n"
    "                           answered (default: at once)\n"
    "  --replay FILE            once the first get-status request has been answered, send what\n"
    "                           a recording holds (jsmonitor --record) with its timing\n"
    "  --replay-speed X         play the recording X times as fast (0.001 to 1000, default 1)\n"
    "  --quiet                  report nothing but the ready line\n"
    "  --timestamps             end each report with \" @ SECONDS.MICRO\" since 1970 by the\n"
    "                           system clock: when it was made, for a send just before the\n"
    "                           bytes were written (to set against another clock's readings)\n"
    "  --help                   show this and end\n"
    "\n"
    "Numbers are decimal or 0x hexadecimal, without sign or spaces. Script commands, separated\n"
    "by ';' or newlines, '#' comments:\n"
    "  press K, release K, tap K (K 0..8); jog N; shuttle S; jogshuttle J S (-128..127);\n"
    "  init TEXT or init \"TEXT\" (escapes \\\" \\\\ \\xHH); raw HEX HEX ...; wait MS; hangup\n"
    "A recording has a line per read: milliseconds since the link opened, then the bytes in\n"
    "hex (\"12 40 41\"); '#' lines are comments.\n"
    "\n"
    "Prints \"jssim: ready PATH -> SLAVE\" once the link exists, then a line per thing received\n"
    "and sent. After the script it keeps answering until SIGINT, SIGTERM or SIGHUP. The link\n"
    "goes when the line hangs up (hangup, --hang-up-after) or at such a signal, whichever comes\n"
    "first. Exit status: 0 after a signal, 1 when the line cannot be set up (PATH exists, for\n"
    "one), 2 for a bad command line, script or recording.\n";

namespace {

// A number on the command line: decimal or 0x hexadecimal, within [min, max].
bool ParseNumber(std::string_view text, std::uint32_t min, std::uint32_t max,
                 std::uint32_t& value) {
  std::uint32_t parsed = 0;
  if (!jsprogram::ParseMask(text, parsed) || parsed < min || parsed > max) return false;
  value = parsed;
  return true;
}

bool ParseStatus(std::string_view text, SimOptions& sim) {
  std::uint32_t values[3];
  const std::uint32_t limits[3] = {0xFFFF, 0xFF, 0xFF};
  for (int i = 0; i < 3; ++i) {
    const std::size_t comma = text.find(',');
    if ((comma == std::string_view::npos) != (i == 2)) return false;
    if (!ParseNumber(text.substr(0, comma), 0, limits[i], values[i])) return false;
    if (i < 2) text.remove_prefix(comma + 1);
  }
  sim.statusC0 = static_cast<std::uint16_t>(values[0]);
  sim.statusC1 = static_cast<std::uint8_t>(values[1]);
  sim.statusC2 = static_cast<std::uint8_t>(values[2]);
  return true;
}

[[noreturn]] void Refuse(const std::string& name, const std::string& text, const char* what) {
  throw CLI::ValidationError(name, "'" + text + "' " + what);
}

// An option that takes one value, given once, checked by `take` (which throws to refuse).
template <typename Take>
CLI::Option* AddValue(CLI::App& app, const std::string& name, const std::string& typeName,
                      Take take) {
  CLI::Option* option = app.add_option_function<std::string>(
      name, [name, take](const std::string& text) { take(name, text); });
  option->type_name(typeName)->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  return option;
}

}  // namespace

bool ParseReplaySpeed(std::string_view text, double& value) {
  // Digits with at most one '.' between them: no sign, exponent, "inf" or spaces.
  const std::size_t dot = text.find('.');
  const std::string_view whole = text.substr(0, dot);
  const std::string_view fraction =
      dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
  const auto digits = [](std::string_view part) {
    return !part.empty() && part.size() <= 12 &&
           part.find_first_not_of("0123456789") == std::string_view::npos;
  };
  if (!digits(whole) || (dot != std::string_view::npos && !digits(fraction))) return false;
  double parsed = 0;
  const auto [end, code] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (code != std::errc() || end != text.data() + text.size()) return false;
  if (parsed < kMinReplaySpeed || parsed > kMaxReplaySpeed) return false;
  value = parsed;
  return true;
}

bool ParseArguments(std::span<const char* const> args, ToolOptions& options, std::string& error) {
  CLI::App app("jssim");
  app.set_help_flag();  // --help is ours: the usage above, and no --link needed with it
  app.add_flag("-h,--help", options.help);
  const auto noValue = [](CLI::Option* flag) { flag->disable_flag_override(); };
  noValue(app.add_flag("--silent", options.sim.silent));
  noValue(app.add_flag("--quiet", options.quiet));
  noValue(app.add_flag("--timestamps", options.timestamps));
  noValue(app.add_flag("--start-after-handshake", options.startAfterHandshake));

  AddValue(app, "--link", "PATH", [&](const std::string& name, const std::string& text) {
    if (text.empty()) Refuse(name, text, "is no path");
    options.linkPath = text;
  });
  AddValue(app, "--status", "C0,C1,C2", [&](const std::string& name, const std::string& text) {
    if (!ParseStatus(text, options.sim)) {
      Refuse(name, text, "is not C0,C1,C2 (0..0xffff,0..0xff,0..0xff)");
    }
  });
  AddValue(app, "--answer-from", "N", [&](const std::string& name, const std::string& text) {
    if (!ParseNumber(text, 1, UINT32_MAX, options.sim.answerFrom)) {
      Refuse(name, text, "is not a count from 1 on");
    }
  });
  AddValue(app, "--hang-up-after", "N", [&](const std::string& name, const std::string& text) {
    if (!ParseNumber(text, 0, UINT32_MAX, options.sim.hangUpAfterRequests)) {
      Refuse(name, text, "is not a count");
    }
  });
  AddValue(app, "--init", "TEXT", [&](const std::string& name, const std::string& text) {
    if (text.size() > kMaxInitText) Refuse(name, text, "is longer than 253 bytes");
    options.sim.initText = text;
    options.sim.sendInit = true;
  });
  CLI::Option* script =
      AddValue(app, "--script", "SCRIPT", [&](const std::string&, const std::string& text) {
        options.hasScript = true;
        options.script = text;
      });
  CLI::Option* scriptFile =
      AddValue(app, "--script-file", "FILE", [&](const std::string& name, const std::string& text) {
        if (text.empty()) Refuse(name, text, "is no path");
        options.hasScript = true;
        options.scriptFile = text;
      });
  CLI::Option* replay =
      AddValue(app, "--replay", "FILE", [&](const std::string& name, const std::string& text) {
        if (text.empty()) Refuse(name, text, "is no path");
        options.replayFile = text;
      });
  AddValue(app, "--replay-speed", "X", [&](const std::string& name, const std::string& text) {
    if (!ParseReplaySpeed(text, options.replaySpeed)) {
      Refuse(name, text, "is not a speed (a decimal factor from 0.001 to 1000)");
    }
  });
  script->excludes(scriptFile);
  replay->excludes(script)->excludes(scriptFile);

  // CLI11 takes the arguments last first.
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& failure) {
    error = failure.what();
    return false;
  }
  if (!options.help && options.linkPath.empty()) {
    error = "--link PATH is required";
    return false;
  }
  return true;
}

}  // namespace jssim
