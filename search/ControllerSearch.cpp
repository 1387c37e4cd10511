#include "ControllerSearch.h"

#include <algorithm>
#include <limits>

#include "Program.h"
#include "wPrintf.h"

namespace jsprogram {

ControllerSearch::ControllerSearch(std::uint32_t port, Hooks hooks)
    : named_(port != 0), hooks_(std::move(hooks)) {
  if (named_) {
    ports_.emplace_back(port);
  } else {
    for (std::uint32_t number = 1; number <= 7; ++number) ports_.emplace_back(number);
  }
}

std::string ControllerSearch::Where() const {
  if (named_) return "COM" + std::to_string(ports_.front().number);
  return "COM1 to COM7";
}

void ControllerSearch::Lost(std::uint32_t port) {
  for (Candidate& candidate : ports_) {
    if (candidate.number == port) Gone(candidate);
  }
}

void ControllerSearch::Gone(Candidate& port) {
  port.failedAs.reset();
  port.backOff = kFirstBackOff;
}

bool ControllerSearch::CheckBusy(Candidate& port, const PortInfo& info, bool always) {
  const bool busy = info.state == PortInfo::State::kBusy;
  if (busy && (always || !port.busy)) {
    Say("COM" + std::to_string(port.number) + " is busy: held by another program");
  }
  port.busy = busy;
  return busy;
}

bool ControllerSearch::FirstTry(const Candidate& port, const std::string& identity) {
  return !port.failedAs || *port.failedAs != identity;
}

bool ControllerSearch::Due(const Candidate& port, const std::string& identity,
                           Clock::time_point now) const {
  return FirstTry(port, identity) || now >= port.retryAt || (named_ && now >= port.nextTry);
}

void ControllerSearch::Failed(Candidate& port, const std::string& identity,
                              Clock::time_point now) {
  port.nextTry = now + kNamedRetryEvery;
  const bool first = FirstTry(port, identity);
  if (!first && now < port.retryAt) return;  // a named port's try between two steps: quiet
  // The same device again: wait longer each time. Another device starts afresh.
  port.backOff = first ? kFirstBackOff : std::min(port.backOff * 2, kLongestBackOff);
  port.failedAs = identity;
  port.retryAt = now + port.backOff;
  if (port.unshown != 0) {
    wPrintf(24, 2, L"SerialJS: COM%u: %u more invalid commands not shown\n",
            static_cast<unsigned>(port.number), static_cast<unsigned>(port.unshown));
    port.unshown = 0;
  }
}

std::unique_ptr<SerialJS> ControllerSearch::Try(Candidate& port, bool first) {
  auto link = std::make_unique<SerialJS>(port.number);
  // A device that failed once has had its say: its later tries only count.
  link->LimitWarnings(first ? kWarningsShown : 0);
  if (hooks_.beforeOpen) hooks_.beforeOpen(*link);
  bool answered = false;
  {
    const PortWork opening;
    answered = link->Open();
  }
  if (hooks_.afterOpen) hooks_.afterOpen(answered);
  if (answered) return link;
  const std::uint32_t dropped = link->DroppedWarnings();
  port.unshown += std::min(dropped, std::numeric_limits<std::uint32_t>::max() - port.unshown);
  return nullptr;
}

std::unique_ptr<SerialJS> ControllerSearch::TryAll() {
  for (Candidate& port : ports_) {
    if (StopRequested()) return nullptr;
    // Looked at before the link opens it, so that a port in use is never written to.
    const PortInfo info = SerialJS::InspectPort(port.number, PortInfo::Look::kOpenable);
    if (CheckBusy(port, info, true)) continue;
    if (auto link = Try(port, FirstTry(port, info.identity))) return link;
    // Nothing there to answer: tried only so that the log says why.
    if (info.state == PortInfo::State::kMissing) {
      Gone(port);
    } else {
      Failed(port, info.identity, Clock::now());
    }
  }
  return nullptr;
}

std::unique_ptr<SerialJS> ControllerSearch::Begin(bool wait) {
  std::unique_ptr<SerialJS> link = TryAll();
  if (link || StopRequested()) return link;
  // A named port held by another program was said to be busy: that is all there is to say.
  if (!(named_ && ports_.front().busy)) {
    Say("no controller answered on " + Where() + (named_ ? " (the log above says why)" : ""));
  }
  if (wait) Say("waiting for one to appear on " + Where());
  return nullptr;
}

std::unique_ptr<SerialJS> ControllerSearch::LookOnce() {
  for (Candidate& port : ports_) {
    if (StopRequested()) return nullptr;
    const Clock::time_point now = Clock::now();
    // Only names are resolved here: nothing is opened unless it is worth a try.
    const PortInfo seen = SerialJS::InspectPort(port.number, PortInfo::Look::kNameOnly);
    if (seen.state == PortInfo::State::kMissing) Gone(port);
    if (seen.state != PortInfo::State::kFree || !Due(port, seen.identity, now)) continue;
    if (port.busy && now < port.busyUntil) continue;  // someone else's port: not every look
    const PortInfo info = SerialJS::InspectPort(port.number, PortInfo::Look::kOpenable);
    if (CheckBusy(port, info, false)) {
      port.busyUntil = now + kBusyLookEvery;
      continue;
    }
    // A name that outlives its device (a COM name whose adapter is unplugged): nothing did not
    // answer, so there is nothing to back off from; it is tried as soon as it opens.
    if (info.state == PortInfo::State::kMissing) {
      Gone(port);
      continue;
    }
    if (info.state == PortInfo::State::kFree) {
      if (auto link = Try(port, FirstTry(port, info.identity))) return link;
    }
    Failed(port, info.identity, Clock::now());
  }
  return nullptr;
}

std::unique_ptr<SerialJS> ControllerSearch::WaitForController() {
  while (!StopRequested()) {
    if (auto link = LookOnce()) return link;
    if (WaitForStop(kLookEvery)) break;
  }
  return nullptr;
}

}  // namespace jsprogram
