#pragma once
// The controller's side of the protocol with no line under it: reads the host's byte stream and
// says what a controller told by SimOptions does in answer. Portable; the pseudo-terminal side
// (ControllerSim) and anything else that plays a controller put a line under it.

#include <cstdint>
#include <vector>

#include "SimOptions.h"

namespace jssim {

class ControllerModel {
 public:
  struct Action {
    enum class Kind { kReset, kStatusRequest, kUnknownByte };
    Kind kind;
    std::uint32_t number = 0;  // resets or requests so far (1 = the first); kUnknownByte: the byte
    std::vector<std::uint8_t> reply{};  // what the controller sends in answer; empty: nothing
    bool hangUp = false;              // close the line instead of answering
    bool operator==(const Action&) const = default;
  };

  explicit ControllerModel(const SimOptions& options = {}) : options_(options) {}
  // Counts and the half-read request start afresh.
  void Restart(const SimOptions& options);
  // One byte from the host. Appends what it completes: nothing while a get-status request is
  // still incomplete; when one is broken off, its bytes so far as unknown bytes first.
  void Consume(std::uint8_t byte, std::vector<Action>& actions);

  std::uint32_t Resets() const { return resets_; }
  std::uint32_t StatusRequests() const { return requests_; }

 private:
  Action OnReset();
  Action OnStatusRequest();

  SimOptions options_;
  std::size_t statusMatched_ = 0;  // bytes of 0x40 0x41 0x42 seen so far
  std::uint32_t resets_ = 0;
  std::uint32_t requests_ = 0;
};

// Whether `heard` is what a controller hears of a handshake that got no answer: `attempts` times a
// reset and `requests` get-status requests, whole, or cut short within the last attempt's
// requests. A link's Close purges the line, which on a pseudo-terminal takes what the controller
// has not read yet; nothing else may be missing, and nothing else may be there.
bool IsHandshakeStart(const std::vector<std::uint8_t>& heard, std::size_t attempts,
                      std::size_t requests);

// How many bytes at the start of `heard` are a handshake: a reset and whole get-status requests;
// 0 when it does not start so. What a link sent after its Open begins there, since the reply
// that ended Open may come before the simulator has recorded what it answered.
std::size_t HandshakeLength(const std::vector<std::uint8_t>& heard);

}  // namespace jssim
