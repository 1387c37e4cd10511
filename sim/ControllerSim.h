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

#include "ControllerModel.h"
#include "SimOptions.h"
#include "UniqueFd.h"

namespace jssim {

using jsposix::UniqueFd;

class ControllerSim {
 public:
  ControllerSim();
  ~ControllerSim();  // Stop()
  ControllerSim(const ControllerSim&) = delete;
  ControllerSim& operator=(const ControllerSim&) = delete;

  // Creates a pseudo-terminal, makes its slave side raw, links the slave device as linkPath
  // (a new symlink: anything already at that path, a symlink included, is refused and left
  // alone) and starts the responder thread. Counters and Received() start afresh. False with *error set (when error
  // is not null) when it cannot, or when already started.
  bool Start(const std::string& linkPath, const SimOptions& options, std::string* error);
  // Ends the thread, closes everything and removes the link (only if it is still a symlink to
  // our slave). Idempotent; Start may follow.
  void Stop();
  // Writes bytes towards the link, whole and not interleaved with other writes. Blocks while
  // the line's buffer is full; false once Stop or a hang-up has begun, or on a write error.
  bool Send(std::span<const std::uint8_t> bytes);
  // Closes the master now (after the responder thread has ended): the far end sees an
  // unplugged line. The link goes at once, as a device's link goes when it is unplugged: the
  // slave's number is free from now on and may soon name an unrelated terminal. The same holds
  // for a hang-up after hangUpAfterRequests.
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
  void OnReset(const ControllerModel::Action& action);
  void OnStatusRequest(const ControllerModel::Action& action);
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
  std::atomic<bool> linkMade_{false};  // cleared by whoever removes it (Stop, HangUp, responder)

  std::mutex writeMutex_;  // every write to the master, and closing it
  UniqueFd master_;
  UniqueFd ownSlave_;  // held so the master never sees a hang-up while no host has the slave
  UniqueFd wakeRead_;  // a pipe, readable once Stop or a hang-up has begun; never drained
  UniqueFd wakeWrite_;
  std::atomic<bool> attention_{false};
  std::thread responder_;

  // Responder thread only.
  ControllerModel model_;  // what the controller answers; restarted by Start
  std::vector<ControllerModel::Action> actions_;
  bool lineClosed_ = false;

  std::atomic<std::uint32_t> resets_{0};
  std::atomic<std::uint32_t> requests_{0};
  mutable std::mutex receivedMutex_;
  mutable std::condition_variable receivedChanged_;
  std::vector<std::uint8_t> received_;
  std::uint64_t receivedVersion_ = 0;
};

}  // namespace jssim
