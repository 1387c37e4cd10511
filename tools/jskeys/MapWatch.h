#pragma once
// Tells when the map may have changed, so that jskeys reads it again: its file was written or
// replaced (an editor saves by writing a new file and renaming it over the old one, so the
// file's folder is watched: inotify on Linux, a change notification on Windows), or a reload was
// asked for (SIGUSR1: the service's ExecReload).

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "EventLoop.h"

namespace jskeys {

class MapWatch {
 public:
  // `path` empty: the built-in map, which only a reload request reads again.
  explicit MapWatch(const std::string& path);
  ~MapWatch();
  MapWatch(const MapWatch&) = delete;
  MapWatch& operator=(const MapWatch&) = delete;

  using Clock = std::chrono::steady_clock;
  // The handle the event loop waits on; jsprogram::kNoWaitHandle when nothing is watched.
  jsprogram::WaitHandle Handle() const;
  // Called when Handle is ready: takes what the system told, never waits.
  void Take(Clock::time_point now);
  // When the loop must wake to look again; none when nothing pends.
  std::optional<Clock::time_point> Due() const;
  // True once for each change of the map, and for each reload request. Never waits.
  bool Changed(Clock::time_point now);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace jskeys
