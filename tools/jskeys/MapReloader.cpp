#include "MapReloader.h"

#include <system_error>
#include <utility>

namespace jskeys {

MapReloader::MapReloader(MapRead read)
    : read_(std::move(read)), handle_(static_cast<jsprogram::WaitHandle>(done_.Waitable())) {}

MapReloader::~MapReloader() {
  abandon_.store(true);
  if (thread_.joinable()) thread_.join();
}

void MapReloader::Request() {
  if (!read_) return;
  if (busy_) {
    again_ = true;
    return;
  }
  Start();
}

void MapReloader::Start() {
  again_ = false;
  good_ = false;
  fresh_ = FreshMap{};
  busy_ = true;
  auto work = [this] {
    good_ = read_(fresh_, abandon_);
    finished_.store(true);
    done_.Set();
  };
  try {
    thread_ = std::thread(work);
  } catch (const std::system_error&) {
    work();  // no thread to be had: read here, as before there was one
  }
}

std::optional<FreshMap> MapReloader::Take() {
  if (!busy_ || !finished_.load()) return std::nullopt;
  if (thread_.joinable()) thread_.join();
  busy_ = false;
  finished_.store(false);
  done_.Reset();
  std::optional<FreshMap> taken;
  if (good_) taken = std::move(fresh_);
  fresh_ = FreshMap{};
  if (again_) Start();
  return taken;
}

}  // namespace jskeys
