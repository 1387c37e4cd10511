#pragma once
// The script jssim plays towards the link: commands separated by ';' or newlines, '#' starts a
// comment that runs to the end of the line. Commands:
//   press K | release K | tap K     key K (0..8) pressed, released, or both
//   jog N                           jog steps N (-128..127)
//   shuttle S                       shuttle position S (-128..127), with no jog steps
//   jogshuttle J S                  both in one message
//   init TEXT                       an init-text message; TEXT is the rest of the command, or
//                                   "quoted" (may hold ';' and '#', escapes \" \\ \xHH)
//   raw HEX HEX ...                 bytes as given (ff or 0xff)
//   wait MS                         a pause (0..86400000 ms)
//   hangup                          close the line as if unplugged
// Numbers are decimal or 0x hexadecimal.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace jssim {

struct ScriptStep {
  enum class Kind { kSend, kWait, kHangUp };
  Kind kind;
  std::vector<std::uint8_t> bytes;  // kSend: what goes over the line, in one write
  std::uint32_t milliseconds = 0;   // kWait
  std::string what;                 // for reports: "press 3", "jog -2", ...
  int line = 0;                     // where in the script it stands (1 = the first line)
};

inline constexpr std::uint32_t kMaxWaitMs = 86'400'000;

// False with `error` set ("line 3: 'press 9': key must be 0 to 8") at the first bad command;
// `steps` is then left empty.
bool ParseScript(std::string_view text, std::vector<ScriptStep>& steps, std::string& error);

}  // namespace jssim
