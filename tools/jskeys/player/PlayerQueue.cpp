#include "PlayerQueue.h"

#include <cmath>
#include <utility>

#include "Program.h"

namespace jskeys {

namespace {

// The player's own name, for what is said of it: "mpv" of org.mpris.MediaPlayer2.mpv.
std::string ShortName(const std::string& busName) {
  const std::string prefix = kMprisPrefix;
  return busName.rfind(prefix, 0) == 0 ? busName.substr(prefix.size()) : busName;
}

}  // namespace

PlayerQueue::PlayerQueue(sd_bus* bus, std::string busName)
    : bus_(bus), busName_(std::move(busName)) {}

void PlayerQueue::Learned(double minimumRate, Clock::time_point now) {
  if (minimumRate_) return;
  minimumRate_ = minimumRate;
  std::vector<PlayerCommand> early;
  early.swap(early_);
  for (const PlayerCommand& command : early) Command(command, now);
}

void PlayerQueue::Command(const PlayerCommand& command, Clock::time_point now) {
  if (!minimumRate_) {
    early_.push_back(command);
    return;
  }
  using Kind = PlayerCommand::Kind;
  switch (command.kind) {
    // A key that plays, pauses or changes the track takes over from playing backwards.
    case Kind::kPlayPause: backwards_.reset(); Push(Method("PlayPause")); break;
    case Kind::kPlay: backwards_.reset(); Push(Method("Play")); break;
    case Kind::kPause: backwards_.reset(); Push(Method("Pause")); break;
    case Kind::kStop: backwards_.reset(); Push(Method("Stop")); break;
    case Kind::kNext: backwards_.reset(); Push(Method("Next")); break;
    case Kind::kPrevious: backwards_.reset(); Push(Method("Previous")); break;
    case Kind::kSeek:
      Push({Call::Kind::kSeek, "Seek", std::int64_t{command.ms} * 1000, 0});
      if (anchor_) *anchor_ += std::int64_t{command.ms} * 1000;  // the jog moves the way back
      break;
    case Kind::kRate:
      DropWaitingRate();
      if (command.rate > 0 || *minimumRate_ <= command.rate) {
        backwards_.reset();
        Push({Call::Kind::kRate, "Rate", 0, command.rate});
        Push(Method("Play"));
      } else if (!backwards_) {
        Push(Method("Pause"));
        backwards_ = -command.rate;
        lastStep_ = now;
        owedMicroseconds_ = 0;
        anchor_.reset();
        landed_.reset();
      } else {
        Tick(now);  // what passed at the old speed is sought at it
        backwards_ = -command.rate;
        anchor_.reset();  // the new speed counts from the next landing
        landed_.reset();
        lastStep_ = now;
      }
      break;
    case Kind::kRest:
      DropWaitingRate();
      backwards_.reset();
      Push(Method("Pause"));
      Push({Call::Kind::kRate, "Rate", 0, 1.0});
      break;
  }
  SendNext();
}

void PlayerQueue::Push(const Call& call) {
  if (!calls_.empty()) {
    Call& last = calls_.back();
    if (call.kind == Call::Kind::kSeek && last.kind == Call::Kind::kSeek) {
      last.microseconds += call.microseconds;
      return;
    }
    if (call.kind == Call::Kind::kRate && last.kind == Call::Kind::kRate) {
      last.rate = call.rate;
      return;
    }
  }
  calls_.push_back(call);
}

void PlayerQueue::DropWaitingRate() {
  const std::size_t n = calls_.size();
  if (n >= 2 && calls_[n - 2].kind == Call::Kind::kRate && calls_[n - 1].kind == Call::Kind::kMethod &&
      std::string_view(calls_[n - 1].method) == "Play") {
    calls_.pop_back();
    calls_.pop_back();
  }
}

void PlayerQueue::Tick(Clock::time_point now) {
  if (backwards_ && now - lastStep_ >= kBackwardsStep) StepBack(now);
  SendNext();
}

void PlayerQueue::StepBack(Clock::time_point now) {
  if (anchor_) {
    // From where the last step landed; the next waits until the player says where this one did.
    const bool going = inFlight_ || settling_ || !calls_.empty();
    if (!landed_ || going) return;
    const double passed = std::chrono::duration<double, std::micro>(now - anchorTime_).count();
    const auto target = *anchor_ - static_cast<std::int64_t>(*backwards_ * passed);
    lastStep_ = now;
    if (target >= *landed_) return;
    Push({Call::Kind::kSeek, "Seek", target - *landed_, 0});
    landed_.reset();
    return;
  }
  const auto passed = std::chrono::duration<double, std::micro>(now - lastStep_).count();
  lastStep_ = now;
  owedMicroseconds_ += *backwards_ * passed;
  const double whole = std::floor(owedMicroseconds_);
  owedMicroseconds_ -= whole;
  if (whole >= 1) Push({Call::Kind::kSeek, "Seek", -static_cast<std::int64_t>(whole), 0});
}

std::optional<PlayerQueue::Clock::time_point> PlayerQueue::Due() const {
  std::optional<Clock::time_point> due;
  if (backwards_) due = lastStep_ + kBackwardsStep;
  if (settling_ && (!due || settleEnd_ < *due)) due = settleEnd_;
  return due;
}

void PlayerQueue::Seeked(Clock::time_point now, std::optional<std::int64_t> position) {
  ++seekedCount_;
  tellsSeeked_ = true;
  if (backwards_ && position) {
    if (!anchor_) {
      anchor_ = *position;
      anchorTime_ = now;
    }
    landed_ = *position;
  }
  if (settling_) {
    settling_ = false;
    Tick(now);
  }
}

void PlayerQueue::SendNext() {
  if (settling_ && Clock::now() >= settleEnd_) {
    settling_ = false;
    // The player stopped saying where seeks land: back to steps by the time that passes.
    if (anchor_ && !landed_) {
      anchor_.reset();
      lastStep_ = Clock::now();
    }
  }
  if (inFlight_ || settling_ || calls_.empty()) return;
  const Call call = calls_.front();
  calls_.pop_front();
  MessagePtr message;
  switch (call.kind) {
    case Call::Kind::kMethod:
      message = NewCall(bus_, busName_, kMprisPath, kMprisPlayer, call.method);
      break;
    case Call::Kind::kSeek:
      message = NewCall(bus_, busName_, kMprisPath, kMprisPlayer, "Seek");
      if (message && sd_bus_message_append(message.get(), "x", call.microseconds) < 0) {
        message.reset();
      }
      break;
    case Call::Kind::kRate:
      message = NewCall(bus_, busName_, kMprisPath, kProperties, "Set");
      if (message &&
          sd_bus_message_append(message.get(), "ssv", kMprisPlayer, "Rate", "d", call.rate) < 0) {
        message.reset();
      }
      break;
  }
  if (message) inFlight_ = CallAsync(bus_, message.get(), &PlayerQueue::Answered, this);
  if (!inFlight_) {
    Failed(nullptr, call.method);
    SendNext();
    return;
  }
  inFlightWhat_ = call.method;
  inFlightSeek_ = call.kind == Call::Kind::kSeek;
  if (inFlightSeek_) seekedAtSend_ = seekedCount_;
}

int PlayerQueue::Answered(sd_bus_message* reply, void* userdata, sd_bus_error* /*error*/) {
  auto* queue = static_cast<PlayerQueue*>(userdata);
  // The slot goes with this call; sd-bus holds it until the callback returns.
  queue->inFlight_.reset();
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    queue->Failed(sd_bus_message_get_error(reply), queue->inFlightWhat_);
  } else {
    queue->saidHung_ = false;
    if (queue->inFlightSeek_ && queue->seekedCount_ == queue->seekedAtSend_) {
      queue->settling_ = true;
      queue->settleEnd_ =
          Clock::now() + (queue->tellsSeeked_ ? kSeekSettle : kSeekSettleUntold);
    }
  }
  queue->SendNext();
  return 0;
}

void PlayerQueue::Failed(const sd_bus_error* error, const char* what) {
  const std::string player = ShortName(busName_);
  if (error == nullptr) {
    if (saidRefusals_.insert("").second) {
      jsprogram::Say("could not send " + std::string(what) + " to the player " + player);
    }
    return;
  }
  const std::string name = error->name != nullptr ? error->name : "";
  // A call past its wait has still reached the player, which does it when it wakes: it is not
  // sent again.
  if (name == SD_BUS_ERROR_TIMEOUT || name == SD_BUS_ERROR_NO_REPLY) {
    if (!saidHung_) {
      saidHung_ = true;
      jsprogram::Say("the player " + player + " does not answer (busy or stopped); what is " +
                     "sent to it waits");
    }
    return;
  }
  if (saidRefusals_.insert(name + what).second) {
    jsprogram::Say("the player " + player + " refused " + what + ": " +
                   (error->message != nullptr ? error->message : name));
  }
}

}  // namespace jskeys
