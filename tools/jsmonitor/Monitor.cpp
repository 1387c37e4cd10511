#include "Monitor.h"

#include <cerrno>
#include <cstring>
#include <set>
#include <thread>

#include "StateLine.h"

Monitor::Monitor(const MonitorOptions& options, Display& out, Display& errors,
                 Recorder& recorder, MonitorHooks hooks)
    : options_(options), out_(out), errors_(errors), recorder_(recorder),
      hooks_(std::move(hooks)) {}

std::vector<std::uint32_t> Monitor::Candidates() const {
  if (options_.port != 0) return {options_.port};
  return {1, 2, 3, 4, 5, 6, 7};
}

bool Monitor::Say(const std::string& line) { return out_.Announce(line); }
void Monitor::Complain(const std::string& line) { (void)errors_.Announce("jsmonitor: " + line); }

void Monitor::ReportBusy(std::uint32_t port, bool busy, bool always) {
  bool& shown = busyShown_[port];
  if (busy && (always || !shown)) {
    Complain("COM" + std::to_string(port) + " is busy: held by another program");
  }
  shown = busy;
}

std::unique_ptr<SerialJS> Monitor::Try(std::uint32_t port) {
  auto link = std::make_unique<SerialJS>(port);
  recorder_.Attach(*link);
  if (link->Open()) {
    recorder_.Accepted();
    return link;
  }
  recorder_.Rejected();
  return nullptr;
}

std::unique_ptr<SerialJS> Monitor::SearchOnce(bool quiet, const std::vector<std::uint32_t>& ports) {
  for (const std::uint32_t port : ports) {
    if (hooks_.stopRequested()) return nullptr;
    // Decided before the link opens it, so that a port in use is never written to.
    const PortInfo info = InspectPort(port, true);
    ReportBusy(port, info.state == PortInfo::State::kBusy, !quiet);
    if (info.state == PortInfo::State::kBusy) continue;
    // Quietly, only what exists and opens is tried: a missing port would log its failure
    // every second.
    if (quiet && info.state != PortInfo::State::kFree) continue;
    if (auto link = Try(port)) return link;
  }
  return nullptr;
}

bool Monitor::Pause(std::chrono::milliseconds time) {
  const auto end = std::chrono::steady_clock::now() + time;
  for (;;) {
    if (hooks_.stopRequested()) return false;
    const auto left = end - std::chrono::steady_clock::now();
    if (left <= std::chrono::milliseconds::zero()) return true;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, kLookInterval));
  }
}

std::unique_ptr<SerialJS> Monitor::SearchUntilFound() {
  const std::vector<std::uint32_t> ports = Candidates();
  hooks_.quietLog(true);
  std::set<std::uint32_t> present;  // ports that resolved at the last look
  auto nextFull = std::chrono::steady_clock::now() + kSearchInterval;
  std::unique_ptr<SerialJS> link;
  while (!link && Pause(kAppearInterval)) {
    std::set<std::uint32_t> now;
    std::vector<std::uint32_t> appeared;
    for (const std::uint32_t port : ports) {
      if (InspectPort(port, false).state == PortInfo::State::kMissing) continue;
      now.insert(port);
      if (present.count(port) == 0) appeared.push_back(port);
    }
    present = now;
    if (std::chrono::steady_clock::now() >= nextFull) {
      nextFull = std::chrono::steady_clock::now() + kSearchInterval;
      link = SearchOnce(true, ports);
    } else if (!appeared.empty()) {
      link = SearchOnce(true, appeared);
    }
  }
  hooks_.quietLog(false);
  return link;
}

Monitor::Outcome Monitor::Watch(SerialJS& link) {
  JogShuttleState shown{};
  bool drawn = false;
  for (;;) {
    if (hooks_.stopRequested()) return Outcome::kStopped;
    if (out_.ReaderGone() || out_.Error() != 0 || !recorder_.WritePending()) {
      return Outcome::kOutputFailed;
    }
    // Read before the state, so that the changes that came before a loss are still shown.
    const bool lineUp = link.IsLineUp();
    const JogShuttleState state = link.State();
    if (!drawn || !SameShown(state, shown)) {
      if (out_.Status(StateLine(state))) {
        shown = state;
        drawn = true;
      }
    }
    if (!lineUp) return Outcome::kLost;
    (void)link.WaitForInput(static_cast<std::uint32_t>(kLookInterval.count()));
  }
}

int Monitor::End(Outcome outcome) {
  out_.Finish();
  if (outcome == Outcome::kStopped && out_.Error() == 0) {
    (void)Say("jsmonitor: stopped");
  }
  if (const int error = out_.Error(); error != 0) {
    if (error == EPIPE) return kExitDone;  // whoever read our output has all they wanted
    Complain(std::string("cannot write to standard output: ") + std::strerror(error));
    return kExitOutputFailed;
  }
  if (recorder_.Error() != 0) {
    Complain(std::string("cannot write the record file: ") + std::strerror(recorder_.Error()));
    return kExitOutputFailed;
  }
  return kExitDone;
}

int Monitor::Run() {
  std::unique_ptr<SerialJS> link = SearchOnce(false, Candidates());
  if (!link) {
    if (hooks_.stopRequested()) return End(Outcome::kStopped);
    const std::string where = options_.port != 0 ? "COM" + std::to_string(options_.port)
                                                 : std::string("COM1 to COM7");
    const bool busy = options_.port != 0 && busyShown_[options_.port];
    if (!busy) {
      Complain("no controller answered on " + where +
               (options_.port != 0 ? " (the log above says why)" : ""));
    }
    if (!options_.wait) return kExitNoController;
    Complain("looking again every second");
    link = SearchUntilFound();
    if (!link) return End(Outcome::kStopped);
  }
  for (;;) {
    const std::uint32_t port = link->PortNumber();
    link->SetModifierMasks(options_.cModifiers, options_.sModifiers);
    if (options_.reset) link->Reset();
    if (!Say("jsmonitor: controller on COM" + std::to_string(port) + DeviceSuffix(port))) {
      link->Close();
      return End(Outcome::kOutputFailed);
    }
    const Outcome outcome = Watch(*link);
    link->Close();
    link.reset();
    (void)recorder_.WritePending();
    if (outcome != Outcome::kLost) return End(outcome);
    if (!Say("jsmonitor: controller on COM" + std::to_string(port) + " disconnected")) {
      return End(Outcome::kOutputFailed);
    }
    if (options_.once) {
      out_.Finish();
      return out_.Error() != 0 && out_.Error() != EPIPE ? End(Outcome::kOutputFailed)
                                                        : kExitNoController;
    }
    link = SearchUntilFound();
    if (!link) return End(Outcome::kStopped);
  }
}
