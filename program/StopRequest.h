#pragma once
// The part of the program's start that is the same on every platform.

namespace jsprogram {

// The name messages begin with; set once, before any thread but main's exists.
void SetName(const char* name);
// What SIGUSR1 asks for.
void RequestReload();

}  // namespace jsprogram
