#include "Monitor.h"

#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include "EventLoop.h"
#include "PortCheck.h"
#include "Program.h"
#include "StateLine.h"

Monitor::Monitor(const MonitorOptions& options, Display& out, Recorder& recorder)
    : options_(options),
      out_(out),
      recorder_(recorder),
      search_(options.port, {[&recorder](SerialJS& link) {
                               recorder.Attach(link);
                               link.KeepChanges();
                             },
                             [&recorder](bool answered) {
                               answered ? recorder.Accepted() : recorder.Rejected();
                             }}) {}

bool Monitor::Print(const std::string& line) { return out_.Announce(line); }

void Monitor::Show(const JogShuttleState& state) {
  if (shown_ && SameShown(state, *shown_)) return;
  if (out_.Status(StateLine(state))) shown_ = state;
}

bool Monitor::TakeChanges(SerialJS& link) {
  using Kind = JogShuttleChange::Kind;
  // Piped, every change is a line of its own; on a terminal the line shows the latest.
  JogShuttleChange change;
  std::optional<JogShuttleState> latest;
  bool drained = false;
  for (int taken = 0; taken < kChangesAtOnce && !jsprogram::StopRequested(); ++taken) {
    // Nothing follows a kLineDown; it may be lost itself, and then IsLineUp tells.
    drained = !link.NextChange(change, 0) || change.kind == Kind::kLineDown;
    if (drained) break;
    if (change.kind == Kind::kLost) {
      losses_.Add(change.lost);
      redraw_ = true;
    } else if (change.kind != Kind::kStatus) {
      if (!out_.Live()) Show(change.state);  // and on a terminal, the latest after the batch
      latest = change.state;
    }
  }
  // What was lost is in the link's state; once the changes kept are shown, so is it.
  if (drained && std::exchange(redraw_, false)) latest = link.State();
  if (latest) Show(*latest);
  return drained && !link.IsLineUp();
}

Monitor::Outcome Monitor::Watch(SerialJS& link) {
  shown_.reset();
  redraw_ = false;
  Show(link.State());  // as it stands when the link opened
  std::optional<Outcome> outcome;
  jsprogram::EventLoop loop;
  loop.Watch(link.ChangeSignal(), [&] {
    if (TakeChanges(link)) outcome = Outcome::kLost;
  });
  // Only wakes the loop, which then ends.
  loop.Watch(link.ReaderEndSignal(), [] {});
  // `jsmonitor | head -1` ends without waiting for the next change.
  if (const jsprogram::WaitHandle readerGone = out_.ReaderGoneSignal();
      readerGone != jsprogram::kNoWaitHandle) {
    loop.Watch(readerGone, [&loop, readerGone, this] {
      if (!out_.ReaderGone()) loop.Forget(readerGone);  // not what it seemed: the next write tells
    });
  }
  // A resized terminal gets the status line cut to its new width at once.
  if (const jsprogram::WaitHandle resized = out_.ResizeSignal(); resized != jsprogram::kNoWaitHandle) {
    loop.Watch(resized, [this] { out_.Resized(); });
  }
  while (!outcome) {
    loop.RunOnce(losses_.Due());
    losses_.Tell();
    if (jsprogram::StopRequested()) {
      outcome = Outcome::kStopped;
    } else if (link.ReaderLost()) {
      outcome = Outcome::kReaderLost;
    } else if (out_.ReaderGone() || out_.Error() != 0 || !recorder_.WritePending()) {
      outcome = Outcome::kOutputFailed;
    }
  }
  losses_.Tell(true);
  return *outcome;
}

int Monitor::End(Outcome outcome) {
  out_.Finish();
  if (outcome == Outcome::kReaderLost) {
    jsprogram::Say("the link's reader ended under it; ending");
    return kExitReaderLost;
  }
  if (outcome == Outcome::kStopped && out_.Error() == 0) {
    (void)Print("jsmonitor: stopped");
  }
  if (const int error = out_.Error(); error != 0) {
    if (error == EPIPE) return kExitDone;  // whoever read our output has all they wanted
    jsprogram::Say(std::string("cannot write to standard output: ") + std::strerror(error));
    return kExitOutputFailed;
  }
  if (recorder_.Error() != 0) {
    jsprogram::Say(std::string("cannot write the record file: ") + std::strerror(recorder_.Error()));
    return kExitOutputFailed;
  }
  return kExitDone;
}

int Monitor::Run() {
  std::unique_ptr<SerialJS> link = search_.Begin(options_.wait);
  if (!link) {
    if (jsprogram::StopRequested()) return End(Outcome::kStopped);
    if (!options_.wait) return kExitNoController;
    link = search_.WaitForController();
    if (!link) return End(Outcome::kStopped);
  }
  for (;;) {
    const std::uint32_t port = link->PortNumber();
    link->SetModifierMasks(options_.cModifiers, options_.sModifiers);
    if (options_.reset) link->Reset();
    if (!Print("jsmonitor: controller on COM" + std::to_string(port) + DeviceSuffix(port))) {
      link->Close();
      return End(Outcome::kOutputFailed);
    }
    const Outcome outcome = Watch(*link);
    // Ended as a stop is, within its grace: the port is put back whatever the output does.
    if (outcome == Outcome::kReaderLost) jsprogram::RequestStop();
    link->Close();
    link.reset();
    (void)recorder_.WritePending();
    if (outcome != Outcome::kLost) return End(outcome);
    if (!Print("jsmonitor: controller on COM" + std::to_string(port) + " disconnected")) {
      return End(Outcome::kOutputFailed);
    }
    if (options_.once) {
      out_.Finish();
      return out_.Error() != 0 && out_.Error() != EPIPE ? End(Outcome::kOutputFailed)
                                                        : kExitNoController;
    }
    search_.Lost(port);
    link = search_.WaitForController();
    if (!link) return End(Outcome::kStopped);
  }
}
