// The port object: construction, port setup, sending, closing and waiting for input.


#include "ChangeQueue.h"
#include "PortName.h"
#include "SerialJS.h"
#include "wPrintf.h"

namespace sys = js::sys;

namespace {

constexpr std::uint32_t kQueueSize = 4096;
// Reads return at once with what is queued; a write may take 1 ms per byte.
constexpr sys::Timeouts kTimeouts = {0xFFFFFFFF, 0, 1000, 1, 0};
// How long Close waits for calls a lost reader may have died inside.
constexpr std::uint32_t kLostReaderPatienceMs = 500;
constexpr sys::LineSettings kLine = {19200, 8, 0 /* no parity */, 0 /* one stop bit */};

}  // namespace

SerialJS::SerialJS(std::uint32_t number) : portNumber(number) {}

SerialJS::~SerialJS() { Close(); }  // the reader has ended before the queue goes

void SerialJS::ReportError(const wchar_t* format, sys::ErrorCode code, const wchar_t* portName) {
  const std::wstring text = sys::ErrorText(code);
  if (portName != nullptr) {
    wPrintf(24, 1, format, static_cast<int>(code), portName, text.c_str());
  } else {
    wPrintf(24, 1, format, static_cast<int>(code), text.c_str());
  }
}

bool SerialJS::Open() {
  wchar_t portName[js::kPortNameSize];
  js::FormatPortName(portName, portNumber);

  if (sys::ErrorCode code = portHandle.Open(portName); code != sys::kSuccess) {
    ReportError(L"SerialJS: Error (%d) opening %s config: %s\n", code, portName);
    Close();
    return false;
  }
  (void)portHandle.SetEventMask(sys::kEventReceiveChar);
  if (sys::ErrorCode code = portHandle.SetQueueSizes(kQueueSize, kQueueSize);
      code != sys::kSuccess) {
    ReportError(L"SerialJS: Error (%d) setting up %s config: %s\n", code, portName);
    Close();
    return false;
  }
  if (sys::ErrorCode code = portHandle.Purge(); code != sys::kSuccess) {
    ReportError(L"SerialJS: Error (%d) purging %s config: %s\n", code, portName);
    Close();
    return false;
  }
  (void)portHandle.SetTimeouts(kTimeouts);

  sys::LineSettings line;
  if (sys::ErrorCode code = portHandle.ReadLineSettings(line); code != sys::kSuccess) {
    ReportError(L"Serial: Error (%d) reading  com port config: %s\n", code, nullptr);
  }
  line.baudRate = kLine.baudRate;
  line.byteSize = kLine.byteSize;
  line.parity = kLine.parity;
  line.stopBits = kLine.stopBits;
  if (sys::ErrorCode code = portHandle.WriteLineSettings(line); code != sys::kSuccess) {
    ReportError(L"SerialJS: Error (%d) configuring com port: %s\n", code, nullptr);
    Close();
    return false;
  }

  running = 1;
  lineUp = 1;
  if (changes) changes->Clear();  // what the last connection left is not this one's
  warningsLogged = 0;
  droppedWarnings = 0;
  limited = 1;
  if (readerThread.Start(&SerialJS::ReaderEntry, this)) readerThread.RaisePriority();

  return RunHandshake();
}

bool SerialJS::Send(const std::uint8_t* bytes, std::uint32_t count) {
  std::uint32_t written = 0;
  sys::ErrorCode code = portHandle.Write(bytes, count, sendOverlapped, written);
  if (code == sys::kErrorIoPending) code = portHandle.AwaitResult(sendOverlapped, written);
  // A write cut short by its time-out without an error code still counts as sent.
  if (code == sys::kSuccess) return true;
  ReportError(L"SerialJS: Error (%d) sending command: %s\n", code, nullptr);
  return false;
}

void SerialJS::Close() {
  // A reader that ended while wanted either found its wait lost or was ended from outside (under
  // Wine, by a SIGQUIT), perhaps inside a call on the port: the port is let go without waiting
  // long for that call.
  const bool readerLost = ReaderLost();
  running = 0;
  lineUp = 0;
  if (readerLost) {
    portHandle.CloseWithin(kLostReaderPatienceMs);
  } else if (portHandle.IsOpen()) {
    (void)portHandle.Purge();
    sys::Sleep(1);
    portHandle.Close();  // ends the reader's wait
  }
  if (readerThread.IsStarted()) {
    if (!readerThread.WaitForExit(1000)) readerThread.ForceEnd();
    readerThread.Release();
  }
}

void SerialJS::SetReceiveTap(ReceiveTap tap, void* context) {
  if (readerThread.IsStarted()) return;  // the reader may be reading them right now
  receiveTap = tap;
  receiveTapContext = context;
}

void SerialJS::LimitWarnings(std::uint32_t count) {
  if (readerThread.IsStarted()) return;  // the reader may be counting right now
  warningLimit = count;
}

void SerialJS::KeepChanges(std::uint32_t capacity) {
  if (readerThread.IsStarted()) return;  // the reader may be filling the queue right now
  changes = std::make_unique<js::ChangeQueue>(capacity);
}

bool SerialJS::NextChange(JogShuttleChange& change, std::uint32_t milliseconds) {
  return changes && changes->Wait(change, milliseconds);
}

std::intptr_t SerialJS::ChangeSignal() const { return changes ? changes->Waitable() : -1; }

bool SerialJS::WaitForInput(std::uint32_t milliseconds) {
  if (inputEvent.Wait(milliseconds) == sys::Event::WaitResult::kTimeout) return false;
  inputEvent.Reset();
  return true;
}
