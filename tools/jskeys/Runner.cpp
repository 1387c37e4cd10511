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

int RunKeys(const RunSettings& settings, const KeyMap& map, KeyOutput& output,
            FocusSource* focus) {
  jsprogram::ControllerSearch search(settings.port);
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
    translator.SetWindowClass(focus->Focused().windowClass);
    focusChecked = now;
  };

  while (link && !jsprogram::StopRequested()) {
    jsprogram::Say("controller on COM" + std::to_string(link->PortNumber()));
    link->SetModifierMasks(settings.cModifiers, settings.sModifiers);
    translator.Start(link->State());
    while (!jsprogram::StopRequested()) {
      const bool input = link->WaitForInput(WaitFor(translator, Clock::now()));
      if (!link->IsLineUp()) break;
      const Clock::time_point now = Clock::now();
      if (input) {
        // The state first: asking X for the focus takes round trips, in which a press and its
        // release could merge.
        const JogShuttleState state = link->State();
        checkFocus(now);
        translator.Update(state, now, actions);
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
      jsprogram::Say("the X display went away, and with it the way keys went out; ending");
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
