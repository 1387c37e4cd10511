#include "Runner.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "ControllerSearch.h"
#include "EventLoop.h"
#include "LogFormat.h"
#include "LossNotice.h"
#include "Program.h"
#include "SerialJS.h"
#include "Translator.h"

namespace jskeys {
namespace {

using namespace std::chrono_literals;
using Time = std::optional<Clock::time_point>;

// Changes taken at once before the keys for them go out; the rest wait for the next turn.
constexpr std::size_t kChangesAtOnce = 64;
// A link whose reader ended under it ends the program as the SIGQUIT that (under Wine) did it
// ends one on Linux (128 + 3).
constexpr int kReaderLostStatus = 131;
// A focus source with nothing to wait on (a lost display) is looked at this often.
constexpr auto kFocusLookEvery = 1s;
std::string LossText(std::uint64_t lost) {
  return std::to_string(lost) +
         " changes of the controller came faster than keys could be sent, and were lost";
}

Time Earliest(Time a, Time b) {
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

// Everything jskeys waits on, served by one event loop: the link's changes (and, while there is
// no link, the search for one), the window system's connections, the map's folder, stop and
// reload requests, and the shuttle's repeat.
class KeysLoop {
 public:
  KeysLoop(const RunSettings& settings, KeyMap& map, OutputSet& outputs, FocusSource* focus,
           const MapReload& reload)
      : map_(map),
        outputs_(outputs),
        output_(outputs.Keys()),
        focus_(focus),
        reload_(reload),
        translator_(map),
        reloader_(reload.read),
        sModifiers_(settings.sModifiers),
        cModifiers_(settings.cModifiers) {}

  // Until a stop (0), the output is gone (1) or the link's reader ended under it (131).
  // `link` may be null: it is searched for.
  int Run(jsprogram::ControllerSearch& search, std::unique_ptr<SerialJS> link);

 private:
  void Opened(std::unique_ptr<SerialJS> link);
  void Closed();
  bool TakeChanges();
  void FollowFocus(Clock::time_point now);
  void TakeMap();
  void WatchSources();
  Time NextWake() const;
  void Send();

  KeyMap& map_;
  OutputSet& outputs_;
  KeyOutput& output_;  // the keys': when it is gone, nothing is left to do
  FocusSource* focus_;
  const MapReload& reload_;
  Translator translator_;
  MapReloader reloader_;
  std::uint32_t sModifiers_, cModifiers_;
  std::unique_ptr<SerialJS> link_;
  bool lineDown_ = false;
  bool lost_ = false;  // changes were lost since the state was last looked at
  std::vector<Action> actions_;
  FocusedWindow window_;
  Time focusLook_;  // when a focus source with no handle is looked at next
  Time searchLook_;  // when the search looks next, while there is no link
  jsprogram::LossNotice losses_{&LossText};
  jsprogram::EventLoop events_;
};

void KeysLoop::Send() {
  if (actions_.empty()) return;
  for (const Action& action : actions_) outputs_.Send(action);
  outputs_.Flush();
  actions_.clear();
}

void KeysLoop::Opened(std::unique_ptr<SerialJS> link) {
  link_ = std::move(link);
  lineDown_ = false;
  lost_ = false;
  searchLook_.reset();
  jsprogram::Say("controller on COM" + std::to_string(link_->PortNumber()));
  link_->SetModifierMasks(cModifiers_, sModifiers_);
  translator_.Start();
}

// Nothing stays pressed behind a lost line or the end. The port goes first: it is restored
// whatever the window system does with the releases.
void KeysLoop::Closed() {
  {
    const jsprogram::PortWork closing;
    link_->Close();
  }
  link_.reset();
  translator_.ReleaseAll(actions_);
  Send();
}

// True when there were changes to take.
bool KeysLoop::TakeChanges() {
  if (!link_) return false;
  const Clock::time_point now = Clock::now();
  // A focus change the window system has told already counts for these changes, whichever
  // connection the loop happened to hear first.
  if (focus_) focus_->Dispatch();
  FollowFocus(now);
  JogShuttleChange change;
  std::size_t taken = 0;
  for (; taken < kChangesAtOnce && !lineDown_ && link_->NextChange(change, 0); ++taken) {
    if (change.kind == JogShuttleChange::Kind::kLineDown) {
      lineDown_ = true;
    } else if (change.kind == JogShuttleChange::Kind::kLost) {
      losses_.Add(change.lost);
      lost_ = true;
    } else {
      translator_.Apply(change, now, actions_);
    }
  }
  // What was lost may have released a key or moved the ring: the state tells how it stands.
  if (lost_ && !lineDown_) {
    translator_.Resync(link_->State(), now, actions_);
    lost_ = false;
  }
  Send();
  losses_.Tell();
  return taken != 0;
}

void KeysLoop::FollowFocus(Clock::time_point now) {
  if (!focus_) return;
  if (focusLook_ && now >= *focusLook_) {
    focus_->Dispatch();
    focusLook_.reset();
  }
  FocusedWindow window = focus_->Focused();
  if (window == window_) return;
  window_ = std::move(window);
  outputs_.Focus(window_);
  translator_.SetWindow(window_.windowClass, window_.title, now, actions_);
  Send();
}

// A map read again applies from now on; what it binds as the old one did stays held and
// repeating.
void KeysLoop::TakeMap() {
  std::optional<FreshMap> fresh = reloader_.Take();
  if (!fresh) return;
  // Said as it comes into force: whatever the controller does after this line, the new map
  // translates.
  jsprogram::Say("map read again: " + jslog::SafeText(fresh->source));
  // The translator keeps copies of what it holds, not references into the old map.
  map_ = std::move(fresh->map);
  outputs_.SetMap(map_);
  sModifiers_ = fresh->sModifiers;
  cModifiers_ = fresh->cModifiers;
  translator_.SetMap(map_, Clock::now(), actions_);
  Send();
  if (link_) link_->SetModifierMasks(cModifiers_, sModifiers_);
}

// The loop waits on what there is to wait on now: a display that came back has a new
// connection, the link comes and goes, the map's watch may move to another folder.
void KeysLoop::WatchSources() {
  std::vector<jsprogram::WaitHandle> watched;
  auto watch = [&](jsprogram::WaitHandle handle, std::function<void()> ready) {
    // One connection may serve both the focus and the keys: its first reader takes all.
    if (handle == jsprogram::kNoWaitHandle ||
        std::find(watched.begin(), watched.end(), handle) != watched.end()) {
      return;
    }
    watched.push_back(handle);
    events_.Watch(handle, std::move(ready));
  };
  if (link_) {
    watch(link_->ChangeSignal(), [this] { TakeChanges(); });
    // Only wakes the loop, which then ends.
    watch(link_->ReaderEndSignal(), [] {});
  }
  if (focus_) {
    watch(focus_->Handle(), [this] {
      focus_->Dispatch();
      FollowFocus(Clock::now());
    });
    if (focus_->Handle() == jsprogram::kNoWaitHandle && !focusLook_) {
      focusLook_ = Clock::now() + kFocusLookEvery;
    }
  }
  outputs_.WatchEach(watch);
  if (reload_.watch) watch(reload_.watch->Handle(), [this] { reload_.watch->Take(Clock::now()); });
  watch(reloader_.Handle(), [this] { TakeMap(); });
  events_.KeepOnly(watched);
}

Time KeysLoop::NextWake() const {
  Time wake = Earliest(translator_.NextDue(), focusLook_);
  if (!link_) wake = Earliest(wake, searchLook_);
  if (reload_.watch) wake = Earliest(wake, reload_.watch->Due());
  // A read under way with no handle to tell its end is looked at now and then.
  if (reloader_.Busy() && reloader_.Handle() == jsprogram::kNoWaitHandle) {
    wake = Earliest(wake, Clock::now() + kFocusLookEvery / 20);
  }
  wake = Earliest(wake, losses_.Due());
  return Earliest(wake, outputs_.Due());
}

int KeysLoop::Run(jsprogram::ControllerSearch& search, std::unique_ptr<SerialJS> link) {
  if (link) Opened(std::move(link));
  if (focus_) focus_->Dispatch();
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (jsprogram::StopRequested()) break;
    if (link_ && link_->ReaderLost()) {
      // Ended as a stop is, within its grace: keys held are released, the port put back.
      jsprogram::RequestStop();
      jsprogram::Say("the link's reader on COM" + std::to_string(link_->PortNumber()) +
                     " ended under it; ending");
      Closed();
      outputs_.Finish();
      losses_.Tell(true);
      return kReaderLostStatus;
    }
    if (link_ && (lineDown_ || !link_->IsLineUp())) {
      // What the controller did before the line went down still counts.
      while (!lineDown_ && TakeChanges()) {
      }
      const std::uint32_t port = link_->PortNumber();
      Closed();
      jsprogram::Say("the line to COM" + std::to_string(port) +
                     " went down; looking for the controller again");
      search.Lost(port);
    }
    if (output_.Broken()) {
      if (link_) Closed();
      outputs_.Finish();
      jsprogram::Say(std::string(output_.Gone()) +
                     " went away, and with it the way keys went out; ending");
      return 1;
    }
    // The map is read off this thread; keys go out by the map in force until it is in.
    if (reload_.watch && reload_.watch->Changed(now)) reloader_.Request();
    TakeMap();
    FollowFocus(now);
    translator_.Tick(now, actions_);
    Send();
    outputs_.Tick(now);
    losses_.Tell();
    if (!link_ && (!searchLook_ || now >= *searchLook_)) {
      if (auto found = search.LookOnce()) {
        Opened(std::move(found));
        continue;
      }
      searchLook_ = Clock::now() + jsprogram::ControllerSearch::kLookEvery;
    }
    WatchSources();
    events_.RunOnce(NextWake());
  }
  if (link_) Closed();
  outputs_.Finish();
  losses_.Tell(true);
  return 0;
}

}  // namespace

int RunKeys(const RunSettings& settings, KeyMap& map, OutputSet& outputs, FocusSource* focus,
            const MapReload& reload) {
  // Every change is kept, so that a key pressed and released within one read still taps.
  jsprogram::ControllerSearch search(settings.port, {[](SerialJS& link) { link.KeepChanges(); }});
  std::unique_ptr<SerialJS> link = search.Begin(settings.wait);
  if (jsprogram::StopRequested()) return 0;
  if (!link && !settings.wait) return 1;
  outputs.SetMap(map);
  KeysLoop loop(settings, map, outputs, focus, reload);
  return loop.Run(search, std::move(link));
}

}  // namespace jskeys
