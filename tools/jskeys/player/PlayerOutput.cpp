#include "PlayerOutput.h"

#include <poll.h>

#include "Program.h"

namespace jskeys {

namespace {

// Commands kept while the players at start are being learned: a burst of the jog at most.
constexpr std::size_t kMostEarly = 256;

}  // namespace

PlayerOutput::PlayerOutput() {
  if (!Connect()) {
    jsprogram::Say("no session bus (" + lastError_ + "): the player's commands go nowhere");
  }
}

PlayerOutput::~PlayerOutput() { Disconnect(); }

bool PlayerOutput::Connect() {
  bus_ = OpenSessionBus(lastError_);
  if (!bus_) return false;
  directory_ = std::make_unique<PlayerDirectory>(bus_.get());
  if (!directory_->Start(lastError_)) {
    Disconnect();
    return false;
  }
  return true;
}

void PlayerOutput::Disconnect() {
  // The players' waits hold pointers into the directory: they go before the connection.
  directory_.reset();
  bus_.reset();
  early_.clear();
}

void PlayerOutput::Lost(Clock::time_point now) {
  Disconnect();
  jsprogram::Say("the session bus went away: the player's commands go nowhere until it is back");
  lookAgain_ = now + kLookAgain;
}

bool PlayerOutput::Send(const Action& action) {
  if (action.kind != Action::Kind::kPlayer || !bus_) return false;
  if (!directory_->Listed()) {
    if (early_.size() < kMostEarly) early_.push_back(action);
    return true;
  }
  Deliver(action, Clock::now());
  return true;
}

void PlayerOutput::Deliver(const Action& action, Clock::time_point now) {
  using Kind = PlayerCommand::Kind;
  const bool unnamed = action.playerName.empty();
  Player* player = nullptr;
  // The rest goes to the player the ring's rate went to, wherever the focus is now: a player
  // left playing backwards or at 8x because the focus moved would be a plain fault.
  if (unnamed && action.player.kind == Kind::kRest && !rateTo_.empty()) {
    auto found = directory_->players().find(rateTo_);
    if (found != directory_->players().end()) player = found->second.get();
  }
  if (player == nullptr) player = Pick(action.playerName);
  if (unnamed && action.player.kind == Kind::kRest) rateTo_.clear();
  if (player == nullptr) return;
  if (unnamed && action.player.kind == Kind::kRate) rateTo_ = player->busName;
  player->queue.Command(action.player, now);
}

Player* PlayerOutput::Pick(const std::string& name) {
  Player* player = nullptr;
  if (!name.empty()) {
    player = directory_->Named(name);
    if (player == nullptr) SayOnce("no media player " + name + " on the session bus");
  } else {
    player = directory_->ForWindow(windowClass_);
    if (player == nullptr) player = directory_->LastPlaying();
    if (player == nullptr) SayOnce("no media player to send to (none is playing)");
  }
  if (player != nullptr) said_.clear();
  return player;
}

void PlayerOutput::SayOnce(const std::string& text) {
  if (said_.insert(text).second) jsprogram::Say(text);
}

bool PlayerOutput::Knows(const std::string& name) {
  if (!bus_) return false;
  const Player* player = directory_->Named(name);
  return player != nullptr && player->learned;
}

void PlayerOutput::Flush() {
  // sd-bus writes what it can as each call is made; the rest goes when the socket takes it
  // (Due asks for a wake then). Waiting here for the bus daemon would hold up the keys.
}

jsprogram::WaitHandle PlayerOutput::Handle() const {
  if (!bus_) return jsprogram::kNoWaitHandle;
  const int fd = sd_bus_get_fd(bus_.get());
  return fd < 0 ? jsprogram::kNoWaitHandle : fd;
}

void PlayerOutput::Dispatch() {
  if (!bus_) return;
  int result = 0;
  while ((result = sd_bus_process(bus_.get(), nullptr)) > 0) {
  }
  // A closed connection stays readable: it is let go, or the loop would wake for it forever.
  if (result < 0) {
    Lost(Clock::now());
    return;
  }
  if (!early_.empty() && directory_->Listed()) {
    std::vector<Action> early;
    early.swap(early_);
    const Clock::time_point now = Clock::now();
    for (const Action& action : early) Deliver(action, now);
  }
}

std::optional<Clock::time_point> PlayerOutput::Due() const {
  if (!bus_) return lookAgain_;
  std::optional<Clock::time_point> due = BusDeadline(bus_.get());
  auto earliest = [&due](std::optional<Clock::time_point> other) {
    if (other && (!due || *other < *due)) due = other;
  };
  for (const auto& [name, player] : directory_->players()) earliest(player->queue.Due());
  // The loop only waits for reading: what sd-bus could not write yet is tried again soon.
  if ((sd_bus_get_events(bus_.get()) & POLLOUT) != 0) {
    earliest(Clock::now() + std::chrono::milliseconds(5));
  }
  return due;
}

void PlayerOutput::Tick(Clock::time_point now) {
  if (!bus_) {
    if (lookAgain_ && now >= *lookAgain_) {
      lookAgain_.reset();
      if (Connect()) {
        jsprogram::Say("the session bus is back");
      } else {
        lookAgain_ = now + kLookAgain;
      }
    }
    return;
  }
  for (auto& [name, player] : directory_->players()) player->queue.Tick(now);
  // Waits past their time end in sd_bus_process, which also writes what is pending.
  Dispatch();
}

bool PlayerOutput::Idle() {
  if (!bus_) return true;
  for (const auto& [name, player] : directory_->players()) {
    if (!player->queue.Idle()) return false;
  }
  return early_.empty();
}

void PlayerOutput::Finish() {
  if (!bus_) return;
  const Clock::time_point end = Clock::now() + kFinishWait;
  for (auto& [name, player] : directory_->players()) player->queue.StopBackwards();
  for (Clock::time_point now = Clock::now(); now < end && !Idle(); now = Clock::now()) {
    Tick(now);
    if (!bus_) return;  // it went away meanwhile
    pollfd wait{sd_bus_get_fd(bus_.get()), static_cast<short>(sd_bus_get_events(bus_.get())), 0};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - now).count();
    ::poll(&wait, 1, static_cast<int>(std::min<long long>(left, 50)));
  }
  Disconnect();
  lookAgain_.reset();
}

std::unique_ptr<ActionOutput> MakePlayerOutput() { return std::make_unique<PlayerOutput>(); }

}  // namespace jskeys
