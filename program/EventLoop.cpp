// The part of the event loop that is the same on every platform.

#include "EventLoop.h"

#include <algorithm>

namespace jsprogram {

void EventLoop::Watch(WaitHandle handle, std::function<void()> ready) {
  if (handle == kNoWaitHandle) return;
  for (Source& source : sources_) {
    if (source.handle == handle) {
      source.ready = std::move(ready);
      return;
    }
  }
  sources_.push_back({handle, std::move(ready)});
}

void EventLoop::Forget(WaitHandle handle) {
  std::erase_if(sources_, [handle](const Source& source) { return source.handle == handle; });
}

void EventLoop::KeepOnly(const std::vector<WaitHandle>& handles) {
  std::erase_if(sources_, [&handles](const Source& source) {
    return std::find(handles.begin(), handles.end(), source.handle) == handles.end();
  });
}

void EventLoop::Ready(WaitHandle handle) {
  for (const Source& source : sources_) {
    if (source.handle != handle) continue;
    // A copy: the callback may forget or replace its own source.
    const std::function<void()> callback = source.ready;
    callback();
    return;
  }
}

long long WaitMilliseconds(std::optional<EventLoop::Clock::time_point> until) {
  if (!until) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*until - EventLoop::Clock::now());
  return left.count() > 0 ? left.count() : 0;
}

}  // namespace jsprogram
