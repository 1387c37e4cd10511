#pragma once
// The part of the program's start that is the same on every platform.

#include <cstdint>

namespace jsprogram {

// The name messages begin with; set once, before any thread but main's exists.
void SetName(const char* name);
// What SIGUSR1 asks for.
void RequestReload();

// What MarkReleased does on this platform besides the common part.
void OnReleased();

// A handle that every stop and reload request makes ready, for the event loop to wait on
// (EventLoop.h's WaitHandle); made at the first call, never closed. -1 when it cannot be had.
std::intptr_t RequestNotice();
void SignalRequestNotice();
// Makes it not ready again; the requests themselves stay to be taken.
void TakeRequestNotice();

}  // namespace jsprogram
