// A serial port over the Win32 communications calls, opened exclusively for overlapped I/O.
// - The user's thread closes the port while the reader thread waits on it or reads from it, so
//   the handle is an atomic and every call that hands it to the system holds a slim reader/writer
//   lock shared: Close takes the handle away first, takes the lock exclusively (so it waits until
//   no call is still handing the handle over), and only then closes it. A call therefore never
//   reaches a handle number the system may already have handed out again. None of the calls that
//   hold the lock blocks; the waits happen outside it.
// - The lock is the system's own, which cannot lose a wake-up. std::atomic::wait cannot be
//   trusted here: mingw-w64's runtime has no native wait on Windows and falls back to a condition
//   variable whose wake-up can be lost, and Close then hangs for ever.
// - The reader's wait is bounded: a WaitCommEvent that has seen nothing for its time is ended
//   (CancelIoEx; where the system cannot cancel it, as Wine cannot, SetCommMask with the same
//   mask, which ends a pending wait with mask 0) and issued again. Under Wine a pending wait is
//   served by a polling thread of Wine's own, which a SIGQUIT may end; such a wait never ends,
//   and is reported lost, so that the reader can end and the program with it.
// - Closing the handle ends a pending WaitCommEvent and any transfer still under way; each wait
//   is on an event of its own record, so it ends too.
// - Close puts back the line settings and time-outs the port had when it was opened, as the
//   POSIX port puts back its termios: the next program to use the port finds it as it was.
// - Three completion records are in use at once: the reader's, Send's and the event wait's.
//   Each has its own event, so no transfer completes into another's count or wait.

#include "WinApi.h"

#include <atomic>

#include "Platform.h"

namespace js::sys {

static_assert(kErrorIoPending == ERROR_IO_PENDING);
static_assert(kErrorIoIncomplete == ERROR_IO_INCOMPLETE);
static_assert(kEventReceiveChar == EV_RXCHAR);
static_assert(kEventLineError == EV_ERR);

namespace {

ErrorCode LastError() { return static_cast<ErrorCode>(GetLastError()); }

// A manual-reset event, not signalled, unnamed: the completion event of one record.
HANDLE CreateCompletionEvent() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }

// Clears a record for its next transfer; its event stays.
void ResetRecord(OVERLAPPED& record) {
  const HANDLE event = record.hEvent;
  record = OVERLAPPED{};
  record.hEvent = event;
}

}  // namespace

struct IoRecord::Impl {
  OVERLAPPED overlapped{};         // hEvent: the record's own event; null if it failed
  ErrorCode eventError = kSuccess;  // why the event could not be made
  HANDLE issuedOn = INVALID_HANDLE_VALUE;  // the port of the last transfer; not owned
};

IoRecord::IoRecord() : impl_(std::make_unique<Impl>()) {
  impl_->overlapped.hEvent = CreateCompletionEvent();
  if (impl_->overlapped.hEvent == nullptr) impl_->eventError = LastError();
}

IoRecord::~IoRecord() {
  if (impl_->overlapped.hEvent != nullptr) CloseHandle(impl_->overlapped.hEvent);
}

struct Port::Impl {
  std::atomic<HANDLE> handle{INVALID_HANDLE_VALUE};
  SRWLOCK handingOver = SRWLOCK_INIT;  // shared: a call hands the handle over; exclusive: Close
  DCB settings{};  // the record ReadLineSettings fills and WriteLineSettings applies
  // The port as it was at Open, put back by Close; only what could be read.
  DCB original{};
  COMMTIMEOUTS originalTimeouts{};
  bool restoreSettings = false;
  bool restoreTimeouts = false;
  OVERLAPPED waitRecord{};          // the event wait's own record and event
  ErrorCode waitEventError = kSuccess;
  DWORD waitMask = 0;  // written by the system when the wait completes, so it lives here
  DWORD eventMask = 0;  // as last set: set again, it ends a pending wait
  // A wait that could not be ended is still the system's: its record is never issued again.
  std::atomic<bool> waitLost{false};
};

