#pragma once
// What a simulated controller is told to do and what it reports: the portable half of the
// simulator, shared by the pseudo-terminal side and by anything that plays a controller elsewhere.
//
// Host to controller: 0x43 reset; 0x40 0x41 0x42 get status (parsed as a byte stream, so the
// three bytes may arrive split). Controller to host: status C0 = 0xC0 hi lo, C1 = 0xC1 b,
// C2 = 0xC2 b; init text = 0x82 L text (L counts the code and itself).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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

}  // namespace jssim
