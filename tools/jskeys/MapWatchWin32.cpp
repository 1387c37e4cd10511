// The map's folder (or its nearest existing ancestor) watched with a change notification.
// A notification tells only that something in the folder changed: it counts when the map's own
// presence, size or last write time moved, and settles on the quiet spell alone, as Windows has
// no cheap way to tell that a write was closed.

#include <windows.h>

#include <filesystem>
#include <string>

#include "MapWatch.h"
#include "MapWatchSettle.h"
#include "Program.h"
#include "SystemText.h"

namespace jskeys {
namespace {

namespace fs = std::filesystem;

// A watch that could not be made is tried again this often.
constexpr auto kRetryEvery = std::chrono::seconds(5);
constexpr DWORD kNotifyOn =
    FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME;

// The map's path is UTF-8, as everything the program says; the system gets it as UTF-16.
fs::path WidePath(const std::string& text) {
  if (text.empty()) return {};
  std::error_code ignored;
  return fs::absolute(jsprogram::PathOf(text), ignored).lexically_normal();
}

// What a notification is compared by.
struct Look {
  bool present = false;
  std::uintmax_t size = 0;
  fs::file_time_type written{};
  bool operator==(const Look&) const = default;
};

Look LookAt(const fs::path& file) {
  Look look;
  std::error_code fault;
  look.present = fs::exists(file, fault);
  if (!look.present) return look;
  look.size = fs::file_size(file, fault);
  look.written = fs::last_write_time(file, fault);
  return look;
}

bool IsFolder(const fs::path& path) {
  std::error_code ignored;
  return fs::is_directory(path, ignored);
}

}  // namespace

struct MapWatch::Impl {
  explicit Impl(const std::string& map)
      : file(WidePath(map)), last(LookAt(file)), settle(!file.empty() && last.present) {}
  ~Impl() { Close(); }

  void Close() {
    if (notification != INVALID_HANDLE_VALUE) FindCloseChangeNotification(notification);
    notification = INVALID_HANDLE_VALUE;
  }
  void Replan(Clock::time_point now);
  // A change notification says nothing of writes still open: the quiet spell covers them.
  bool Writing() const { return false; }
  bool Present() const { return LookAt(file).present; }
  // Stirs come only from a notification, so the settle may always be asked.
  bool Watching() const { return true; }

  fs::path file;
  Look last;  // the map when last looked at
  MapSettle settle;
  fs::path watched;  // the folder the notification is on
  HANDLE notification = INVALID_HANDLE_VALUE;
  std::optional<Clock::time_point> retryAt;
  bool toldUnwatched = false;
};

// The notification goes on the map's folder, else on the nearest ancestor that exists.
void MapWatch::Impl::Replan(Clock::time_point now) {
  retryAt.reset();
  fs::path folder = file.parent_path();
  while (!IsFolder(folder) && folder.has_relative_path()) folder = folder.parent_path();
  if (folder == watched && notification != INVALID_HANDLE_VALUE) return;
  Close();
  watched = folder;
  notification = FindFirstChangeNotificationW(folder.c_str(), FALSE, kNotifyOn);
  if (notification == INVALID_HANDLE_VALUE) {
    if (!toldUnwatched) {
      jsprogram::Say("the map is not watched (error " + std::to_string(GetLastError()) +
                     "); tried again every " + std::to_string(kRetryEvery.count()) + " s");
    }
    toldUnwatched = true;
    retryAt = now + kRetryEvery;
  } else if (toldUnwatched) {
    jsprogram::Say("the map is watched again");
    toldUnwatched = false;
  }
}

MapWatch::MapWatch(const std::string& path) : impl_(std::make_unique<Impl>(path)) {
  if (!impl_->file.empty()) impl_->Replan(Clock::now());
}

MapWatch::~MapWatch() = default;

jsprogram::WaitHandle MapWatch::Handle() const {
  return impl_->notification != INVALID_HANDLE_VALUE
             ? reinterpret_cast<jsprogram::WaitHandle>(impl_->notification)
             : jsprogram::kNoWaitHandle;
}

void MapWatch::Take(Clock::time_point now) {
  Impl& impl = *impl_;
  if (impl.notification == INVALID_HANDLE_VALUE ||
      WaitForSingleObject(impl.notification, 0) != WAIT_OBJECT_0) {
    return;
  }
  // A folder that went away ends its notification: the ancestor's takes over.
  if (!FindNextChangeNotification(impl.notification)) impl.Close();
  impl.Replan(now);
  const Look look = LookAt(impl.file);
  if (look == impl.last) return;  // another file in the folder
  impl.last = look;
  impl.settle.Stir(now);
}

std::optional<MapWatch::Clock::time_point> MapWatch::Due() const { return DueOf(*impl_); }

bool MapWatch::Changed(Clock::time_point now) {
  Take(now);
  return ChangedOf(*impl_, now);
}

}  // namespace jskeys
