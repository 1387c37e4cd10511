#pragma once
// When a stir of the map's files becomes a change to tell: quiet for MapWatch::kQuiet with no
// write open, then told if the map is there; if it is not, told once it has stayed away for
// MapWatch::kGone. A map that was away and still is changes nothing, and is not told.

#include <optional>

#include "MapWatch.h"
#include "Program.h"

namespace jskeys {

class MapSettle {
 public:
  using Clock = MapWatch::Clock;

  explicit MapSettle(bool present) : present_(present) {}

  // Something happened to the map or a folder on its way, at `now`.
  void Stir(Clock::time_point now) {
    last_ = now;
    awaySeen_ = false;
  }

  // While a write is open nothing is due: its close stirs again.
  std::optional<Clock::time_point> Due(bool writing) const {
    if (!last_ || writing) return std::nullopt;
    return *last_ + (awaySeen_ ? MapWatch::kGone : MapWatch::kQuiet);
  }

  // True once when the change is to be told. `present` says whether the map is there now.
  template <typename Present>
  bool Settled(Clock::time_point now, bool writing, Present present) {
    const std::optional<Clock::time_point> due = Due(writing);
    if (!due || now < *due) return false;
    const bool there = present();
    if (!there) {
      if (!present_) {
        last_.reset();  // away before, away now: nothing to tell
        awaySeen_ = false;
        return false;
      }
      awaySeen_ = true;  // told only after the longer spell
      if (now < *last_ + MapWatch::kGone) return false;
    }
    last_.reset();
    awaySeen_ = false;
    present_ = there;
    return true;
  }

 private:
  std::optional<Clock::time_point> last_;  // the last stir not yet told
  bool awaySeen_ = false;                  // the map was away when that stir was quiet
  bool present_;                           // the map was there when last told (or at start)
};

// MapWatch::Due and MapWatch::Changed, alike on every platform, over a platform's watch: its
// settle and retryAt, Replan(now), Writing(), Present(), and Watching() (false while the map
// cannot be followed at all, when only a reload request tells a change).
template <typename Watch>
std::optional<MapSettle::Clock::time_point> DueOf(const Watch& watch) {
  std::optional<MapSettle::Clock::time_point> due = watch.settle.Due(watch.Writing());
  if (watch.retryAt && (!due || *watch.retryAt < *due)) due = watch.retryAt;
  return due;
}

// After the platform has taken what its notifications told.
template <typename Watch>
bool ChangedOf(Watch& watch, MapSettle::Clock::time_point now) {
  if (watch.retryAt && now >= *watch.retryAt) watch.Replan(now);
  const bool asked = jsprogram::TakeReloadRequest();
  const bool settled = watch.Watching() &&
                       watch.settle.Settled(now, watch.Writing(), [&] { return watch.Present(); });
  return asked || settled;
}

}  // namespace jskeys
