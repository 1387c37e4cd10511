#pragma once
// What every program of ours does the same way: how it starts, how it is asked to stop, and how
// it speaks on standard error.

#include <atomic>
#include <chrono>
#include <string>
#include <string_view>

namespace jsprogram {

// The first thing each main does. `name` begins every message of the program ("jskeys").
// POSIX:
// - descriptors 0 to 2 that are closed get /dev/null: otherwise the first port, X connection or
//   uinput device opened takes such a number, and the log is written into it;
// - SIGPIPE is ignored: a reader of our output that went away shows as EPIPE, never as death;
// - SIGINT, SIGTERM, SIGHUP (the terminal closed), SIGQUIT, SIGUSR2 and SIGALRM are blocked in
//   every thread and taken by one thread in sigwait, which turns each into a stop request; a
//   SIGHUP that the parent ignored (nohup) stays ignored. No handler runs at an
//   arbitrary point, and whatever the program holds (a port, a key held down) is let go of by
//   its own main loop. SIGUSR1 is taken there too, as a reload request.
// Windows: Ctrl-C, Ctrl-Break, closing the console, logging off and shutting down are stop
// requests too; see MarkReleased.
// False when the program must end at once: a closed standard descriptor could not be filled.
bool Start(const char* name);

// The stop request, once made, stays.
const std::atomic<bool>& StopFlag();
inline bool StopRequested() { return StopFlag().load(); }
// The signal that asked for the stop (the console event on Windows); 0 before one came.
int StopSignal();
// Waits until a stop is requested or the time has passed; true when one was requested.
bool WaitForStop(std::chrono::milliseconds time);
// Asks for a stop as a signal does; `signal` 0 for a reason of the program's own.
void RequestStop(int signal = 0);

// SIGUSR1 asks a program to read its settings again (a service manager's reload). True once for
// each request since the last call; programs with nothing to read again never ask, and so the
// signal does nothing to them (it would otherwise end them).
bool TakeReloadRequest();

// Marks that the program has let go of what it holds (keys released, port closed) and is about
// to end. Windows ends a process whose console is being closed as soon as the control handler returns;
// the handler waits for this (a few seconds at most) so that nothing is left held down.
void MarkReleased();
// From a stop request on, the program ends within `grace`: when it has not called MarkReleased
// by then (its output hangs on a window system that does not answer), `why` is said and the
// process ends with status 1. Call once, after Start.
void EndWithin(std::chrono::milliseconds grace, std::string why);
// While one lives, a port is being opened or closed: EndWithin waits for that to end, so that no
// port is ever left exclusive or raw.
class PortWork {
 public:
  PortWork();
  ~PortWork();
  PortWork(const PortWork&) = delete;
  PortWork& operator=(const PortWork&) = delete;
};

// "name: text" on standard error, through the log's queue, so that a message comes out after
// the log lines made before it (the ones that say why). Text from outside must be escaped first.
void Say(std::string_view text);

#if defined(_WIN32)
// The console control handler, for tests: what the system calls with a CTRL_*_EVENT.
int HandleConsoleControl(unsigned long event);
#endif

}  // namespace jsprogram
