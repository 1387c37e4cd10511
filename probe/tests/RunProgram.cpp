#include "RunProgram.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

extern char** environ;

namespace {

// The log folds a run of equal lines into the first one and "(last message repeated N times)";
// the tests compare line by line, so the run is laid out again here.
void AddLine(std::vector<std::string>& lines, std::string line) {
  static constexpr std::string_view kRepeated = "(last message repeated ";
  const std::size_t prefixEnd = line.find("] ");
  if (!lines.empty() && prefixEnd != std::string::npos && line.front() == '[' &&
      line.compare(prefixEnd + 2, kRepeated.size(), kRepeated) == 0 &&
      lines.back().compare(0, prefixEnd + 2, line, 0, prefixEnd + 2) == 0) {
    const std::string previous = lines.back();
    for (int n = std::atoi(line.c_str() + prefixEnd + 2 + kRepeated.size()); n > 0; --n) {
      lines.push_back(previous);
    }
    return;
  }
  lines.push_back(std::move(line));
}

}  // namespace

ProgramRun RunProgram(const std::string& path, const std::vector<std::string>& arguments,
                      const std::vector<std::string>& environment) {
  ProgramRun run;
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    bool replaced = false;
    for (const std::string& added : environment) {
      if (text.substr(0, text.find('=') + 1) == added.substr(0, added.find('=') + 1)) replaced = true;
    }
    if (!replaced) env.push_back(text);
  }
  env.insert(env.end(), environment.begin(), environment.end());

  std::vector<char*> argv = {const_cast<char*>(path.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);

  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
  pid_t child = 0;
  const int spawned = posix_spawn(&child, path.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (spawned != 0) {
    close(pipeFds[0]);
    return run;
  }
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(pipeFds[0], buffer, sizeof buffer);
    if (got > 0) {
      run.standardError.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
  close(pipeFds[0]);
  int status = 0;
  rusage usage{};
  while (wait4(child, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
  run.maxRssKiB = usage.ru_maxrss;
  run.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  std::size_t start = 0;
  while (start < run.standardError.size()) {
    std::size_t end = run.standardError.find('\n', start);
    if (end == std::string::npos) end = run.standardError.size();
    AddLine(run.lines, run.standardError.substr(start, end - start));
    start = end + 1;
  }
  return run;
}
