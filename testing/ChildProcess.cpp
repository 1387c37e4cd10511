#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

extern char** environ;

namespace jstesting {
namespace {

using Clock = std::chrono::steady_clock;

std::string NameOf(const std::string& entry) { return entry.substr(0, entry.find('=') + 1); }

std::vector<std::string> EnvironmentFor(const ChildSetup& setup) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    bool keep = !setup.ownEnvironment;
    // The program runs under the same sanitizer settings as the test, whatever else it gets.
    for (const char* name : {"ASAN_OPTIONS=", "UBSAN_OPTIONS=", "LSAN_OPTIONS=", "TSAN_OPTIONS="}) {
      if (text.rfind(name, 0) == 0) keep = true;
    }
    for (const std::string& added : setup.environment) {
      if (NameOf(text) == NameOf(added)) keep = false;
    }
    if (keep) result.push_back(text);
  }
  result.insert(result.end(), setup.environment.begin(), setup.environment.end());
  return result;
}

int OpenUnnamedFile() {
  const int fd = ::open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  char name[] = "/tmp/js-child-XXXXXX";  // file systems without O_TMPFILE
  const int made = ::mkostemp(name, O_CLOEXEC);
  if (made >= 0) ::unlink(name);
  return made;
}

void Close(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      out_(std::exchange(other.out_, -1)),
      err_(std::exchange(other.err_, -1)),
      unreadPipe_(std::exchange(other.unreadPipe_, -1)),
      all_(std::move(other.all_)),
      taken_(other.taken_),
      status_(other.status_),
      maxRssKiB_(other.maxRssKiB_),
      cpuSeconds_(other.cpuSeconds_) {}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  Close(out_);
  Close(err_);
  Close(unreadPipe_);
}

bool ChildProcess::Start(const std::vector<std::string>& words, const ChildSetup& setup) {
  if (pid_ > 0 || words.empty()) return false;
  std::vector<std::string> argvText = words;
  std::vector<std::string> envText = EnvironmentFor(setup);
  std::vector<char*> argv, envp;
  for (std::string& word : argvText) argv.push_back(word.data());
  argv.push_back(nullptr);
  for (std::string& entry : envText) envp.push_back(entry.data());
  envp.push_back(nullptr);

  int out[2] = {-1, -1};
  int unread[2] = {-1, -1};
  Close(out_);
  Close(err_);
  Close(unreadPipe_);
  err_ = OpenUnnamedFile();
  if (err_ < 0 || ::pipe2(out, O_CLOEXEC) != 0) return false;
  const bool stderrPipe =
      setup.stderrTo == StderrTo::kUnreadPipe || setup.stderrTo == StderrTo::kGonePipe;
  if (stderrPipe && ::pipe2(unread, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (setup.discardOutput) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  }
  const int stderrFrom = setup.stderrTo == StderrTo::kOutput ? out[1] : stderrPipe ? unread[1] : err_;
  posix_spawn_file_actions_adddup2(&actions, stderrFrom, STDERR_FILENO);
  for (const int fd : setup.closeDescriptors) posix_spawn_file_actions_addclose(&actions, fd);
  const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  out_ = out[0];
  if (unread[1] >= 0) ::close(unread[1]);
  unreadPipe_ = unread[0];
  if (setup.stderrTo == StderrTo::kGonePipe) Close(unreadPipe_);
  all_.clear();
  taken_ = 0;
  status_ = kStillRunning;
  if (spawned != 0) pid_ = -1;
  return spawned == 0;
}

bool ChildProcess::ReadSome(std::chrono::milliseconds wait) {
  if (out_ < 0) return false;
  pollfd ready = {out_, POLLIN, 0};
  if (::poll(&ready, 1, static_cast<int>(wait.count())) <= 0) return false;
  char buffer[4096];
  const ssize_t got = ::read(out_, buffer, sizeof buffer);
  if (got <= 0) {
    if (got == 0 || errno != EINTR) Close(out_);
    return false;
  }
  all_.append(buffer, static_cast<std::size_t>(got));
  return true;
}

std::string ChildProcess::NextLine(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (const std::size_t end = all_.find('\n', taken_); end != std::string::npos) {
      std::string line = all_.substr(taken_, end - taken_);
      taken_ = end + 1;
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || out_ < 0) return "";
    ReadSome(left);
  }
}

