// The receive path: the reader thread waits for received characters, drains the driver's queue
// into rxBuffer and decodes each piece at once.

#include <algorithm>
#include <chrono>

#include "SerialJS.h"
#include "wPrintf.h"

namespace sys = js::sys;

std::uint32_t SerialJS::ReaderEntry(void* self) {
  static_cast<SerialJS*>(self)->ReaderLoop();
  return 0;
}

namespace {

// The reader's longest wait: it looks around at least this often.
constexpr std::uint32_t kWaitBoundMs = 1000;
constexpr auto kMainThreadLook = std::chrono::milliseconds(kWaitBoundMs);
// A process whose main thread has gone under the reader ends as a SIGQUIT ends one on Linux
// (128 + 3): under Wine that signal ends only the thread it lands on.
constexpr int kMainThreadLostStatus = 131;
// How long the port's release waits for calls the dead thread may have been inside.
constexpr std::uint32_t kReleasePatienceMs = 500;

}  // namespace

std::uint32_t SerialJS::ReaderLoop() {
  auto nextLook = std::chrono::steady_clock::now() + kMainThreadLook;
  while (running != 0) {
    std::uint32_t mask = 0;
    const sys::ErrorCode code = portHandle.WaitEvent(mask, kWaitBoundMs);
    // With nobody left to close the port, the reader puts it back and ends the process.
    if (const auto now = std::chrono::steady_clock::now(); now >= nextLook) {
      nextLook = now + kMainThreadLook;
      if (sys::MainThreadEnded()) {
        portHandle.CloseWithin(kReleasePatienceMs);
        sys::EndProcess(kMainThreadLostStatus);
      }
    }
    if (code == sys::kErrorWaitLost) {
      // The port can no longer be waited on; the program sees the reader gone and ends.
      wPrintf(24, 1, L"SerialJS: the system lost the port's wait; the reader ends\n");
      break;
    }
    // A wait that passed its bound reads what came as it was ended: that never waits for the
    // next wait's event.
    if ((mask & sys::kEventReceiveChar) != 0 || code == sys::kErrorTimeout) {
      while (ReadAvailable() && running != 0) {
        readTime = std::chrono::steady_clock::now();  // what this read brings is stamped with it
        Decode();
      }
    } else {
      // A failed wait or a line fault while the link is still wanted: the line has gone down.
      // (Close also ends the wait, but it clears `running` first.)
      if ((code != sys::kSuccess || (mask & sys::kEventLineError) != 0) && running != 0 &&
          lineUp != 0) {
        lineUp = 0;
        JogShuttleChange down;
        down.kind = JogShuttleChange::Kind::kLineDown;
        readTime = std::chrono::steady_clock::now();
        Record(down);
        inputEvent.Set();
      }
      // A closed port, a hang-up or a line fault: pause, so that a dead line never spins. The
      // closing of a quiet try is no news.
      if (running != 0 || !QuietTry()) {
        wPrintf(24, 1, L"SerialJS: Invalid WaitCommEvent(%08x)\n", static_cast<unsigned>(mask));
      }
      sys::Sleep(10);
    }
  }
  return 0;
}

bool SerialJS::ReadAvailable() {
  std::uint32_t queued = 0;
  // When the queue cannot be asked, nothing is read rather than a count that may be stale.
  if (portHandle.QueuedInput(queued) != sys::kSuccess) queued = 0;

  const std::uint32_t n = std::min<std::uint32_t>(255 - rxCount, queued);
  std::uint32_t got = 0;
  if (n != 0) {
    sys::ErrorCode code = portHandle.Read(rxBuffer.data() + rxCount, n, overlapped, got);
    if (code == sys::kErrorIoPending) {
      for (;;) {
        code = portHandle.AwaitResult(overlapped, got);
        if (code != sys::kErrorIoIncomplete) break;
        wPrintf(24, 1, L"SerialJS: ERROR IO incomplete (%d): %s\n", static_cast<int>(code),
                sys::ErrorText(code).c_str());
        sys::Sleep(10);
      }
      // On failure `got` keeps what was transferred before the error.
    } else if (code != sys::kSuccess) {
      got = 0;
    }
    if (code != sys::kSuccess) {
      wPrintf(24, 1, L"SerialJS: COM Error(%x), clearing\n", static_cast<unsigned>(code));
      std::uint32_t ignored = 0;
      (void)portHandle.QueuedInput(ignored);
    }
    got = std::min(got, n);  // never past the buffer, whatever the OS said
  }
  if (got != 0 && receiveTap != nullptr) {
    receiveTap(receiveTapContext, rxBuffer.data() + rxCount, got);
  }
  rxCount += got;
  return got != 0;
}
