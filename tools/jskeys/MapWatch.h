#pragma once
// Tells when the map may have changed, so that jskeys reads it again: its file was written or
// replaced (an editor saves by writing a new file and renaming it over the old one, so the
// file's folder is watched: inotify on Linux, a change notification on Windows), or a reload was
// asked for (SIGUSR1: the service's ExecReload).

#include <memory>
#include <string>

namespace jskeys {

class MapWatch {
 public:
  // `path` empty: the built-in map, which only a reload request reads again.
  explicit MapWatch(const std::string& path);
  ~MapWatch();
  MapWatch(const MapWatch&) = delete;
  MapWatch& operator=(const MapWatch&) = delete;

  // Never waits.
  bool Changed();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace jskeys
