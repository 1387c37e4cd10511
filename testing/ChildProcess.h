#pragma once
// A program of ours run by a test or a benchmark as a child process: its standard output read
// line by line as it comes, its standard error kept whole in an unnamed file (so a child that
// writes much never blocks on it), its exit status, and what it cost.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace jstesting {

using namespace std::chrono_literals;

// Sanitizer builds start and end slowly; never reached when all is well.
inline constexpr std::chrono::milliseconds kPatience = 10s;

// Where the child's standard error goes: a file the test reads (Errors), the pipe standard
// output goes to (`2>&1`), a pipe nobody reads (a stalled reader), or a pipe whose reader has
// already gone (writes fail with EPIPE).
enum class StderrTo { kFile, kOutput, kUnreadPipe, kGonePipe };

struct ChildSetup {
  // NAME=value, added to ours (replacing a variable of the same name).
  std::vector<std::string> environment{};
  // Exactly `environment` (and the sanitizers' settings), nothing of ours.
  bool ownEnvironment = false;
  std::vector<int> closeDescriptors{};  // of 0 to 2, those the child starts with closed
  StderrTo stderrTo = StderrTo::kFile;
  bool discardOutput = false;       // standard output to /dev/null
};

class ChildProcess {
 public:
  // What WaitForExit gives when the child has not ended in time, and what it adds to the number
  // of a signal that ended it (a status of 128 + N is a program's own answer to signal N).
  static constexpr int kStillRunning = -1;
  static constexpr int kKilledBy = 1000;
  static constexpr int kNoWineProcess = -2;  // QuitUnderWine found none to signal

  ChildProcess() = default;
  ~ChildProcess();  // kills what is still running and reaps it
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&&) = delete;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // `words` are the program's path and its arguments.
  bool Start(const std::vector<std::string>& words, const ChildSetup& setup = {});
  bool Running() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  // The one process the child started (the program a wrapper such as timeout runs), or -1.
  pid_t OnlyChild() const;

  // The next line of standard output, or "" when none comes in time or the output ended.
  std::string NextLine(std::chrono::milliseconds timeout = 5s);
  // Everything still to come on standard output, until it ends or the time runs out.
  std::string RestOfOutput(std::chrono::milliseconds timeout = 5s);
  // Waits until standard output, all of it so far, holds `text`.
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout = kPatience);
  // All of standard output read so far, lines already taken included.
  const std::string& Output() const { return all_; }
  // As a reader that has read all it wanted (`tool | head -1`).
  void CloseOutput();

  // All of standard error so far.
  std::string Errors() const;
  bool WaitForError(const std::string& text, std::chrono::milliseconds timeout = kPatience) const;

  // The exit status; kKilledBy + N when signal N ended it; kStillRunning when it has not ended.
  int WaitForExit(std::chrono::milliseconds timeout = kPatience);
  void Signal(int signal) const;
  // Signal, then WaitForExit.
  int Stop(int signal, std::chrono::milliseconds timeout = kPatience);
  // A SIGQUIT to a Windows program under Wine, which ends only the thread it lands on, then
  // WaitForExit. It goes to the Wine process (the only child, so that timeout's kill-after never
  // starts) once the line has been quiet for half a second: Wine makes and ends a thread of its
  // own for each wait on a port, and a signal landing on one being made or ended crashes Wine
  // itself (the process dies of SIGSEGV) before anything of the program runs.
  int QuitUnderWine(std::chrono::milliseconds timeout);

  // Once it has ended.
  long MaxRssKiB() const { return maxRssKiB_; }
  double CpuSeconds() const { return cpuSeconds_; }

 private:
  bool ReadSome(std::chrono::milliseconds wait);

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;           // the unnamed file the child writes standard error to
  int unreadPipe_ = -1;    // the read end nobody reads, held open
  std::string all_;
  std::size_t taken_ = 0;  // how much of all_ NextLine has given out
  int status_ = kStillRunning;
  long maxRssKiB_ = 0;
  double cpuSeconds_ = 0;
};

// A run to the end: the exit status and standard error, split into lines with the log's folded
// repeats laid out again ("(last message repeated N times)" becomes N copies of the line).
struct ProgramRun {
  int exitStatus = -1;  // -1: did not run or did not exit normally
  std::string standardError;
  std::vector<std::string> lines;
  long maxRssKiB = 0;
  double cpuSeconds = 0;
};
ProgramRun RunProgram(const std::string& path, const std::vector<std::string>& arguments,
                      const std::vector<std::string>& environment);

}  // namespace jstesting
