// jssim: plays a jog/shuttle controller on a pseudo-terminal for the link to find and talk to.
// The main thread waits for a stop signal while a script thread plays the script (or a
// recording) and the simulator's thread answers the link; nothing busy-waits.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ControllerSim.h"
#include "Options.h"
#include "Recording.h"
#include "Script.h"
#include "Program.h"
#include "SmallFile.h"
#include "SystemText.h"
#include "Text.h"

namespace {

using jssim::RecordedChunk;
using jssim::ScriptStep;
using jssim::SimEvent;
using Clock = std::chrono::steady_clock;

// One line at a time on stdout, whole, from either thread; with time stamps, each ends with the
// system clock's time of the report, or for a send the time just before its bytes were written.
class Reporter {
 public:
  using SystemTime = std::chrono::system_clock::time_point;
  Reporter(bool quiet, bool timestamps) : quiet_(quiet), timestamps_(timestamps) {}
  void Say(const std::string& line, bool always = false) {
    Say(line, std::chrono::system_clock::now(), always);
  }
  void Say(const std::string& line, SystemTime when, bool always = false) {
    if (quiet_ && !always) return;
    std::string text = "jssim: " + line;
    if (timestamps_) {
      const auto micro =
          std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count();
      char stamp[40];
      std::snprintf(stamp, sizeof stamp, " @ %lld.%06lld", static_cast<long long>(micro / 1000000),
                    static_cast<long long>(micro % 1000000));
      text += stamp;
    }
    std::lock_guard lock(mutex_);
    std::fputs((text + "\n").c_str(), stdout);
    std::fflush(stdout);
  }

 private:
  const bool quiet_;
  const bool timestamps_;
  std::mutex mutex_;
};

std::string Describe(const SimEvent& event) {
  switch (event.kind) {
    case SimEvent::Kind::kReceivedReset:
      return "received reset";
    case SimEvent::Kind::kReceivedStatusRequest:
      return "received get status (" + std::to_string(event.number) + ")";
    case SimEvent::Kind::kReceivedUnknownByte: {
      char text[48];
      std::snprintf(text, sizeof text, "received unknown byte 0x%02x", event.number);
      return text;
    }
    case SimEvent::Kind::kSentReply:
      return "sent reply (" + std::to_string(event.number) + "): " + jssim::HexBytes(event.bytes);
    case SimEvent::Kind::kSentInit: {
      const std::string text(event.bytes.begin() + 2, event.bytes.end());
      return "sent init " + jssim::Quoted(text) + ": " + jssim::HexBytes(event.bytes);
    }
    case SimEvent::Kind::kHungUp:
      return "hung up after get status (" + std::to_string(event.number) + ")";
  }
  return "?";
}

// Plays the script on a thread of its own, so that a signal can end the run even while a send
// waits for room on a line no one reads (Stop frees it).
class ScriptPlayer {
 public:
  ScriptPlayer(const std::vector<ScriptStep>& steps, jssim::ControllerSim& sim, Reporter& reporter)
      : steps_(steps), sim_(sim), reporter_(reporter) {}

  // Sends each chunk at its time after the first answered request, scaled by `speed`. Times
  // are taken from that one start, so the pauses of a busy machine do not add up.
  void Replay(const std::vector<RecordedChunk>& chunks, double speed) {
    if (Sleep(std::nullopt, true)) return;
    const Clock::time_point start = Clock::now();
    for (const RecordedChunk& chunk : chunks) {
      const std::chrono::duration<double, std::milli> offset(
          static_cast<double>(chunk.milliseconds) / speed);
      if (Sleep(start + std::chrono::duration_cast<Clock::duration>(offset), false)) return;
      const std::string what = "recorded line " + std::to_string(chunk.line);
      const auto when = std::chrono::system_clock::now();
      if (sim_.Send(chunk.bytes)) {
        reporter_.Say("sent " + what + ": " + jssim::HexBytes(chunk.bytes), when);
      } else if (!Stopped()) {
        reporter_.Say("could not send " + what + ": the line is closed");
      }
    }
    reporter_.Say("replay done");
  }

