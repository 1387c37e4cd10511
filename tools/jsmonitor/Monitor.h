#pragma once
// jsmonitor's course: find the controller, show its state until the line goes down, look for
// it again, and so on until a stop is requested (or, with --once, until the first loss).

#include <chrono>
#include <functional>
#include <string>

#include "ControllerSearch.h"
#include "Display.h"
#include "MonitorOptions.h"
#include "Recorder.h"
#include "SerialJS.h"

class Monitor {
 public:
  // `quietLog(true)`: the search for a returning controller has begun, keep the log to
  // failures; false: it is over, log as before.
  Monitor(const MonitorOptions& options, Display& out, Recorder& recorder,
          std::function<void(bool)> quietLog);
  // The exit status.
  int Run();

  // How often a stop and the output are looked at while no change comes.
  static constexpr std::chrono::milliseconds kLookInterval{80};
  // Changes taken at once before the screen is drawn.
  static constexpr int kChangesAtOnce = 256;

 private:
  enum class Outcome { kStopped, kLost, kOutputFailed };

  std::unique_ptr<SerialJS> SearchUntilFound();
  Outcome Watch(SerialJS& link);
  int End(Outcome outcome);
  bool Say(const std::string& line);

  const MonitorOptions& options_;
  Display& out_;
  Recorder& recorder_;
  std::function<void(bool)> quietLog_;
  jsprogram::ControllerSearch search_;
};
