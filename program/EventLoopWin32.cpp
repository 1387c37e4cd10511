// The event loop over MsgWaitForMultipleObjects: handles and the thread's window messages.

#include <windows.h>

#include "EventLoop.h"
#include "Program.h"
#include "StopRequest.h"

namespace jsprogram {

void EventLoop::RunOnce(std::optional<Clock::time_point> until) {
  // Window messages first: a WinEvent hook's callback runs inside DispatchMessage.
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  std::vector<HANDLE> handles;
  const WaitHandle notice = RequestNotice();
  if (notice != kNoWaitHandle) handles.push_back(reinterpret_cast<HANDLE>(notice));
  // The wait names the lowest ready index only; starting each wait one source further on keeps
  // a source that is always ready from hiding the others.
  waitingOn_.clear();
  const std::size_t count = sources_.size();
  for (std::size_t i = 0; i < count && handles.size() < MAXIMUM_WAIT_OBJECTS - 1; ++i) {
    const WaitHandle handle = sources_[(firstLooked_ + i) % count].handle;
    waitingOn_.push_back(handle);
    handles.push_back(reinterpret_cast<HANDLE>(handle));
  }
  if (count != 0) firstLooked_ = (firstLooked_ + 1) % count;
  const long long wait = StopFlag().load() ? 0 : WaitMilliseconds(until);
  const DWORD timeout = wait < 0 ? INFINITE : wait >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(wait);
  const DWORD result = MsgWaitForMultipleObjectsEx(static_cast<DWORD>(handles.size()),
                                                   handles.data(), timeout, QS_ALLINPUT,
                                                   MWMO_INPUTAVAILABLE);
  if (result >= WAIT_OBJECT_0 + handles.size()) {
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    return;
  }
  std::size_t index = result - WAIT_OBJECT_0;
  if (notice != kNoWaitHandle) {
    if (index == 0) {
      TakeRequestNotice();
      return;
    }
    --index;
  }
  Ready(waitingOn_[index]);
}

}  // namespace jsprogram
