// The presence handshake that ends Open, and Reset.

#include "SerialJS.h"
#include "wPrintf.h"

namespace sys = js::sys;

namespace {
constexpr int kAttempts = 7;
constexpr int kRepeatedRequests = 7;
}  // namespace

bool SerialJS::RunHandshake() {
  auto noReplyYet = [this] {
    return statusC2 == kNoStatus && statusC1 == kNoStatus && statusC0 == kNoStatus;
  };
  auto sendGetStatus = [this] {
    wPrintf(24, 8, L"SerialJS: Sending get status\n");
    return Send(kGetStatusCommand.data(), static_cast<std::uint32_t>(kGetStatusCommand.size()));
  };

  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    sys::Sleep(10);
    statusC1 = kNoStatus;
    statusC0 = kNoStatus;
    statusC2 = kNoStatus;
    int polls = 0;

    wPrintf(24, 8, L"SerialJS: Sending reset\n");
    if (!Send(&kResetCommand, 1)) {
      Close();
      return false;
    }
    sys::Sleep(10);
    if (!sendGetStatus()) {
      Close();
      return false;
    }
    sys::Sleep(5);
    while (noReplyYet() && polls < kRepeatedRequests) {
      if (!sendGetStatus()) {
        Close();
        return false;
      }
      sys::Sleep(5);
      ++polls;
    }
    // Decided by the count of repeats: a reply after the last repeat does not count.
    if (polls < kRepeatedRequests) {
      limited = 0;  // a controller: whatever it sends from now on is worth a word
      return true;
    }
  }
  Close();
  if (!QuietTry()) wPrintf(24, 2, L"SerialJS: JS ist not answering after 7 trys\n");
  return false;
}

void SerialJS::Reset() {
  statusC2 = 0;
  (void)Send(&kResetCommand, 1);
  sys::Sleep(1);
  statusC0 = 0;
  statusC1 = 0;
  keys = 0;
  sKeys = 0;
  cKeys = 0;
  scKeys = 0;
  jogIncrements = 0;
  jogDecrements = 0;
  shuttle = 0;
}
