#pragma once
// Tells when the map has changed, so that jskeys reads it again: its file was written, replaced
// (an editor saves by renaming a new file over the old one, or by moving the old one away and
// writing a new one), removed, or made where there was none; or a reload was asked for
// (SIGUSR1: the service's ExecReload).
//
// The map's folder is watched, not the file (inotify on Linux, a change notification on
// Windows); where the folder does not exist (yet, or any more), its nearest existing ancestor,
// and the watch moves down as folders appear. A map that is a symbolic link is followed: the
// link's folder and its target's folder are both watched (Linux).
//
// A change is told only once it has settled: the file written and closed, then quiet for a
// moment (Windows cannot tell a closed write, and goes by the quiet alone). A map that went away
// is told only after it has stayed away for longer, so that a save that moves the old file away
// before writing the new one never puts another map in force in between.

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "EventLoop.h"

namespace jskeys {

class MapWatch {
 public:
  using Clock = std::chrono::steady_clock;
  // Quiet after the last write of the map before it is told.
  static constexpr Clock::duration kQuiet = std::chrono::milliseconds(250);
  // How long a map that went away stays away before that is told.
  static constexpr Clock::duration kGone = std::chrono::seconds(2);

  // `path` empty: the built-in map, which only a reload request reads again.
  explicit MapWatch(const std::string& path);
  ~MapWatch();
  MapWatch(const MapWatch&) = delete;
  MapWatch& operator=(const MapWatch&) = delete;

  // What the event loop waits on: the inotify descriptor (Linux), the folder's change
  // notification (Windows); jsprogram::kNoWaitHandle when nothing is watched. On Windows it
  // changes when the watch moves to another folder: look at it again after Take and Changed.
  jsprogram::WaitHandle Handle() const;
  // Takes what the system told since the last call, as having happened at `now`. Never waits.
  void Take(Clock::time_point now);
  // When the caller must look again (call Changed): a change settling, a failed watch to try
  // again. None when nothing is pending.
  std::optional<Clock::time_point> Due() const;
  // True once for each settled change of the map, and for each reload request. Takes what the
  // system told first, so that a caller may simply ask now and then. Never waits.
  bool Changed(Clock::time_point now);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace jskeys