namespace {

// Hands out the handle only while Close has not taken it; Close waits for the calls inside.
// Never nested on one thread: a second shared hold could wait behind Close's exclusive one.
class CallGuard {
 public:
  explicit CallGuard(Port::Impl& impl) : impl_(impl) {
    AcquireSRWLockShared(&impl_.handingOver);
    handle_ = impl_.handle.load();
  }
  ~CallGuard() { ReleaseSRWLockShared(&impl_.handingOver); }
  CallGuard(const CallGuard&) = delete;
  CallGuard& operator=(const CallGuard&) = delete;

  bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE handle() const { return handle_; }

 private:
  Port::Impl& impl_;
  HANDLE handle_;
};

// One call that succeeds or fails as a whole, on the open port.
template <typename Call>
ErrorCode OnPort(Port::Impl& impl, Call call) {
  CallGuard guard(impl);
  if (!guard.IsOpen()) return ERROR_INVALID_HANDLE;
  return call(guard.handle()) ? kSuccess : LastError();
}

}  // namespace

Port::Port() : impl_(std::make_unique<Impl>()) {
  impl_->waitRecord.hEvent = CreateCompletionEvent();
  if (impl_->waitRecord.hEvent == nullptr) impl_->waitEventError = LastError();
}

Port::~Port() {
  Close();
  if (impl_->waitRecord.hEvent != nullptr) CloseHandle(impl_->waitRecord.hEvent);
}

bool Port::IsOpen() const { return impl_->handle.load() != INVALID_HANDLE_VALUE; }

ErrorCode Port::Open(const wchar_t* name) {
  if (IsOpen()) return ERROR_BUSY;
  // Share mode 0: a port another program holds fails here.
  const HANDLE handle =
      CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                  FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastError();
  // Read before anything changes the port; what cannot be read is left alone at Close.
  impl_->original = DCB{};
  impl_->original.DCBlength = sizeof(DCB);
  impl_->restoreSettings = GetCommState(handle, &impl_->original) != FALSE;
  impl_->originalTimeouts = COMMTIMEOUTS{};
  impl_->restoreTimeouts = GetCommTimeouts(handle, &impl_->originalTimeouts) != FALSE;
  impl_->settings = DCB{};
  impl_->handle.store(handle);
  return kSuccess;
}

ErrorCode Port::SetEventMask(std::uint32_t mask) {
  impl_->eventMask = mask;
  return OnPort(*impl_, [mask](HANDLE port) { return SetCommMask(port, mask); });
}

ErrorCode Port::SetQueueSizes(std::uint32_t input, std::uint32_t output) {
  return OnPort(*impl_, [=](HANDLE port) { return SetupComm(port, input, output); });
}

ErrorCode Port::Purge() {
  return OnPort(*impl_, [](HANDLE port) {
    return PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  });
}

ErrorCode Port::SetTimeouts(const Timeouts& timeouts) {
  COMMTIMEOUTS record{};
  record.ReadIntervalTimeout = timeouts.readIntervalTimeout;
  record.ReadTotalTimeoutMultiplier = timeouts.readTotalTimeoutMultiplier;
  record.ReadTotalTimeoutConstant = timeouts.readTotalTimeoutConstant;
  record.WriteTotalTimeoutMultiplier = timeouts.writeTotalTimeoutMultiplier;
  record.WriteTotalTimeoutConstant = timeouts.writeTotalTimeoutConstant;
  return OnPort(*impl_, [&record](HANDLE port) { return SetCommTimeouts(port, &record); });
}

