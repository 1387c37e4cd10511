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
  bool help = false;
};

// False with `error` set when the arguments are not understood.
bool ParseMonitorOptions(const std::vector<std::string>& arguments, MonitorOptions& options,
                         std::string& error);

extern const char* const kMonitorUsage;
