// The map's folder watched with inotify.

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "MapWatch.h"
#include "Program.h"
#include "UniqueFd.h"

namespace jskeys {

struct MapWatch::Impl {
  jsposix::UniqueFd inotify;
  std::string name;  // the map file's own name in its folder
};

MapWatch::MapWatch(const std::string& path) : impl_(std::make_unique<Impl>()) {
  if (path.empty()) return;
  const std::filesystem::path file(path);
  impl_->name = file.filename().string();
  const std::string folder = file.has_parent_path() ? file.parent_path().string() : ".";
  impl_->inotify.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!impl_->inotify.valid() ||
      ::inotify_add_watch(impl_->inotify.get(), folder.c_str(),
                          IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE) < 0) {
    // No folder for the user's map yet is no news: the built-in map is in force.
    if (errno != ENOENT) {
      jsprogram::Say("the map file is not watched (" + std::string(std::strerror(errno)) +
                     "); SIGUSR1 reads it again");
    }
    impl_->inotify.Reset();
  }
}

MapWatch::~MapWatch() = default;

jsprogram::WaitHandle MapWatch::Handle() const {
  return impl_->inotify.valid() ? impl_->inotify.get() : jsprogram::kNoWaitHandle;
}

void MapWatch::Take(Clock::time_point) {}

std::optional<MapWatch::Clock::time_point> MapWatch::Due() const { return std::nullopt; }

bool MapWatch::Changed(Clock::time_point) {
  bool changed = jsprogram::TakeReloadRequest();
  if (!impl_->inotify.valid()) return changed;
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(impl_->inotify.get(), buffer, sizeof buffer);
    if (got <= 0) break;  // EAGAIN: nothing more
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if (event->len > 0 && impl_->name == event->name) changed = true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return changed;
}

}  // namespace jskeys