ErrorCode Port::ReadLineSettings(LineSettings& settings) {
  settings = LineSettings{};
  // Zeroed, its length member too; the link goes on with it when the read fails. Read into a
  // copy, so that a failure cannot leave part of a record behind.
  impl_->settings = DCB{};
  DCB current{};
  const ErrorCode code =
      OnPort(*impl_, [&current](HANDLE port) { return GetCommState(port, &current); });
  if (code != kSuccess) return code;
  impl_->settings = current;
  settings.baudRate = current.BaudRate;
  settings.byteSize = current.ByteSize;
  settings.parity = current.Parity;
  settings.stopBits = current.StopBits;
  return kSuccess;
}

ErrorCode Port::WriteLineSettings(const LineSettings& settings) {
  // Only these four members change; every other one stays as read.
  DCB& line = impl_->settings;
  line.BaudRate = settings.baudRate;
  line.ByteSize = settings.byteSize;
  line.Parity = settings.parity;
  line.StopBits = settings.stopBits;
  return OnPort(*impl_, [&line](HANDLE port) { return SetCommState(port, &line); });
}

namespace {

// How long a cancelled wait may take to end: generous for a loaded machine; Wine's polling
// thread looks every 10 ms.
constexpr DWORD kEndPatienceMs = 2000;

// Ends the wait issued on `issuedOn`; true once it has ended (cancelled, or completed meanwhile).
// A port closed meanwhile ends it too.
bool EndPendingWait(Port::Impl& port, HANDLE issuedOn) {
  bool cancelled = false;
  {
    CallGuard call(port);
    if (call.IsOpen() && call.handle() == issuedOn) {
      cancelled = CancelIoEx(issuedOn, &port.waitRecord) != FALSE;
    }
  }
  if (cancelled && WaitForSingleObject(port.waitRecord.hEvent, kEndPatienceMs) == WAIT_OBJECT_0) {
    return true;
  }
  {
    CallGuard call(port);
    if (call.IsOpen() && call.handle() == issuedOn) (void)SetCommMask(issuedOn, port.eventMask);
  }
  return WaitForSingleObject(port.waitRecord.hEvent, kEndPatienceMs) == WAIT_OBJECT_0;
}

}  // namespace

ErrorCode Port::WaitEvent(std::uint32_t& mask, std::uint32_t milliseconds) {
  mask = 0;
  Impl& port = *impl_;
  if (port.waitRecord.hEvent == nullptr) return port.waitEventError;
  if (port.waitLost) return kErrorWaitLost;
  HANDLE issuedOn = INVALID_HANDLE_VALUE;
  {
    CallGuard call(port);
    if (!call.IsOpen()) return ERROR_INVALID_HANDLE;
    issuedOn = call.handle();
    port.waitMask = 0;
    ResetRecord(port.waitRecord);
    if (WaitCommEvent(issuedOn, &port.waitMask, &port.waitRecord)) {
      mask = port.waitMask;
      return kSuccess;
    }
    const ErrorCode code = LastError();
    if (code != kErrorIoPending) return code;
  }
  // Waited for outside the count, so that Close can close the handle: that ends the wait with
  // the mask left 0.
  const DWORD waited = WaitForSingleObject(port.waitRecord.hEvent, milliseconds);
  if (waited == WAIT_TIMEOUT) {
    if (!EndPendingWait(port, issuedOn)) {
      port.waitLost = true;
      return kErrorWaitLost;
    }
  } else if (waited != WAIT_OBJECT_0) {
    return LastError();
  }
  // The wait has ended; this only collects its outcome from the record.
  DWORD unused = 0;
  const bool completed = GetOverlappedResult(issuedOn, &port.waitRecord, &unused, FALSE) != FALSE;
  const ErrorCode code = completed ? kSuccess : LastError();
  mask = port.waitMask;
  // Ended by us with nothing seen: the bound passed. (It may also have seen its event just as
  // it was ended; then that counts.)
  if (waited == WAIT_TIMEOUT && mask == 0) return kErrorTimeout;
  return code;
}

