#pragma once
// Runs a program of ours as a child process and collects its exit status and its log lines.

#include <string>
#include <vector>

struct ProgramRun {
  int exitStatus = -1;  // -1: did not run or did not exit normally
  std::string standardError;
  std::vector<std::string> lines;  // standard error split into lines
  long maxRssKiB = 0;
  double cpuSeconds = 0;
};

// `environment` entries are NAME=value, added to (or replacing in) our own environment.
ProgramRun RunProgram(const std::string& path, const std::vector<std::string>& arguments,
                      const std::vector<std::string>& environment);