  void Play(bool afterHandshake) {
    if (afterHandshake && Sleep(std::nullopt, true)) return;
    if (steps_.empty()) return;
    for (const ScriptStep& step : steps_) {
      if (Stopped()) return;
      switch (step.kind) {
        case ScriptStep::Kind::kSend: {
          const auto when = std::chrono::system_clock::now();
          if (sim_.Send(step.bytes)) {
            reporter_.Say("sent " + step.what + ": " + jssim::HexBytes(step.bytes), when);
          } else if (!Stopped()) {
            reporter_.Say("could not send " + step.what + " (line " + std::to_string(step.line) +
                          "): the line is closed");
          }
          break;
        }
        case ScriptStep::Kind::kWait:
          if (Sleep(Clock::now() + std::chrono::milliseconds(step.milliseconds), false)) return;
          break;
        case ScriptStep::Kind::kHangUp:
          sim_.HangUp();
          reporter_.Say("hung up");
          break;
      }
    }
    reporter_.Say("script done");
  }
  void Answered() {
    std::lock_guard lock(mutex_);
    answered_ = true;
    changed_.notify_all();
  }
  void Stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    changed_.notify_all();
  }

 private:
  bool Stopped() {
    std::lock_guard lock(mutex_);
    return stopped_;
  }
  // Until the deadline (none: no limit), Stop, or when asked the first answered request. True
  // when stopped.
  bool Sleep(std::optional<Clock::time_point> deadline, bool untilAnswered) {
    std::unique_lock lock(mutex_);
    const auto done = [&] { return stopped_ || (untilAnswered && answered_); };
    if (deadline) {
      changed_.wait_until(lock, *deadline, done);
    } else {
      changed_.wait(lock, done);
    }
    return stopped_;
  }

  const std::vector<ScriptStep>& steps_;
  jssim::ControllerSim& sim_;
  Reporter& reporter_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool answered_ = false;
  bool stopped_ = false;
};

int Fail(const std::string& message, int status) {
  jsprogram::Say(message);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything opens a file: a closed stdout would otherwise become the pseudo-terminal's
  // master, and every report would go down the line. Every stop signal ends the run with the
  // link removed.
  if (!jsprogram::Start("jssim")) return 1;
  jssim::ToolOptions options;
  std::string error;
  const std::vector<std::string> arguments = jsprogram::Arguments(argc, argv);
  std::vector<const char*> words;
  for (const std::string& argument : arguments) words.push_back(argument.c_str());
  if (!jssim::ParseArguments(words, options, error)) {
    return Fail(error + " (see --help)", 2);
  }
  if (options.help) {
    std::fputs(jssim::kUsage, stdout);
    return 0;
  }
  std::string scriptText = options.script;
  if (!options.scriptFile.empty() &&
      !jsprogram::ReadSmallFile(options.scriptFile, jsprogram::kMaxInputFile, scriptText, error)) {
    return Fail("the script file " + options.scriptFile + " " + error, 2);
  }
  std::vector<ScriptStep> steps;
  if (!jssim::ParseScript(scriptText, steps, error)) {
    const std::string where = options.scriptFile.empty() ? "" : options.scriptFile + ", ";
    return Fail("script " + where + error, 2);
  }
  std::vector<RecordedChunk> recording;
  if (!options.replayFile.empty()) {
    std::string text;
    if (!jsprogram::ReadSmallFile(options.replayFile, jsprogram::kMaxInputFile, text, error)) {
      return Fail("the recording " + options.replayFile + " " + error, 2);
    }
    int cutLine = 0;
    if (!jssim::ParseRecording(text, recording, error, &cutLine)) {
      return Fail("recording " + options.replayFile + ", " + error, 2);
    }
    if (cutLine != 0) {
      jsprogram::Say("recording " + options.replayFile + ", line " + std::to_string(cutLine) +
                     " is cut short: playing the " + std::to_string(recording.size()) +
                     " recorded lines before it");
    }
  }

  Reporter reporter(options.quiet, options.timestamps);
  jssim::ControllerSim sim;
  ScriptPlayer player(steps, sim, reporter);
  options.sim.observer = [&](const SimEvent& event) {
    reporter.Say(Describe(event));
    if (event.kind == SimEvent::Kind::kSentReply) player.Answered();
  };
  if (!sim.Start(options.linkPath, options.sim, &error)) return Fail(error, 1);
  reporter.Say("ready " + options.linkPath + " -> " + sim.SlavePath(), true);

  const bool replay = !options.replayFile.empty();
  std::thread script([&] {
    if (replay) {
      player.Replay(recording, options.replaySpeed);
    } else {
      player.Play(options.startAfterHandshake);
    }
  });
  while (!jsprogram::WaitForStop(std::chrono::hours(1))) {
  }
  player.Stop();
  sim.Stop();
  script.join();
  reporter.Say("stopped");
  return 0;
}