std::string ChildProcess::RestOfOutput(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (out_ >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    ReadSome(left);
  }
  std::string rest = all_.substr(taken_);
  taken_ = all_.size();
  return rest;
}

bool ChildProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (all_.find(text) == std::string::npos) {
    if (Clock::now() >= deadline || out_ < 0) return false;
    ReadSome(100ms);
  }
  return true;
}

void ChildProcess::CloseOutput() { Close(out_); }

std::string ChildProcess::Errors() const {
  std::string text;
  if (err_ < 0) return text;
  char buffer[4096];
  for (off_t at = 0;;) {
    const ssize_t got = ::pread(err_, buffer, sizeof buffer, at);
    if (got <= 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
    at += got;
  }
  return text;
}

bool ChildProcess::WaitForError(const std::string& text, std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  while (Errors().find(text) == std::string::npos) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

int ChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return status_;
  const auto deadline = Clock::now() + timeout;
  int status = 0;
  rusage usage{};
  for (;;) {
    const pid_t ended = ::wait4(pid_, &status, WNOHANG, &usage);
    if (ended == pid_) break;
    if (ended < 0 && errno != EINTR) return kStillRunning;
    if (Clock::now() > deadline) return kStillRunning;
    // Keeps the output moving, so a child that writes much is never stuck on a full pipe.
    if (!ReadSome(10ms)) std::this_thread::sleep_for(1ms);
  }
  pid_ = -1;
  maxRssKiB_ = usage.ru_maxrss;
  cpuSeconds_ = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : kKilledBy + WTERMSIG(status);
  while (ReadSome(0ms)) {
  }
  return status_;
}

int ChildProcess::QuitUnderWine(std::chrono::milliseconds timeout) {
  std::this_thread::sleep_for(500ms);  // the callers send nothing meanwhile
  const pid_t wine = OnlyChild();
  if (wine <= 0 || ::kill(wine, SIGQUIT) != 0) return kNoWineProcess;
  return WaitForExit(timeout);
}

pid_t ChildProcess::OnlyChild() const {
  if (pid_ <= 0) return -1;
  const std::string self = std::to_string(pid_);
  std::ifstream file("/proc/" + self + "/task/" + self + "/children");
  pid_t child = -1;
  file >> child;
  return child > 0 ? child : -1;
}

void ChildProcess::Signal(int signal) const {
  if (pid_ > 0) ::kill(pid_, signal);
}

int ChildProcess::Stop(int signal, std::chrono::milliseconds timeout) {
  Signal(signal);
  return WaitForExit(timeout);
}

namespace {

// The log folds a run of equal lines into the first one and "(last message repeated N times)";
// tests compare line by line, so the run is laid out again here.
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
  std::vector<std::string> words = {path};
  words.insert(words.end(), arguments.begin(), arguments.end());
  ChildProcess child;
  if (!child.Start(words, {.environment = environment, .discardOutput = true})) return run;
  const int status = child.WaitForExit(120s);
  if (status == ChildProcess::kStillRunning) child.Stop(SIGKILL);
  run.exitStatus = status >= 0 && status < ChildProcess::kKilledBy ? status : -1;
  run.standardError = child.Errors();
  run.maxRssKiB = child.MaxRssKiB();
  run.cpuSeconds = child.CpuSeconds();
  std::size_t start = 0;
  while (start < run.standardError.size()) {
    std::size_t end = run.standardError.find('\n', start);
    if (end == std::string::npos) end = run.standardError.size();
    AddLine(run.lines, run.standardError.substr(start, end - start));
    start = end + 1;
  }
  return run;
}

}  // namespace jstesting
