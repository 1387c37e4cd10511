#include "MidiOutput.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "JackClient.h"
#include "JackNews.h"
#include "JackPorts.h"
#include "LossNotice.h"
#include "Program.h"

namespace jskeys {
namespace {

using namespace std::chrono_literals;

constexpr const char* kClientName = "jskeys";
constexpr Clock::duration kFirstLook = 1s;
constexpr Clock::duration kLongestLook = 10s;
// Finish waits this long at most for the last messages to reach the port.
constexpr Clock::duration kLastOut = 200ms;

std::string LossText(std::uint64_t lost) {
  return std::to_string(lost) +
         " MIDI messages came faster than the JACK server took them, and were lost";
}

void SayAsProgram(std::string_view text) { jsprogram::Say(text); }

class MidiOutput final : public ActionOutput {
 public:
  explicit MidiOutput(SayFunction say) : say_(say) {}
  ~MidiOutput() override { Finish(); }

  bool Send(const Action& action) override;
  void Flush() override { TellLosses(Clock::now(), false); }
  jsprogram::WaitHandle Handle() const override { return news_.Fd(); }
  void Dispatch() override;
  std::optional<Clock::time_point> Due() const override;
  void Tick(Clock::time_point now) override;
  void SetMap(const KeyMap& map) override;
  void Finish() override;

 private:
  void Look(Clock::time_point now);
  void Connect();
  void TellLosses(Clock::time_point now, bool all);

  SayFunction say_;
  JackNews news_;  // outlives every client, whose callbacks tell it
  std::unique_ptr<JackClient> client_;
  std::vector<std::shared_ptr<const re2::RE2>> patterns_;
  bool wanted_ = false;        // a map or an action asked for MIDI
  bool absenceTold_ = false;   // "no JACK server" said since the client was last open
  bool everOpen_ = false;
  std::optional<Clock::time_point> nextLook_;
  Clock::duration lookEvery_ = kFirstLook;
  std::uint64_t dropped_ = 0;  // while there was no server
  jsprogram::LossNotice losses_{&LossText};
};

bool MidiOutput::Send(const Action& action) {
  if (action.kind != Action::Kind::kMidi) return false;
  if (!wanted_) {
    wanted_ = true;
    Look(Clock::now());
  }
  if (!client_) {
    ++dropped_;
    return false;
  }
  if (!client_->Queue(action.midi)) {
    losses_.Add(1);
    return false;
  }
  return true;
}

void MidiOutput::Dispatch() {
  const std::uint32_t news = news_.Take();
  if (!client_) return;  // news of a client already let go of
  if ((news & JackNews::kServerGone) != 0) {
    // What was queued, and the notes that were on, went with the server.
    client_.reset();
    say_("the JACK server went away: MIDI actions are dropped until it is back");
    absenceTold_ = true;
    dropped_ = 0;
    lookEvery_ = kFirstLook;
    nextLook_ = Clock::now() + lookEvery_;
    return;
  }
  if ((news & JackNews::kPortsChanged) != 0) Connect();
}

std::optional<Clock::time_point> MidiOutput::Due() const {
  const std::optional<Clock::time_point> loss = losses_.Due();
  if (!nextLook_) return loss;
  if (!loss) return nextLook_;
  return std::min(*nextLook_, *loss);
}

void MidiOutput::Tick(Clock::time_point now) {
  if (nextLook_ && *nextLook_ <= now) Look(now);
  TellLosses(now, false);
}

void MidiOutput::SetMap(const KeyMap& map) {
  patterns_ = map.midiConnect;
  if (map.usesMidi && !wanted_) {
    wanted_ = true;
    Look(Clock::now());
  } else if (client_) {
    Connect();
  }
}

// Opens the client, or says once that there is no server and looks again later, less and less
// often.
void MidiOutput::Look(Clock::time_point now) {
  if (client_) return;
  std::string error;
  client_ = JackClient::Open(kClientName, news_, error);
  if (!client_) {
    if (!absenceTold_) say_(error + ": MIDI actions are dropped until one starts");
    absenceTold_ = true;
    nextLook_ = now + lookEvery_;
    lookEvery_ = std::min(lookEvery_ * 2, kLongestLook);
    return;
  }
  std::string text = std::string(everOpen_ ? "the JACK server is back: " : "") + "MIDI out on " +
                     jack_port_name(client_->Port());
  if (dropped_ != 0) text += " (" + std::to_string(dropped_) + " MIDI actions were dropped)";
  say_(text);
  everOpen_ = true;
  absenceTold_ = false;
  dropped_ = 0;
  nextLook_.reset();
  lookEvery_ = kFirstLook;
  Connect();
}

void MidiOutput::Connect() {
  for (const std::string& line : ConnectMatching(client_->Client(), client_->Port(), patterns_)) {
    say_(line);
  }
}

void MidiOutput::TellLosses(Clock::time_point now, bool all) {
  if (const std::string notice = losses_.Take(now, all); !notice.empty()) say_(notice);
}

// The last note-offs must reach the port: the process callback empties the ring and writes a
// period more, a few periods at most.
void MidiOutput::Finish() {
  if (client_) {
    const Clock::time_point until = Clock::now() + kLastOut;
    while (!client_->Drained() && Clock::now() < until) std::this_thread::sleep_for(1ms);
    const std::uint64_t written = client_->Periods() + 1;
    while (client_->Periods() < written && Clock::now() < until) {
      std::this_thread::sleep_for(1ms);
    }
    client_.reset();
  }
  nextLook_.reset();
  wanted_ = false;
  TellLosses(Clock::now(), true);
}

}  // namespace

std::unique_ptr<ActionOutput> MakeMidiOutput() { return MakeMidiOutput(&SayAsProgram); }

std::unique_ptr<ActionOutput> MakeMidiOutput(SayFunction say) {
  return std::make_unique<MidiOutput>(say);
}

}  // namespace jskeys
