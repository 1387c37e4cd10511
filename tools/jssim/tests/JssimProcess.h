#pragma once
// The jssim program run as a child process, as a test bench uses it: started, waited for,
// talked to, and stopped by a signal.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace jssim_test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Sanitizer builds start slowly; never reached when all is well.
inline constexpr auto kPatience = 10s;

// Reads what is there on a non-blocking fd, waiting up to `wait` for the first byte.
inline bool ReadSome(int fd, std::string& into, std::chrono::milliseconds wait) {
  pollfd p = {fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return false;
  char buffer[512];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n <= 0) return false;
  into.append(buffer, static_cast<std::size_t>(n));
  return true;
}

class Tool {
 public:
  // closeStdout: started with standard output closed, as a careless service manager might.
  explicit Tool(std::vector<std::string> args, bool closeStdout = false) {
    int toOut[2], toErr[2];
    if (::pipe2(toOut, O_CLOEXEC) != 0 || ::pipe2(toErr, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (closeStdout) {
      posix_spawn_file_actions_addclose(&actions, 1);
    } else {
      posix_spawn_file_actions_adddup2(&actions, toOut[1], 1);
    }
    posix_spawn_file_actions_adddup2(&actions, toErr[1], 2);
    args.insert(args.begin(), JSSIM_PROGRAM);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, JSSIM_PROGRAM, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(toOut[1]);
    ::close(toErr[1]);
    out_ = toOut[0];
    err_ = toErr[0];
  }
  ~Tool() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
    if (err_ >= 0) ::close(err_);
  }

  bool running() const { return pid_ > 0; }
  // Waits until stdout holds `text`.
  bool WaitForOutput(const std::string& text) {
    const auto deadline = Clock::now() + kPatience;
    while (out.find(text) == std::string::npos) {
      if (Clock::now() >= deadline || (!ReadSome(out_, out, 100ms) && Exited())) return false;
    }
    return true;
  }
  void Signal(int signal) const { ::kill(pid_, signal); }
  // The exit status, once the program has ended; stdout and stderr are then read to the end.
  std::optional<int> ExitStatus() {
    const auto deadline = Clock::now() + kPatience;
    while (!Exited() && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
    if (pid_ > 0) return std::nullopt;
    while (ReadSome(out_, out, 0ms)) {
    }
    while (ReadSome(err_, err, 0ms)) {
    }
    if (!WIFEXITED(status_)) return 1000 + WTERMSIG(status_);
    return WEXITSTATUS(status_);
  }

  std::string out, err;

 private:
  bool Exited() {
    if (pid_ > 0 && ::waitpid(pid_, &status_, WNOHANG) == pid_) pid_ = -1;
    return pid_ <= 0;
  }

  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  int status_ = 0;
};

}  // namespace jssim_test
