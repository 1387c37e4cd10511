#pragma once
// A backend of the port seam for tests. Each call behaves as a well-behaved port would (bytes
// the test hands to Receive are queued and announced by a receive event; writes go through;
// status requests are answered), unless the test has scripted what the call gives. The link's
// own sources are built on top of it unchanged, in a library of their own.
//
// There is one scripted port per process: tests open one link at a time.

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "Platform.h"

namespace js::sys::fault {

enum class Call {
  kOpen,
  kSetEventMask,
  kSetQueueSizes,
  kPurge,
  kSetTimeouts,
  kReadLineSettings,
  kWriteLineSettings,
  kWaitEvent,
  kQueuedInput,
  kRead,
  kWrite,
  kAwaitResult,
  kClose,
  kEventWait,  // a timed or endless wait on an event (WaitForInput's)
};

// What one call gives: its code and, where it has one, its value: the mask of kWaitEvent, the
// queue count of kQueuedInput, the transferred count of kRead, kWrite and kAwaitResult. A kRead
// or kWrite that gives kErrorIoPending completes at the next kAwaitResult.
struct Outcome {
  ErrorCode code = kSuccess;
  std::uint32_t value = 0;
};

struct CallRecord {
  Call call;
  Outcome outcome;
};

// What a call on a port that is not open gives (ERROR_INVALID_HANDLE), and what a pending
// event wait ends with when the port is closed (ERROR_OPERATION_ABORTED), as on Win32.
inline constexpr ErrorCode kNotOpen = 6;
inline constexpr ErrorCode kAborted = 995;

// The status reply sent for each get-status request while answering is on.
inline constexpr std::uint8_t kStatusReply[] = {0xC1, 0x00};

// The line settings a port reports before the link sets its own.
inline constexpr LineSettings kPortDefaults = {9600, 7, 2, 2};

// The system text of every code on this backend: "fault text <code>".
std::wstring TextOf(ErrorCode code);

// Everything is reset at the start of each test (Reset); then a test scripts and looks.
void Reset();
// The next call of `call` gives `outcome`; several pushed outcomes of one call go in order.
// A kWaitEvent outcome is a port event: waits block until one is there or the port closes.
void Push(Call call, Outcome outcome);
// Bytes from the controller: queued in the driver, then announced by a receive event.
void Receive(const std::vector<std::uint8_t>& bytes);
// Push for each of `script`, then Receive, in one step: a reader already waiting sees a
// scripted end of its wait with the bytes already there.
void ScriptAndReceive(const std::vector<std::pair<Call, Outcome>>& script,
                      const std::vector<std::uint8_t>& bytes);
void AnswerStatusRequests(bool answer);  // on after Reset

std::vector<CallRecord> Calls();
std::vector<std::wstring> OpenedNames();  // the name of each kOpen, in order
std::size_t CountOf(Call call);
// Waits until `call` has been made `count` times in all; false when the time ran out.
bool WaitForCount(Call call, std::size_t count,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10));
// Waits until the reader waits for an event with none coming and nothing queued: every status
// reply the handshake asked for has been read, however many it asked for on a busy machine.
bool WaitUntilIdle(std::chrono::milliseconds timeout = std::chrono::seconds(10));
std::vector<std::uint8_t> Written();
std::vector<LineSettings> LineSettingsWritten();
std::size_t QueuedBytes();  // bytes received and not yet read

}  // namespace js::sys::fault
