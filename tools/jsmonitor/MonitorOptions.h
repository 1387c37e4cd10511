#pragma once
// jsmonitor's command line.

#include <cstdint>
#include <string>
#include <vector>

struct MonitorOptions {
  std::uint32_t port = 0;  // 0: find the controller on COM1 to COM7
  std::uint32_t sModifiers = 0;
  std::uint32_t cModifiers = 0;
  bool reset = false;
  bool verbose = false;  // every log level
  bool once = false;     // end at the first loss of the controller
  bool wait = false;     // keep looking at start when no controller answers
  bool list = false;     // say what COM1 to COM7 lead to, and end
  std::string recordPath;  // empty: no recording
  bool help = false;
};

// Exit statuses.
inline constexpr int kExitDone = 0;        // a signal, or the reader of standard output went away
inline constexpr int kExitNoController = 1;  // none answered, the port was busy, or --once lost it
inline constexpr int kExitUsage = 2;       // the command line was not understood
inline constexpr int kExitOutputFailed = 3;  // standard output or the record file failed
// The link's reader ended under it: as the SIGQUIT that (under Wine) did it ends one on Linux.
inline constexpr int kExitReaderLost = 131;

// False with `error` set when the arguments are not understood.
bool ParseMonitorOptions(const std::vector<std::string>& arguments, MonitorOptions& options,
                         std::string& error);

// The --help text.
std::string MonitorUsage();
