#pragma once
// Finding the controller, for the programs that keep it open: on the one port the user named,
// or on COM1 to COM7.
//
// Our handshake is bytes on a line, and a port may have anything behind it. So a port is written
// to only when it is there, free, and worth a try: one that did not answer is tried again only
// when its device goes away and comes back (a new device node), or after a long back-off (a
// minute, doubling up to ten), and its failure is therefore logged once, not at every look. A
// modem, a UPS or a GPS receiver on another port hears our handshake once, not every second. A
// port that another program holds is said once and never written to.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SerialJS.h"

namespace jsprogram {

// Called with each link just before its Open (to keep its changes, set a receive tap), and after.
struct SearchHooks {
  std::function<void(SerialJS&)> beforeOpen{};
  std::function<void(bool answered)> afterOpen{};
};

class ControllerSearch {
 public:
  using Clock = std::chrono::steady_clock;
  using Hooks = SearchHooks;

  // `port` 0: COM1 to COM7.
  explicit ControllerSearch(std::uint32_t port, Hooks hooks = {});

  // One pass over every port in order, as at start. A missing port is tried too, so that the
  // log says why it gave nothing. Null when none answered or a stop was requested.
  std::unique_ptr<SerialJS> TryAll();
  // Looks until a controller answers; null when a stop is requested first.
  std::unique_ptr<SerialJS> Watch();
  // One look of Watch's, for a program that waits on other things too: call it every
  // kLookEvery. Null when nothing answered this time.
  std::unique_ptr<SerialJS> LookOnce();
  // The controller on `port` went away: that port is tried again as soon as it is there.
  void Lost(std::uint32_t port);

  // "COM3", or "COM1 to COM7".
  std::string Where() const;
  // Whether the port was held by another program at its last look.
  bool Busy(std::uint32_t port) const;

  // How often Watch looks for ports that appeared; a look only resolves names.
  static constexpr std::chrono::milliseconds kLookEvery{100};
  static constexpr std::chrono::seconds kFirstBackOff{60};
  static constexpr std::chrono::seconds kLongestBackOff{600};
  static constexpr std::chrono::seconds kBusyLookEvery{1};

 private:
  struct Candidate {
    explicit Candidate(std::uint32_t port) : number(port) {}
    std::uint32_t number;
    std::optional<std::string> failedAs;  // the device's identity when it last did not answer
    Clock::time_point retryAt{};
    std::chrono::seconds backOff = kFirstBackOff;
    bool busy = false;
    Clock::time_point busyUntil{};
  };

  bool Due(const Candidate& port, const std::string& identity, Clock::time_point now) const;
  // Says so the first time a port is seen busy (`always`: every time); true when it is busy.
  bool CheckBusy(Candidate& port, const PortInfo& info, bool always);
  void Failed(Candidate& port, const std::string& identity, Clock::time_point now);
  std::unique_ptr<SerialJS> Try(std::uint32_t port);

  std::vector<Candidate> ports_;
  Hooks hooks_;
};

}  // namespace jsprogram
