#include "ControllerSearch.h"

#include <algorithm>

#include "Program.h"

namespace jsprogram {

ControllerSearch::ControllerSearch(std::uint32_t port, Hooks hooks) : hooks_(std::move(hooks)) {
  if (port != 0) {
    ports_.emplace_back(port);
  } else {
    for (std::uint32_t number = 1; number <= 7; ++number) ports_.emplace_back(number);
  }
}

std::string ControllerSearch::Where() const {
  if (ports_.size() == 1) return "COM" + std::to_string(ports_.front().number);
  return "COM1 to COM7";
}

bool ControllerSearch::Busy(std::uint32_t port) const {
  return std::any_of(ports_.begin(), ports_.end(),
                     [port](const Candidate& c) { return c.number == port && c.busy; });
}

void ControllerSearch::Lost(std::uint32_t port) {
  for (Candidate& candidate : ports_) {
    if (candidate.number != port) continue;
    candidate.failedAs.reset();
    candidate.backOff = kFirstBackOff;
  }
}

bool ControllerSearch::CheckBusy(Candidate& port, const PortInfo& info, bool always) {
  const bool busy = info.state == PortInfo::State::kBusy;
  if (busy && (always || !port.busy)) {
    Say("COM" + std::to_string(port.number) + " is busy: held by another program");
  }
  port.busy = busy;
  return busy;
}

bool ControllerSearch::Due(const Candidate& port, const std::string& identity,
                           Clock::time_point now) const {
  return !port.failedAs || *port.failedAs != identity || now >= port.retryAt;
}

void ControllerSearch::Failed(Candidate& port, const std::string& identity,
                              Clock::time_point now) {
  // The same device again: wait longer each time. Another device starts afresh.
  if (port.failedAs && *port.failedAs == identity) {
    port.backOff = std::min(port.backOff * 2, std::chrono::seconds(kLongestBackOff));
  } else {
    port.backOff = kFirstBackOff;
  }
  port.failedAs = identity;
  port.retryAt = now + port.backOff;
}

std::unique_ptr<SerialJS> ControllerSearch::Try(std::uint32_t port) {
  auto link = std::make_unique<SerialJS>(port);
  if (hooks_.beforeOpen) hooks_.beforeOpen(*link);
  bool answered = false;
  {
    const PortWork opening;
    answered = link->Open();
  }
  if (hooks_.afterOpen) hooks_.afterOpen(answered);
  if (answered) return link;
  return nullptr;
}

std::unique_ptr<SerialJS> ControllerSearch::TryAll() {
  for (Candidate& port : ports_) {
    if (StopRequested()) return nullptr;
    // Looked at before the link opens it, so that a port in use is never written to.
    const PortInfo info = SerialJS::InspectPort(port.number, true);
    if (CheckBusy(port, info, true)) continue;
    if (auto link = Try(port.number)) return link;
    Failed(port, info.identity, Clock::now());
  }
  return nullptr;
}

std::unique_ptr<SerialJS> ControllerSearch::LookOnce() {
  for (Candidate& port : ports_) {
    if (StopRequested()) return nullptr;
    const Clock::time_point now = Clock::now();
    // Only names are resolved here: nothing is opened unless it is worth a try.
    const PortInfo seen = SerialJS::InspectPort(port.number, false);
    if (seen.state != PortInfo::State::kFree || !Due(port, seen.identity, now)) continue;
    if (port.busy && now < port.busyUntil) continue;  // someone else's port: not every look
    const PortInfo info = SerialJS::InspectPort(port.number, true);
    if (CheckBusy(port, info, false)) {
      port.busyUntil = now + kBusyLookEvery;
      continue;
    }
    if (info.state == PortInfo::State::kFree) {
      if (auto link = Try(port.number)) return link;
    }
    Failed(port, info.identity, Clock::now());
  }
  return nullptr;
}

std::unique_ptr<SerialJS> ControllerSearch::Watch() {
  while (!StopRequested()) {
    if (auto link = LookOnce()) return link;
    if (WaitForStop(kLookEvery)) break;
  }
  return nullptr;
}

}  // namespace jsprogram
