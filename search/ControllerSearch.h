#pragma once
// Finding the controller, for the programs that keep it open: on the one port the user named,
// or on COM1 to COM7.
//
// Our handshake is bytes on a line, and a port may have anything behind it. So a port is written
// to only when it is there, free, and worth a try. Among COM1 to COM7, one that did not answer is
// tried again only when its device goes away and comes back (a new device node, or a port seen
// missing in between), or after a long back-off (a minute, doubling up to ten): a modem, a UPS or a GPS receiver on another port hears
// our handshake once, not every second. The port the user named is the user's own: it is tried
// again every kNamedRetryEvery, so that a controller switched on late is found at once. Either
// way a device's failure is logged at its first try; what later tries of it found is said in one
// line at each back-off step, and only when it sent what is no message of the controller's. A
// port that another program holds is said once and never written to. A port that is not there
// (its name leads nowhere, or opening it finds nothing) did not fail to answer: it is tried as
// soon as it is there.

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

  // The search at start: one pass over every port in order (a missing port is tried too, so that
  // the log says why it gave nothing). When none answered, says so, and with `wait` that the
  // search goes on. Null when none answered or a stop was requested.
  std::unique_ptr<SerialJS> Begin(bool wait);
  // Looks until a controller answers; null when a stop is requested first.
  std::unique_ptr<SerialJS> WaitForController();
  // One look of WaitForController's, for a program that waits on other things too: call it
  // every kLookEvery. Null when nothing answered this time.
  std::unique_ptr<SerialJS> LookOnce();
  // The controller on `port` went away: that port is tried again as soon as it is there.
  void Lost(std::uint32_t port);

  // How often WaitForController looks for ports that appeared; a look only resolves names.
  static constexpr std::chrono::milliseconds kLookEvery{100};
  static constexpr std::chrono::seconds kFirstBackOff{60};
  static constexpr std::chrono::seconds kLongestBackOff{600};
  static constexpr std::chrono::milliseconds kNamedRetryEvery{1500};
  static constexpr std::chrono::seconds kBusyLookEvery{1};
  // Bytes that start no message which a device's first try logs one by one; the rest are counted.
  static constexpr std::uint32_t kWarningsShown = 10;

 private:
  struct Candidate {
    explicit Candidate(std::uint32_t port) : number(port) {}
    std::uint32_t number;
    std::optional<std::string> failedAs;  // the device's identity when it last did not answer
    Clock::time_point retryAt{};  // the back-off: tried (COM1 to COM7) or said (named) again
    std::chrono::seconds backOff = kFirstBackOff;
    Clock::time_point nextTry{};  // the named port's next try, whatever the back-off
    std::uint32_t unshown = 0;    // warnings not logged since the last word on them
    bool busy = false;
    Clock::time_point busyUntil{};
  };

  std::unique_ptr<SerialJS> TryAll();
  std::string Where() const;
  static bool FirstTry(const Candidate& port, const std::string& identity);
  bool Due(const Candidate& port, const std::string& identity, Clock::time_point now) const;
  // Says so the first time a port is seen busy (`always`: every time); true when it is busy.
  bool CheckBusy(Candidate& port, const PortInfo& info, bool always);
  void Failed(Candidate& port, const std::string& identity, Clock::time_point now);
  // The port's device is not there: whatever comes next is another device, tried at once.
  static void Gone(Candidate& port);
  std::unique_ptr<SerialJS> Try(Candidate& port, bool first);

  std::vector<Candidate> ports_;
  bool named_;
  Hooks hooks_;
};

}  // namespace jsprogram
