#pragma once
// One wait over everything a long-running program waits on: the controller's changes, the
// window system's connection, the map's folder, stop and reload requests, and the next timer
// of its own (a repeated stroke, a settling map). Nothing is looked at only when something else
// happens to wake the program, and nothing is polled on a timer.
//
// POSIX waits with poll(); Windows with MsgWaitForMultipleObjects, which also dispatches the
// thread's window messages (WinEvent hooks arrive as such).

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace jsprogram {

// What the system waits on: a file descriptor that polls readable (POSIX), or a handle that
// becomes signalled (Windows).
using WaitHandle = std::intptr_t;
inline constexpr WaitHandle kNoWaitHandle = -1;

class EventLoop {
 public:
  using Clock = std::chrono::steady_clock;

  EventLoop() = default;
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // `ready` runs on the loop's thread whenever `handle` is ready. It must take what made the
  // handle ready (read the fd, reset the event), or forget the handle: a handle left ready is
  // reported again at once. A handle already watched gets the new callback.
  void Watch(WaitHandle handle, std::function<void()> ready);
  void Forget(WaitHandle handle);
  // Forgets every handle but these: for a caller that watches, at each turn, what there is.
  void KeepOnly(const std::vector<WaitHandle>& handles);

  // Waits until a watched handle is ready, a stop or reload is requested, or `until` has come
  // (none: no limit), and runs the callbacks of what is ready. Callbacks may watch and forget.
  // The caller looks at StopRequested and its own timers afterwards.
  void RunOnce(std::optional<Clock::time_point> until);

 private:
  // Runs the callback of `handle`, if it is still watched.
  void Ready(WaitHandle handle);

  struct Source {
    WaitHandle handle;
    std::function<void()> ready;
  };
  std::vector<Source> sources_;
  std::vector<WaitHandle> waitingOn_;  // the handles of one wait, in its order
  std::size_t firstLooked_ = 0;        // Windows: turns, so that no busy source starves another
};

// Milliseconds to wait until `until`: rounded up, so that a wake never comes early and spins;
// -1 for none; 0 when it has come.
long long WaitMilliseconds(std::optional<EventLoop::Clock::time_point> until);

}  // namespace jsprogram
