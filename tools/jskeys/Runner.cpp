#include "Runner.h"

#include <memory>
#include <string>
#include <vector>

#include "ControllerSearch.h"
#include "Program.h"
#include "SerialJS.h"
#include "Translator.h"

namespace jskeys {
namespace {

using namespace std::chrono_literals;

// The input wait is bounded so that a stop request is seen within this time.
constexpr std::uint32_t kStopCheckMs = 250;
// While the shuttle repeats with no input, the focus is looked at no more often than this.
constexpr auto kFocusCheckEvery = 200ms;
// Changes taken before the keys for them go out.
constexpr std::size_t kChangesAtOnce = 64;

// Milliseconds to wait for input: until the next repeated stroke is due, rounded up so that a
// wake never comes early and spins, and never longer than the stop check.
std::uint32_t WaitFor(const Translator& translator, Clock::time_point now) {
  const std::optional<Clock::time_point> due = translator.NextDue();
  if (!due) return kStopCheckMs;
  if (*due <= now) return 0;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - now).count();
  return left < kStopCheckMs ? static_cast<std::uint32_t>(left) : kStopCheckMs;
}

void SendAll(KeyOutput& output, std::vector<Action>& actions) {
  if (actions.empty()) return;
  for (const Action& action : actions) output.Send(action);
  output.Flush();
  actions.clear();
}

}  // namespace

int RunKeys(const RunSettings& settings, KeyMap& map, KeyOutput& output, FocusSource* focus,
            const MapReload& reload) {
  // Every change is kept, so that a key pressed and released within one read still taps.
  jsprogram::ControllerSearch search(settings.port, {[](SerialJS& link) { link.KeepChanges(); }});
  std::unique_ptr<SerialJS> link = search.TryAll();
  if (jsprogram::StopRequested()) return 0;
  if (!link) {
    if (!(settings.port != 0 && search.Busy(settings.port))) {
      jsprogram::Say("no controller answered on " + search.Where() +
                     (settings.port != 0 ? " (the log above says why)" : ""));
    }
    if (!settings.wait) return 1;
    jsprogram::Say("waiting for one to appear on " + search.Where());
    link = search.Watch();
  }

  Translator translator(map);
  std::vector<Action> actions;
  Clock::time_point focusChecked{};
  auto checkFocus = [&](Clock::time_point now) {
    if (!focus) return;
    const FocusedWindow window = focus->Focused();
    translator.SetWindow(window.windowClass, window.title);
    focusChecked = now;
  };

  std::uint32_t sModifiers = settings.sModifiers;
  std::uint32_t cModifiers = settings.cModifiers;
  // A new map applies from the next change on, with nothing held from the old one.
  auto readMapAgain = [&](SerialJS& open) {
    KeyMap fresh;
    if (!reload.read(fresh, sModifiers, cModifiers)) return;
    translator.ReleaseAll(actions);
    SendAll(output, actions);
    map = std::move(fresh);
    translator.SetMap(map);
    open.SetModifierMasks(cModifiers, sModifiers);
    checkFocus(Clock::now());
  };

  std::vector<JogShuttleChange> changes;
  changes.reserve(kChangesAtOnce);
  while (link && !jsprogram::StopRequested()) {
    jsprogram::Say("controller on COM" + std::to_string(link->PortNumber()));
    link->SetModifierMasks(cModifiers, sModifiers);
    translator.Start();
    bool lineDown = false;
    while (!lineDown && !jsprogram::StopRequested()) {
      if (reload.watch && reload.watch->Changed()) readMapAgain(*link);
      // The changes first, as many as have come: asking the window system for the focus takes
      // round trips, and is done once for all of them.
      changes.clear();
      JogShuttleChange change;
      if (link->NextChange(change, WaitFor(translator, Clock::now()))) {
        do {
          changes.push_back(change);
        } while (changes.size() < kChangesAtOnce && link->NextChange(change, 0));
      }
      // The window system's connection is served on every turn, at least every kStopCheckMs:
      // what it sends piles up otherwise, until it drops us.
      output.Dispatch();
      if (focus) focus->Dispatch();
      const Clock::time_point now = Clock::now();
      if (!changes.empty()) checkFocus(now);
      for (const JogShuttleChange& next : changes) {
        if (next.kind == JogShuttleChange::Kind::kLineDown) {
          lineDown = true;
          break;
        }
        if (next.kind == JogShuttleChange::Kind::kLost) {
          jsprogram::Say(std::to_string(next.lost) +
                         " changes of the controller came faster than keys "
                         "could be sent, and were lost");
        }
        translator.Apply(next, now, actions);
      }
      if (translator.NextDue() && *translator.NextDue() <= now) {
        if (now - focusChecked >= kFocusCheckEvery) checkFocus(now);
        translator.Tick(now, actions);
      }
      SendAll(output, actions);
      if (output.Broken()) break;
    }
    // Nothing stays pressed behind a lost line or the end.
    translator.ReleaseAll(actions);
    SendAll(output, actions);
    const std::uint32_t port = link->PortNumber();
    link->Close();
    link.reset();
    if (output.Broken()) {
      jsprogram::Say(std::string(output.Gone()) +
                     " went away, and with it the way keys went out; ending");
      return 1;
    }
    if (jsprogram::StopRequested()) break;
    jsprogram::Say("the line to COM" + std::to_string(port) +
                   " went down; looking for the controller again");
    search.Lost(port);
    link = search.Watch();
  }
  return 0;
}

}  // namespace jskeys
