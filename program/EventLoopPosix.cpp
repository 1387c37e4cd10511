// The event loop over poll().

#include <poll.h>

#include <cerrno>
#include <climits>

#include "EventLoop.h"
#include "Program.h"
#include "StopRequest.h"

namespace jsprogram {

void EventLoop::RunOnce(std::optional<Clock::time_point> until) {
  std::vector<pollfd> fds;
  fds.reserve(sources_.size() + 1);
  const WaitHandle notice = RequestNotice();
  if (notice != kNoWaitHandle) fds.push_back({static_cast<int>(notice), POLLIN, 0});
  for (const Source& source : sources_) fds.push_back({static_cast<int>(source.handle), POLLIN, 0});
  // A stop that came before the wait began is not waited for.
  const long long wait = StopFlag().load() ? 0 : WaitMilliseconds(until);
  const int count = ::poll(fds.data(), fds.size(),
                           wait > INT_MAX ? INT_MAX : static_cast<int>(wait));
  if (count <= 0) return;  // the time has come, or EINTR: the caller looks again
  waitingOn_.clear();
  for (const pollfd& fd : fds) {
    if (fd.revents == 0) continue;
    if (fd.fd == notice) {
      TakeRequestNotice();
    } else {
      waitingOn_.push_back(fd.fd);
    }
  }
  // Each callback is looked up again: one before it may have forgotten or replaced it.
  for (const WaitHandle handle : waitingOn_) Ready(handle);
}

}  // namespace jsprogram
