#include "Runner.h"

#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "SerialJS.h"
#include "Translator.h"

namespace jskeys {
namespace {

using namespace std::chrono_literals;

// The input wait is bounded so that a stop request is seen within this time.
constexpr std::uint32_t kStopCheckMs = 250;
// While the shuttle repeats with no input, the focus is looked at no more often than this.
constexpr auto kFocusCheckEvery = 200ms;
constexpr auto kSearchEvery = 1s;

std::unique_ptr<SerialJS> OpenController(std::uint32_t first, std::uint32_t last,
                                         const std::atomic<bool>& stop) {
  for (std::uint32_t port = first; port <= last && !stop.load(); ++port) {
    auto link = std::make_unique<SerialJS>(port);
    if (link->Open()) return link;
  }
  return nullptr;
}

// Waits up to `total`, in short steps so that a stop request ends it early.
void Pause(std::chrono::milliseconds total, const std::atomic<bool>& stop) {
  const auto end = Clock::now() + total;
  while (!stop.load() && Clock::now() < end) std::this_thread::sleep_for(50ms);
}

std::unique_ptr<SerialJS> Search(const RunSettings& settings, bool keepLooking,
                                 const std::atomic<bool>& stop) {
  const std::uint32_t first = settings.port != 0 ? settings.port : 1;
  const std::uint32_t last = settings.port != 0 ? settings.port : 7;
  for (bool told = false;; told = true) {
    const auto started = Clock::now();
    if (auto link = OpenController(first, last, stop)) return link;
    if (!keepLooking || stop.load()) return nullptr;
    if (!told) std::fprintf(stderr, "jskeys: no controller yet; looking again every second\n");
    Pause(std::chrono::duration_cast<std::chrono::milliseconds>(kSearchEvery - (Clock::now() - started)),
          stop);
    if (stop.load()) return nullptr;
  }
}

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
            FocusSource* focus, const std::atomic<bool>& stop) {
  std::unique_ptr<SerialJS> link = Search(settings, settings.wait, stop);
  if (stop.load()) return 0;
  if (!link) {
    if (settings.port != 0) {
      std::fprintf(stderr, "jskeys: no controller answered on COM%u (the log above says why)\n",
                   settings.port);
    } else {
      std::fprintf(stderr, "jskeys: no controller answered on COM1 to COM7\n");
    }
    return 1;
  }

  Translator translator(map);
  std::vector<Action> actions;
  Clock::time_point focusChecked{};
  auto checkFocus = [&](Clock::time_point now) {
    if (!focus) return;
    translator.SetWindowClass(focus->Focused().windowClass);
    focusChecked = now;
  };

  while (link && !stop.load()) {
    std::fprintf(stderr, "jskeys: controller on COM%u\n", link->PortNumber());
    link->SetModifierMasks(settings.cModifiers, settings.sModifiers);
    translator.Start(link->State());
    while (!stop.load()) {
      const bool input = link->WaitForInput(WaitFor(translator, Clock::now()));
      if (!link->IsLineUp()) break;
      const Clock::time_point now = Clock::now();
      if (input) {
        checkFocus(now);
        translator.Update(link->State(), now, actions);
      }
      if (translator.NextDue() && *translator.NextDue() <= now) {
        if (now - focusChecked >= kFocusCheckEvery) checkFocus(now);
        translator.Tick(now, actions);
      }
      SendAll(output, actions);
    }
    // Nothing stays pressed behind a lost line or the end.
    translator.ReleaseAll(actions);
    SendAll(output, actions);
    const std::uint32_t port = link->PortNumber();
    link->Close();
    link.reset();
    if (stop.load()) break;
    std::fprintf(stderr, "jskeys: the line to COM%u went down; looking for the controller again\n",
                 port);
    link = Search(settings, true, stop);
  }
  return 0;
}

}  // namespace jskeys
