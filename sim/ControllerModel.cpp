#include "ControllerModel.h"

#include <algorithm>
#include <array>

namespace jssim {

namespace {

constexpr std::uint8_t kReset = 0x43;
constexpr std::array<std::uint8_t, 3> kGetStatus = {0x40, 0x41, 0x42};
constexpr std::uint8_t kInitText = 0x82;

}  // namespace

void ControllerModel::Restart(const SimOptions& options) {
  options_ = options;
  statusMatched_ = 0;
  resets_ = 0;
  requests_ = 0;
}

void ControllerModel::Consume(std::uint8_t byte, std::vector<Action>& actions) {
  if (statusMatched_ > 0 && byte == kGetStatus[statusMatched_]) {
    if (++statusMatched_ == kGetStatus.size()) {
      statusMatched_ = 0;
      actions.push_back(OnStatusRequest());
    }
    return;
  }
  // A get-status sequence broken off: the bytes of it seen so far were no command.
  for (std::size_t i = 0; i < statusMatched_; ++i) {
    actions.push_back({Action::Kind::kUnknownByte, kGetStatus[i]});
  }
  statusMatched_ = 0;
  if (byte == kGetStatus[0]) {
    statusMatched_ = 1;
  } else if (byte == kReset) {
    actions.push_back(OnReset());
  } else {
    actions.push_back({Action::Kind::kUnknownByte, byte});
  }
}

ControllerModel::Action ControllerModel::OnReset() {
  Action action{Action::Kind::kReset, ++resets_};
  if (options_.sendInit) {
    // The length byte counts the code and itself; longer texts are refused by whoever starts
    // the controller, and cut here rather than sent with a wrong length.
    const std::size_t length = std::min(options_.initText.size(), kMaxInitText);
    action.reply.reserve(length + 2);
    action.reply.push_back(kInitText);
    action.reply.push_back(static_cast<std::uint8_t>(length + 2));
    for (std::size_t i = 0; i < length; ++i) {
      action.reply.push_back(static_cast<std::uint8_t>(options_.initText[i]));
    }
  }
  return action;
}

ControllerModel::Action ControllerModel::OnStatusRequest() {
  Action action{Action::Kind::kStatusRequest, ++requests_};
  if (options_.hangUpAfterRequests != 0 && requests_ >= options_.hangUpAfterRequests) {
    action.hangUp = true;
    return action;
  }
  if (options_.silent || requests_ < options_.answerFrom) return action;
  action.reply = options_.replyOverride;
  if (action.reply.empty()) {
    action.reply = {0xC0,
                    static_cast<std::uint8_t>(options_.statusC0 >> 8),
                    static_cast<std::uint8_t>(options_.statusC0 & 0xFF),
                    0xC1,
                    options_.statusC1,
                    0xC2,
                    options_.statusC2};
  }
  return action;
}

bool IsHandshakeStart(const std::vector<std::uint8_t>& heard, std::size_t attempts,
                      std::size_t requests) {
  std::vector<std::uint8_t> sent;
  for (std::size_t attempt = 0; attempt < attempts; ++attempt) {
    sent.push_back(0x43);
    for (std::size_t i = 0; i < requests; ++i) sent.insert(sent.end(), {0x40, 0x41, 0x42});
  }
  const std::size_t lastReset = sent.size() - 3 * requests - 1;
  return heard.size() > lastReset && heard.size() <= sent.size() &&
         std::equal(heard.begin(), heard.end(), sent.begin());
}

std::size_t HandshakeLength(const std::vector<std::uint8_t>& heard) {
  if (heard.empty() || heard[0] != 0x43) return 0;
  std::size_t length = 1;
  while (length + 3 <= heard.size() && heard[length] == 0x40 && heard[length + 1] == 0x41 &&
         heard[length + 2] == 0x42) {
    length += 3;
  }
  return length > 1 ? length : 0;
}

}  // namespace jssim
