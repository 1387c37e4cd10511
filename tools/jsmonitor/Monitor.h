#pragma once
// jsmonitor's course: find the controller, show its state until the line goes down, look for
// it again, and so on until a stop is requested (or, with --once, until the first loss).

#include <optional>
#include <string>

#include "ControllerSearch.h"
#include "Display.h"
#include "LossNotice.h"
#include "MonitorOptions.h"
#include "Recorder.h"
#include "SerialJS.h"

class Monitor {
 public:
  Monitor(const MonitorOptions& options, Display& out, Recorder& recorder);
  // The exit status.
  int Run();

  // Changes taken at once before the screen is drawn and the rest is looked at again.
  static constexpr int kChangesAtOnce = 256;

 private:
  enum class Outcome { kStopped, kLost, kOutputFailed, kReaderLost };

  Outcome Watch(SerialJS& link);
  // Shows a batch of the link's changes; true when the line has gone down.
  bool TakeChanges(SerialJS& link);
  // The state on the screen, unless it is already there.
  void Show(const JogShuttleState& state);
  int End(Outcome outcome);
  // A line of its own on standard output (the program's messages go to standard error).
  bool Print(const std::string& line);

  const MonitorOptions& options_;
  Display& out_;
  Recorder& recorder_;
  jsprogram::ControllerSearch search_;
  // The link being watched.
  std::optional<JogShuttleState> shown_;  // none before the first is drawn
  bool redraw_ = false;  // changes were lost: the state is drawn from the link once caught up
  jsprogram::LossNotice losses_{[](std::uint64_t lost) {
    return lost == 1 ? std::string("1 change came faster than it could be shown")
                     : std::to_string(lost) + " changes came faster than they could be shown";
  }};
};
