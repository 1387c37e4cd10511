#pragma once
// jsmonitor's course: find the controller, show its state until the line goes down, look for
// it again, and so on until a stop is requested (or, with --once, until the first loss).

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "Display.h"
#include "MonitorOptions.h"
#include "PortCheck.h"
#include "Recorder.h"
#include "SerialJS.h"

struct MonitorHooks {
  std::function<bool()> stopRequested;
  // true: the search for a returning controller has begun, keep the log to failures; false: it
  // is over, log as before.
  std::function<void(bool)> quietLog;
};

class Monitor {
 public:
  Monitor(const MonitorOptions& options, Display& out, Display& errors, Recorder& recorder,
          MonitorHooks hooks);
  // The exit status.
  int Run();

  // How often the state is looked at while no input event comes: modifier keys change the held
  // keys without a report.
  static constexpr std::chrono::milliseconds kLookInterval{80};
  // How often every existing port is tried again while the controller is away; a port that
  // appears is tried at the next look, which comes this often:
  static constexpr std::chrono::milliseconds kSearchInterval{1000};
  static constexpr std::chrono::milliseconds kAppearInterval{100};

 private:
  enum class Outcome { kStopped, kLost, kOutputFailed };

  std::vector<std::uint32_t> Candidates() const;
  // One pass over the candidates. `quiet`: only ports that exist and are free are opened.
  std::unique_ptr<SerialJS> SearchOnce(bool quiet, const std::vector<std::uint32_t>& ports);
  // Looks until a controller answers or a stop is requested (null then).
  std::unique_ptr<SerialJS> SearchUntilFound();
  std::unique_ptr<SerialJS> Try(std::uint32_t port);
  void ReportBusy(std::uint32_t port, bool busy, bool always);
  Outcome Watch(SerialJS& link);
  bool Pause(std::chrono::milliseconds time);  // false when a stop came
  int End(Outcome outcome);
  bool Say(const std::string& line);
  void Complain(const std::string& line);

  const MonitorOptions& options_;
  Display& out_;
  Display& errors_;
  Recorder& recorder_;
  MonitorHooks hooks_;
  std::map<std::uint32_t, bool> busyShown_;  // ports last reported busy
};
