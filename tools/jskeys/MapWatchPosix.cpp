// The map's folder watched with inotify: one descriptor, with a watch on each folder the map's
// path goes through that matters (its own folder, or its nearest existing ancestor; a symbolic
// link's target's folder). The folders are looked at again after every event about them.

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <utility>

#include "MapWatch.h"
#include "MapWatchSettle.h"
#include "Program.h"
#include "UniqueFd.h"

namespace jskeys {
namespace {

namespace fs = std::filesystem;

// Links followed from the map to its file; more is a loop.
constexpr int kMaxLinks = 8;
// A watch that failed (out of inotify watches, no permission) is tried again this often.
constexpr auto kRetryEvery = std::chrono::seconds(5);

// Where the map's own file is: every event about these names counts.
constexpr std::uint32_t kFileEvents = IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_TO |
                                      IN_MOVED_FROM | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF;
// An ancestor of a folder not there: only the next folder down appearing (or this one going).
constexpr std::uint32_t kFolderEvents = IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;

// One folder to watch, with the names in it that matter.
struct Wanted {
  std::uint32_t mask = 0;
  std::set<std::string> names;
};

bool IsFolder(const fs::path& path) {
  std::error_code ignored;
  return fs::is_directory(path, ignored);
}

// The folders to watch for the map at `path` (absolute): its folder, else the nearest existing
// ancestor for the first missing folder's name; for a link, the same for its target.
std::map<std::string, Wanted> Plan(const fs::path& path) {
  std::map<std::string, Wanted> wanted;
  fs::path at = path;
  for (int hop = 0; hop < kMaxLinks; ++hop) {
    fs::path folder = at.parent_path();
    fs::path name = at.filename();
    while (!IsFolder(folder) && folder.has_relative_path()) {
      name = folder.filename();
      folder = folder.parent_path();
    }
    const bool own = name == at.filename();
    Wanted& entry = wanted[folder.string()];
    entry.mask |= own ? kFileEvents : kFolderEvents;
    entry.names.insert(name.string());
    std::error_code fault;
    if (!own || !fs::is_symlink(at, fault)) break;
    const fs::path target = fs::read_symlink(at, fault);
    if (fault) break;
    at = (target.is_absolute() ? target : at.parent_path() / target).lexically_normal();
  }
  return wanted;
}

}  // namespace

struct MapWatch::Impl {
  explicit Impl(const std::string& map) : path(Absolute(map)), settle(!map.empty() && Present()) {}

  static fs::path Absolute(const std::string& map) {
    std::error_code ignored;
    return map.empty() ? fs::path() : fs::absolute(map, ignored).lexically_normal();
  }

  bool Present() const {
    std::error_code ignored;
    return fs::exists(path, ignored);
  }
  bool Writing() const { return !writing.empty(); }
  bool Watching() const { return inotify.valid(); }

  void Replan(Clock::time_point now);
  void Read(Clock::time_point now);
  void Event(const inotify_event& event, Clock::time_point now);

