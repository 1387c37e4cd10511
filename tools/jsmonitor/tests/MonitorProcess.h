#pragma once
// The real jsmonitor binary in a child process, its standard output read line by line as it
// comes; for the tests and the benchmark.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

// How its standard descriptors are set up.
struct MonitorHow {
  bool closeStandard = false;     // start it with descriptors 0 to 2 closed
  bool unreadStderrPipe = false;  // standard error into a pipe no one reads
};

class MonitorProcess {
 public:
  using How = MonitorHow;

  MonitorProcess() = default;
  ~MonitorProcess() {
    if (child_ > 0) {
      ::kill(child_, SIGKILL);
      ::waitpid(child_, nullptr, 0);
    }
    CloseOutput();
    if (stderrPipe_ >= 0) ::close(stderrPipe_);
  }
  MonitorProcess(const MonitorProcess&) = delete;
  MonitorProcess& operator=(const MonitorProcess&) = delete;

  // JS_PORT_DIR is the only variable it gets; standard error goes to `stderrPath`.
  bool Start(const std::string& program, const std::vector<std::string>& arguments,
             const std::string& portDir, const std::string& stderrPath, How how = {}) {
    std::vector<std::string> words = {program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::string portVariable = "JS_PORT_DIR=" + portDir;
    std::vector<char*> envp = {portVariable.data(), nullptr};
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    int errs[2] = {-1, -1};
    if (how.unreadStderrPipe && ::pipe2(errs, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (how.closeStandard) {
      for (int fd = 0; fd <= 2; ++fd) posix_spawn_file_actions_addclose(&actions, fd);
    } else {
      posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
      if (how.unreadStderrPipe) {
        posix_spawn_file_actions_adddup2(&actions, errs[1], STDERR_FILENO);
      } else {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
      }
    }
    const int spawned = posix_spawn(&child_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    out_ = fds[0];
    if (how.unreadStderrPipe) {
      ::close(errs[1]);
      stderrPipe_ = errs[0];
    }
    if (spawned != 0) child_ = -1;
    return spawned == 0;
  }

  // The next line of standard output, or "" when none comes in time or the output ended.
  std::string NextLine(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (const std::size_t end = pending_.find('\n'); end != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || out_ < 0) return "";
      pollfd fd = {out_, POLLIN, 0};
      if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[512];
      const ssize_t got = ::read(out_, buffer, sizeof buffer);
      if (got <= 0) return "";
      pending_.append(buffer, static_cast<std::size_t>(got));
    }
  }

  // Everything still to come on standard output, until it ends or the time runs out.
  std::string RestOfOutput(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string text;
    text.swap(pending_);
    while (out_ >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd fd = {out_, POLLIN, 0};
      if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[512];
      const ssize_t got = ::read(out_, buffer, sizeof buffer);
      if (got <= 0) break;
      text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
  }

  // Sends `signal` and returns the exit status, or -1 when it did not end in time.
  int Signal(int signal, std::chrono::milliseconds timeout) {
    ::kill(child_, signal);
    return WaitForExit(timeout);
  }

  // The exit status, -1 when it did not end in time or ended by a signal.
  int WaitForExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (::waitpid(child_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    child_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // As a reader that has read all it wanted (`jsmonitor | head -1`).
  void CloseOutput() {
    if (out_ >= 0) ::close(out_);
    out_ = -1;
  }

 private:
  pid_t child_ = -1;
  int out_ = -1;
  int stderrPipe_ = -1;
  std::string pending_;
};
