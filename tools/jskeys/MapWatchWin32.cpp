// The map's folder watched with a change notification.

#include <windows.h>

#include <filesystem>

#include "MapWatch.h"
#include "Program.h"

namespace jskeys {

struct MapWatch::Impl {
  HANDLE notification = INVALID_HANDLE_VALUE;
};

MapWatch::MapWatch(const std::string& path) : impl_(std::make_unique<Impl>()) {
  if (path.empty()) return;
  const std::filesystem::path file = std::filesystem::u8path(path);
  const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : L".";
  impl_->notification = FindFirstChangeNotificationW(
      folder.c_str(), FALSE, FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_FILE_NAME);
  if (impl_->notification == INVALID_HANDLE_VALUE) {
    jsprogram::Say("the map file is not watched (error " + std::to_string(GetLastError()) + ")");
  }
}

MapWatch::~MapWatch() {
  if (impl_->notification != INVALID_HANDLE_VALUE) FindCloseChangeNotification(impl_->notification);
}

// Any change in the folder reads the map again: reading a small file costs little.
jsprogram::WaitHandle MapWatch::Handle() const {
  return impl_->notification != INVALID_HANDLE_VALUE ? reinterpret_cast<jsprogram::WaitHandle>(impl_->notification) : jsprogram::kNoWaitHandle;
}

void MapWatch::Take(Clock::time_point) {}

std::optional<MapWatch::Clock::time_point> MapWatch::Due() const { return std::nullopt; }

bool MapWatch::Changed(Clock::time_point) {
  bool changed = jsprogram::TakeReloadRequest();
  while (impl_->notification != INVALID_HANDLE_VALUE &&
         WaitForSingleObject(impl_->notification, 0) == WAIT_OBJECT_0) {
    changed = true;
    if (!FindNextChangeNotification(impl_->notification)) break;
  }
  return changed;
}

}  // namespace jskeys