  fs::path path;
  jsposix::UniqueFd inotify;
  std::map<int, Wanted> watches;  // by watch descriptor: one folder can be reached two ways
  std::map<int, std::string> folders;
  std::set<std::pair<int, std::string>> writing;  // files of the map open for writing
  MapSettle settle;
  std::optional<Clock::time_point> retryAt;
  bool toldUnwatched = false;
};

void MapWatch::Impl::Replan(Clock::time_point now) {
  retryAt.reset();
  std::map<int, Wanted> fresh;
  std::map<int, std::string> freshFolders;
  std::string failed;
  for (const auto& [folder, wanted] : Plan(path)) {
    int watch = ::inotify_add_watch(inotify.get(), folder.c_str(), wanted.mask | IN_ONLYDIR);
    // The same folder reached two ways gets one descriptor: it watches for both.
    if (watch >= 0 && fresh.count(watch) &&
        (fresh[watch].mask | wanted.mask) != fresh[watch].mask) {
      watch = ::inotify_add_watch(inotify.get(), folder.c_str(),
                                  fresh[watch].mask | wanted.mask | IN_ONLYDIR);
    }
    if (watch < 0) {
      // A folder gone between the look and the watch is told by its parent's watch.
      if (errno != ENOENT && errno != ENOTDIR) failed = folder + ": " + std::strerror(errno);
      continue;
    }
    Wanted& entry = fresh[watch];
    entry.mask |= wanted.mask;
    entry.names.insert(wanted.names.begin(), wanted.names.end());
    freshFolders[watch] = folder;
  }
  for (const auto& [watch, wanted] : watches) {
    if (!fresh.count(watch)) ::inotify_rm_watch(inotify.get(), watch);
  }
  watches = std::move(fresh);
  folders = std::move(freshFolders);
  // A write open on a file that is no longer the map's holds nothing back.
  std::erase_if(writing, [this](const std::pair<int, std::string>& file) {
    const auto found = watches.find(file.first);
    return found == watches.end() || !found->second.names.count(file.second);
  });
  if (!failed.empty()) {
    if (!toldUnwatched) {
      jsprogram::Say("the map is not watched (" + failed + "); SIGUSR1 reads it again");
    }
    toldUnwatched = true;
    retryAt = now + kRetryEvery;
  } else if (toldUnwatched) {
    jsprogram::Say("the map is watched again");
    toldUnwatched = false;
  }
}

void MapWatch::Impl::Event(const inotify_event& event, Clock::time_point now) {
  if (event.mask & IN_Q_OVERFLOW) {
    writing.clear();  // what was lost may have closed them
  } else if (!(event.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED))) {
    const auto found = watches.find(event.wd);
    if (found == watches.end() || event.len == 0 || !found->second.names.count(event.name)) {
      return;  // another file in the folder
    }
    const std::pair<int, std::string> file{event.wd, event.name};
    if (event.mask & IN_MODIFY) writing.insert(file);
    if (event.mask & IN_CREATE) {
      // Made empty by an open for writing (not a link, a folder, or a hard link to a whole
      // file): held back until that write closes.
      struct stat info {};
      const std::string made = folders[event.wd] + "/" + event.name;
      if (::lstat(made.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size == 0) {
        writing.insert(file);
      }
    }
    if (event.mask & (IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE)) {
      writing.erase(file);
    }
  }
  settle.Stir(now);
}

void MapWatch::Impl::Read(Clock::time_point now) {
  alignas(inotify_event) char buffer[4096];
  bool stirred = false;
  for (;;) {
    const ssize_t got = ::read(inotify.get(), buffer, sizeof buffer);
    if (got <= 0) break;  // EAGAIN: nothing more
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      // Watches removed here still report their last events: those are not the map's.
      if (watches.count(event->wd) || (event->mask & IN_Q_OVERFLOW)) {
        Event(*event, now);
        stirred = true;
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  if (stirred) Replan(now);
}

MapWatch::MapWatch(const std::string& path) : impl_(std::make_unique<Impl>(path)) {
  if (path.empty()) return;
  impl_->inotify.Reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!impl_->inotify.valid()) {
    jsprogram::Say("the map is not watched (" + std::string(std::strerror(errno)) +
                   "); SIGUSR1 reads it again");
    return;
  }
  impl_->Replan(Clock::now());
}

MapWatch::~MapWatch() = default;

jsprogram::WaitHandle MapWatch::Handle() const {
  return impl_->inotify.valid() ? impl_->inotify.get() : jsprogram::kNoWaitHandle;
}

void MapWatch::Take(Clock::time_point now) {
  if (impl_->inotify.valid()) impl_->Read(now);
}

std::optional<MapWatch::Clock::time_point> MapWatch::Due() const { return DueOf(*impl_); }

bool MapWatch::Changed(Clock::time_point now) {
  Take(now);
  return ChangedOf(*impl_, now);
}

}  // namespace jskeys
