#pragma once
// The seam between the link and the operating system: the port, the reader thread, events,
// sleep and error texts. Each operation does what its Win32 counterpart (named beside it) does,
// so that the link above it is written once. One backend per OS: win32/ and posix/.
//
// Failing operations return the OS error code, captured where the call failed (GetLastError on
// Win32, errno on POSIX); kSuccess (0) means the call worked.

#include <cstdint>
#include <memory>
#include <string>

#include "PortInfo.h"

namespace js::sys {

using ErrorCode = std::uint32_t;
inline constexpr ErrorCode kSuccess = 0;
// The Win32 codes of an overlapped transfer still under way. No errno takes these values.
inline constexpr ErrorCode kErrorIoIncomplete = 996;
inline constexpr ErrorCode kErrorIoPending = 997;
// A bounded wait that passed with nothing (ERROR_TIMEOUT). No errno takes this value either.
inline constexpr ErrorCode kErrorTimeout = 1460;
// A port wait the system never ends, even when cancelled: under Wine, the thread that served it
// was ended by a signal. Bit 29 marks a code of the program's own, which no system call returns.
inline constexpr ErrorCode kErrorWaitLost = 0x20000001;

inline constexpr std::uint32_t kInfinite = 0xFFFFFFFF;

// Port events (the EV_ values).
inline constexpr std::uint32_t kEventReceiveChar = 0x0001;  // EV_RXCHAR
inline constexpr std::uint32_t kEventLineError = 0x0080;    // EV_ERR: hang-up or line fault

// Sleep.
void Sleep(std::uint32_t milliseconds);

// Whether the thread that ran the program's static initialisers and main has ended while other
// threads of the process run on. Under Wine a SIGQUIT ends only the thread it lands on. Never on
// POSIX, where a signal ends the whole process or none of it.
bool MainThreadEnded();
// Ends the process at once with `status`, running nothing more of it (TerminateProcess, _exit):
// a thread that died may have held any lock.
[[noreturn]] void EndProcess(int status);

// FormatMessageW: the system's text for a code, or a fixed stand-in when it has none.
std::wstring ErrorText(ErrorCode code);
inline constexpr const wchar_t* kNoErrorText = L"(the system has no text for this error)";

// A manual-reset event (CreateEventW, SetEvent, ResetEvent, WaitForSingleObject).
class Event {
 public:
  enum class WaitResult { kSignalled, kTimeout, kFailed };

  Event();  // not signalled; a failed creation leaves an event whose waits fail
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  WaitResult Wait(std::uint32_t milliseconds);
  // A handle the system's own wait reports ready while the event is set, so that a client can
  // wait on it beside other things: on Win32 the event's handle; on POSIX an eventfd (or pipe)
  // made at the first call, readable while the event is set. -1 when it cannot be had. Ask
  // before another thread uses the event; until then it costs nothing.
  std::intptr_t Waitable();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// A completion record for one overlapped transfer, with its own manual-reset event (OVERLAPPED).
class IoRecord {
 public:
  IoRecord();
  ~IoRecord();
  IoRecord(const IoRecord&) = delete;
  IoRecord& operator=(const IoRecord&) = delete;

  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

// COMMTIMEOUTS.
struct Timeouts {
  std::uint32_t readIntervalTimeout;
  std::uint32_t readTotalTimeoutMultiplier;
  std::uint32_t readTotalTimeoutConstant;
  std::uint32_t writeTotalTimeoutMultiplier;
  std::uint32_t writeTotalTimeoutConstant;
};

// The DCB members the link sets; every other member of the port's settings stays as read.
struct LineSettings {
  std::uint32_t baudRate = 0;
  std::uint8_t byteSize = 0;
  std::uint8_t parity = 0;    // NOPARITY
  std::uint8_t stopBits = 0;  // ONESTOPBIT
};

// One serial port, opened exclusively for overlapped I/O. Owns its OS handle. The reader thread
// may wait and read while the user's thread writes and closes; Close ends a pending wait.
class Port {
 public:
  Port();
  ~Port();  // closes the port if it is open
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  bool IsOpen() const;
  ErrorCode Open(const wchar_t* name);                    // CreateFileW on "COMn:" or "\\.\COMn"
  ErrorCode SetEventMask(std::uint32_t mask);             // SetCommMask
  ErrorCode SetQueueSizes(std::uint32_t input, std::uint32_t output);  // SetupComm
  ErrorCode Purge();                                      // PurgeComm, all four flags
  ErrorCode SetTimeouts(const Timeouts& timeouts);        // SetCommTimeouts
  // GetCommState into the port's settings record, which starts from zero; a failure leaves it so.
  ErrorCode ReadLineSettings(LineSettings& settings);
  // SetCommState of that record with `settings` put in.
  ErrorCode WriteLineSettings(const LineSettings& settings);
  // WaitCommEvent: blocks until an event of the mask, or at most `milliseconds`; when the port is
  // closed, ends with mask 0. kErrorTimeout when the time passed with nothing: the wait is
  // cancelled (bytes that came meanwhile stay queued, to be read now) and can be issued again.
  // kErrorWaitLost when the system never ends a wait even when cancelled (Win32 only): the port
  // cannot be waited on again. A wait that fails otherwise, or kEventLineError in the mask, on a
  // port that is not being closed means the line has gone down: a hang-up, an unplugged adapter.
  ErrorCode WaitEvent(std::uint32_t& mask, std::uint32_t milliseconds = kInfinite);
  // ClearCommError: clears the error state and gives the input queue's byte count.
  ErrorCode QueuedInput(std::uint32_t& count);
  // ReadFile / WriteFile, overlapped: kSuccess when done, kErrorIoPending while under way.
  ErrorCode Read(void* buffer, std::uint32_t count, IoRecord& record, std::uint32_t& transferred);
  ErrorCode Write(const void* bytes, std::uint32_t count, IoRecord& record,
                  std::uint32_t& transferred);
  // GetOverlappedResult with wait = TRUE.
  ErrorCode AwaitResult(IoRecord& record, std::uint32_t& transferred);
  // Puts back the line settings (and on Win32 the time-outs) the port had at Open, then
  // CloseHandle; ends a pending WaitEvent.
  void Close();
  // Close for a process about to end: waits at most `milliseconds` for calls still handing the
  // handle over (a thread that died inside one never lets go), then puts back and closes anyway.
  void CloseWithin(std::uint32_t milliseconds);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// What a port name ("COMn:", "\\.\COMn") names on this system, and what that leads to. With
// `lookCloser`, also whether it could be opened now: rights, and another program's hold. POSIX
// tells that without opening the device (an open raises a serial line's modem lines); Win32
// opens it as Port::Open would, writes nothing and closes it at once.
std::string PortPath(const wchar_t* name);
void InspectPort(const wchar_t* name, bool lookCloser, PortInfo& info);

// A thread (CreateThread, SetThreadPriority, WaitForSingleObject, TerminateThread, CloseHandle).
class Thread {
 public:
  using Entry = std::uint32_t (*)(void* parameter);

  Thread();
  ~Thread();  // releases a thread that has ended
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  bool Start(Entry entry, void* parameter);
  bool IsStarted() const;
  void RaisePriority();                      // time-critical; a refusal is ignored
  bool WaitForExit(std::uint32_t milliseconds);  // true when the thread has ended
  // A handle the system's wait reports ready once the thread has ended (Win32: the thread's
  // handle); -1 where threads end only with the process (POSIX).
  std::intptr_t Waitable() const;
  // Win32 ends the thread by force. POSIX never does: it waits for the end.
  void ForceEnd();
  void Release();  // CloseHandle; the object can start a thread again

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace js::sys
