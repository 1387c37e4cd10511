#pragma once
// What goes to one player, in order, one call at a time: while a call waits for its answer,
// further seeks add up into one seek and a new rate takes the place of one not yet sent, so a
// busy player gets the sum of the jog's turns, once. A player that takes no negative rate is
// played backwards here: paused, and sought back steadily by the time that passes.

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Action.h"
#include "Bus.h"

namespace jskeys {

class PlayerQueue {
 public:
  using Clock = std::chrono::steady_clock;
  // The longest time between two steps back.
  static constexpr Clock::duration kBackwardsStep = std::chrono::milliseconds(30);
  // How long the next call waits for a seek to be done: long where the player tells when, short
  // where it has not yet (it may never).
  static constexpr Clock::duration kSeekSettle = std::chrono::milliseconds(1000);
  static constexpr Clock::duration kSeekSettleUntold = std::chrono::milliseconds(150);

  PlayerQueue(sd_bus* bus, std::string busName);
  PlayerQueue(const PlayerQueue&) = delete;
  PlayerQueue& operator=(const PlayerQueue&) = delete;

  // Until the player's lowest rate is known, commands wait (a rate may need it).
  void Learned(double minimumRate, Clock::time_point now);
  void Command(const PlayerCommand& command, Clock::time_point now);
  // Takes a step back where one is due, and sends what waits when nothing is on its way.
  void Tick(Clock::time_point now);
  std::optional<Clock::time_point> Due() const;
  // The player says a seek is done (its Seeked signal), and where it landed when it says.
  void Seeked(Clock::time_point now, std::optional<std::int64_t> position);
  // Nothing waits to go and nothing waits for an answer.
  bool Idle() const { return !inFlight_ && !settling_ && calls_.empty() && early_.empty(); }
  void StopBackwards() { backwards_.reset(); }
  bool Backwards() const { return backwards_.has_value(); }

 private:
  struct Call {
    enum class Kind : std::uint8_t { kMethod, kSeek, kRate };
    Kind kind = Kind::kMethod;
    const char* method = "";
    std::int64_t microseconds = 0;  // kSeek
    double rate = 0;                // kRate
  };
  static Call Method(const char* name) { return {Call::Kind::kMethod, name, 0, 0}; }

  void Push(const Call& call);
  // Drops a rate still waiting at the end (with the Play after it): a newer one decides.
  void DropWaitingRate();
  void SendNext();
  static int Answered(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  void Failed(const sd_bus_error* error, const char* what);

  sd_bus* bus_;
  std::string busName_;
  std::optional<double> minimumRate_;  // known once learned
  std::vector<PlayerCommand> early_;   // before then
  std::deque<Call> calls_;
  SlotPtr inFlight_;
  const char* inFlightWhat_ = "";
  bool inFlightSeek_ = false;
  // Played backwards: the speed, when the last step was taken, and the part of a microsecond
  // not yet sought.
  std::optional<double> backwards_;
  Clock::time_point lastStep_{};
  double owedMicroseconds_ = 0;
  // A player lands a seek on a frame, not on the microsecond asked for: short steps back would
  // each lose up to a frame. Once it says where a step landed, each step goes from there to
  // where the time passed since the first landing puts it, so nothing is lost to rounding.
  std::optional<std::int64_t> anchor_;  // where the first step landed, at anchorTime_
  Clock::time_point anchorTime_{};
  std::optional<std::int64_t> landed_;  // where the last step landed; none while one is going
  void StepBack(Clock::time_point now);
  // A player may answer a seek before it is done, and take the next one from where it was
  // (mpv does): the next call waits for its Seeked signal, within a bound, while the jog's
  // further turns add up meanwhile.
  bool settling_ = false;
  Clock::time_point settleEnd_{};
  std::uint64_t seekedCount_ = 0;   // Seeked signals so far
  std::uint64_t seekedAtSend_ = 0;  // when the last seek went
  bool tellsSeeked_ = false;        // this player has been heard to say so
  bool saidHung_ = false;
  std::set<std::string> saidRefusals_;
};

}  // namespace jskeys
