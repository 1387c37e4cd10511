#pragma once
// The player's commands to a media player on the session bus (MPRIS, through sd-bus). Nothing
// here waits on a player: calls go out asynchronously, each with a bounded wait, and a player
// that hangs holds up neither the others nor the keys.

#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Bus.h"
#include "Output.h"
#include "PlayerDirectory.h"

namespace jskeys {

class PlayerOutput final : public ActionOutput {
 public:
  // Connects to the session bus; where there is none it says so once, and drops the player's
  // commands. A bus that goes away later is looked for again now and then.
  PlayerOutput();
  ~PlayerOutput() override;

  bool Send(const Action& action) override;
  void Flush() override;
  jsprogram::WaitHandle Handle() const override;
  void Dispatch() override;
  std::optional<Clock::time_point> Due() const override;
  void Tick(Clock::time_point now) override;
  void Focus(const FocusedWindow& window) override { windowClass_ = window.windowClass; }
  void Finish() override;

  // Connected, and the players there were at start are known: for tests and benchmarks.
  bool Ready() const { return bus_ && directory_->Listed(); }
  // Nothing waits to go to any player, and nothing waits for a player's answer.
  bool Idle();
  // The player of that name is known, with its properties.
  bool Knows(const std::string& name);

  // How long Finish lets what is queued go out.
  static constexpr std::chrono::milliseconds kFinishWait{500};
  static constexpr std::chrono::seconds kLookAgain{5};

 private:
  bool Connect();
  void Disconnect();
  void Lost(Clock::time_point now);
  void Deliver(const Action& action, Clock::time_point now);
  Player* Pick(const std::string& name);
  // Says `text` once, until a command finds its player again.
  void SayOnce(const std::string& text);

  BusPtr bus_;
  std::unique_ptr<PlayerDirectory> directory_;
  std::string windowClass_;
  std::string rateTo_;  // the bus name of the player an unnamed rate went to, until its rest
  // What came before the players at start were known.
  std::vector<Action> early_;
  std::set<std::string> said_;
  std::string lastError_;
  std::optional<Clock::time_point> lookAgain_;  // the bus went away: when to look for it again
};

std::unique_ptr<ActionOutput> MakePlayerOutput();

}  // namespace jskeys
