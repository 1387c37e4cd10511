#pragma once
// A jog/shuttle controller played on the master side of a pseudo-terminal. The link opens the
// slave side (through a symlink of our choosing) as if it were the controller's serial port;
// a responder thread answers resets and get-status requests the way the controller does.
//
// Host to controller: 0x43 reset; 0x40 0x41 0x42 get status (parsed as a byte stream, so the
// three bytes may arrive split). Controller to host: status C0 = 0xC0 hi lo, C1 = 0xC1 b,
// C2 = 0xC2 b; init text = 0x82 L text (L counts the code and itself); events as sent by Send.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "UniqueFd.h"

namespace jssim {

// What the simulator did, for a tool that reports it. Delivered on the responder thread.
struct SimEvent {
  enum class Kind {
    kReceivedReset,          // number = resets so far
    kReceivedStatusRequest,  // number = get-status requests so far (1 = the first)
    kReceivedUnknownByte,    // number = the byte
    kSentReply,              // bytes = the replies sent for one request (status or override)
    kSentInit,               // bytes = the init-text message sent after a reset
    kHungUp,                 // hangUpAfterRequests was reached and the line closed
  };
  Kind kind;
  std::uint32_t number = 0;
  std::vector<std::uint8_t> bytes;
};
using SimObserver = std::function<void(const SimEvent&)>;

inline constexpr std::size_t kMaxInitText = 253;  // the length byte counts code and itself

// Every member has a default, so designated initializers may name any few of them.
struct SimOptions {
  std::uint16_t statusC0 = 0x0001;  // value of C0 replies (sent high byte first)
  std::uint8_t statusC1 = 0x00;
  std::uint8_t statusC2 = 0x00;
  bool silent = false;  // never answers
  // Answers get-status requests from the n-th one on (1 = the first; 0 counts as 1); counts
  // requests since Start.
  std::uint32_t answerFrom = 1;
  std::string initText{};  // when sendInit, sent as an init-text message after each reset
  bool sendInit = false;
  // 0: never; else close the master (as if unplugged) right after receiving that many
  // get-status requests; that last request is not answered.
  std::uint32_t hangUpAfterRequests = 0;
  // When non-empty, sent instead of the three status replies for each answered request.
  std::vector<std::uint8_t> replyOverride{};
  // Optional. Called on the responder thread; it must not call Stop or HangUp.
  SimObserver observer{};
};

class ControllerSim {
 public:
  ControllerSim();
  ~ControllerSim();  // Stop()
  ControllerSim(const ControllerSim&) = delete;
  ControllerSim& operator=(const ControllerSim&) = delete;

  // Creates a pseudo-terminal, makes its slave side raw, links the slave device as linkPath
  // (a symlink; a stale symlink there is replaced, anything else is refused) and starts the
  // responder thread. Counters and Received() start afresh. False with *error set (when error
  // is not null) when it cannot, or when already started.
  bool Start(const std::string& linkPath, const SimOptions& options, std::string* error);
  // Ends the thread, closes everything and removes the link (if it still points at our slave).
  // Idempotent; Start may follow.
  void Stop();
  // Writes bytes towards the link, whole and not interleaved with other writes. Blocks while
  // the line's buffer is full; false once Stop or a hang-up has begun, or on a write error.
  bool Send(std::span<const std::uint8_t> bytes);
  // Closes the master now (after the responder thread has ended): the far end sees an
  // unplugged line. The link stays until Stop.
  void HangUp();

  std::vector<std::uint8_t> Received() const;  // every byte received since Start, in order
  std::uint32_t ResetsReceived() const { return resets_.load(); }
  std::uint32_t StatusRequestsReceived() const { return requests_.load(); }
  // Waits until pred(Received()) holds or the timeout passes; returns pred's last answer.
  // Replies to what pred sees have already been written when it is called.
  bool WaitUntil(const std::function<bool(const std::vector<std::uint8_t>&)>& pred,
                 std::chrono::milliseconds timeout) const;
  const std::string& SlavePath() const { return slavePath_; }

 private:
  void Respond();
  void Consume(std::uint8_t byte);
  void OnReset();
  void OnStatusRequest();
  void HangUpFromResponder();
  bool WriteAll(std::span<const std::uint8_t> bytes);
  void RaiseAttention();
  void CloseLine();
  void CloseWakeUp();
  void RemoveLink();
  void Report(SimEvent::Kind kind, std::uint32_t number, std::vector<std::uint8_t> bytes = {});

  std::mutex lifecycleMutex_;  // Start, Stop and HangUp
  bool started_ = false;
  SimOptions options_;  // written by Start before the thread exists, read by the thread
  std::string linkPath_;
  std::string slavePath_;
  bool linkMade_ = false;

  std::mutex writeMutex_;  // every write to the master, and closing it
  UniqueFd master_;
  UniqueFd ownSlave_;  // held so the master never sees a hang-up while no host has the slave
  UniqueFd wakeRead_;  // a pipe, readable once Stop or a hang-up has begun; never drained
  UniqueFd wakeWrite_;
  std::atomic<bool> attention_{false};
  std::thread responder_;

  // Responder thread only.
  std::size_t statusMatched_ = 0;  // bytes of 0x40 0x41 0x42 seen so far
  bool lineClosed_ = false;

  std::atomic<std::uint32_t> resets_{0};
  std::atomic<std::uint32_t> requests_{0};
  mutable std::mutex receivedMutex_;
  mutable std::condition_variable receivedChanged_;
  std::vector<std::uint8_t> received_;
  std::uint64_t receivedVersion_ = 0;
};

}  // namespace jssim