ErrorCode Port::QueuedInput(std::uint32_t& count) {
  count = 0;
  DWORD errors = 0;  // the error flags are not used
  COMSTAT status{};
  const ErrorCode code = OnPort(
      *impl_, [&](HANDLE port) { return ClearCommError(port, &errors, &status); });
  if (code == kSuccess) count = status.cbInQue;
  return code;
}

namespace {

// Starts an overlapped transfer on the open port with the caller's record.
template <typename Transfer>
ErrorCode StartTransfer(Port::Impl& port, IoRecord& record, std::uint32_t& transferred,
                        Transfer transfer) {
  transferred = 0;
  IoRecord::Impl& io = record.impl();
  if (io.overlapped.hEvent == nullptr) return io.eventError;
  DWORD done = 0;
  const ErrorCode code = OnPort(port, [&](HANDLE handle) {
    ResetRecord(io.overlapped);
    io.issuedOn = handle;
    return transfer(handle, &done, &io.overlapped);
  });
  if (code == kSuccess) transferred = done;
  return code;  // kErrorIoPending while under way
}

}  // namespace

ErrorCode Port::Read(void* buffer, std::uint32_t count, IoRecord& record,
                     std::uint32_t& transferred) {
  return StartTransfer(*impl_, record, transferred,
                       [&](HANDLE handle, DWORD* done, OVERLAPPED* overlapped) {
                         return ReadFile(handle, buffer, count, done, overlapped);
                       });
}

ErrorCode Port::Write(const void* bytes, std::uint32_t count, IoRecord& record,
                      std::uint32_t& transferred) {
  return StartTransfer(*impl_, record, transferred,
                       [&](HANDLE handle, DWORD* done, OVERLAPPED* overlapped) {
                         return WriteFile(handle, bytes, count, done, overlapped);
                       });
}

ErrorCode Port::AwaitResult(IoRecord& record, std::uint32_t& transferred) {
  transferred = 0;
  IoRecord::Impl& io = record.impl();
  if (io.overlapped.hEvent == nullptr) return io.eventError;
  // Waits on the record's own event, not on the port, so it ends too when Close has closed the
  // port meanwhile (the transfer is then cancelled).
  DWORD done = 0;
  const BOOL finished = GetOverlappedResult(io.issuedOn, &io.overlapped, &done, TRUE);
  const ErrorCode code = finished ? kSuccess : LastError();
  transferred = done;  // after a failure: what was transferred before the error
  return code;
}

void Port::Close() { CloseWithin(INFINITE); }

void Port::CloseWithin(std::uint32_t milliseconds) {
  const HANDLE handle = impl_->handle.exchange(INVALID_HANDLE_VALUE);
  if (handle == INVALID_HANDLE_VALUE) return;
  // Wait for the calls still handing the handle to the system; none of them blocks. Every call
  // that comes after this finds the handle gone.
  if (milliseconds == INFINITE) {
    AcquireSRWLockExclusive(&impl_->handingOver);
    ReleaseSRWLockExclusive(&impl_->handingOver);
  } else {
    const ULONGLONG giveUp = GetTickCount64() + milliseconds;
    bool held = false;
    while (!(held = TryAcquireSRWLockExclusive(&impl_->handingOver) != FALSE)) {
      if (GetTickCount64() >= giveUp) break;  // its holder died inside a call: go on without it
      ::Sleep(1);
    }
    if (held) ReleaseSRWLockExclusive(&impl_->handingOver);
  }
  // Only this thread holds the handle now.
  if (impl_->restoreSettings) (void)SetCommState(handle, &impl_->original);
  if (impl_->restoreTimeouts) (void)SetCommTimeouts(handle, &impl_->originalTimeouts);
  impl_->restoreSettings = false;
  impl_->restoreTimeouts = false;
  CloseHandle(handle);  // ends a pending WaitEvent and any transfer still under way
  impl_->waitLost.store(false);  // the next port's waits are new ones
}

}  // namespace js::sys
