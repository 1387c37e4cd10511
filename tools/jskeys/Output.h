#pragma once
// Where key actions go, and where the focused window's class and title come from. One
// implementation per way of sending keys: uinput, X11 (XTest), Wayland (virtual keyboard and
// pointer), Windows (SendInput), and printing (dry run).

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "EventLoop.h"
#include "Translator.h"

namespace jskeys {

// What the window system tells of the focused top-level window. A window names itself, so each
// text is cut to kMaxWindowText bytes (KeyMap.h), whatever the window gives.
struct FocusedWindow {
  std::string windowClass;  // X11: WM_CLASS, its class; Wayland: the app_id; Windows: class name
  std::string title;        // UTF-8
  bool operator==(const FocusedWindow&) const = default;
};
// Cuts `text` to at most `limit` bytes, never inside a UTF-8 sequence.
void CutText(std::string& text, std::size_t limit = kMaxWindowText);

// What the event loop asks of every way actions go out: key strokes (one implementation per
// backend), a media player (MPRIS) and a MIDI port (JACK).
class ActionOutput {
 public:
  virtual ~ActionOutput() = default;
  // False when the action could not be sent; the reason has been said on standard error. An
  // output that waits on its peer (a player's answer) queues and never blocks here.
  virtual bool Send(const Action& action) = 0;
  virtual void Flush() {}
  // True once actions can no longer go out this way at all: what they went through went away,
  // which Gone names ("the X display"). A player or MIDI output that finds its peer again later
  // is never broken.
  virtual bool Broken() const { return false; }
  virtual const char* Gone() const { return "the way out"; }
  // The connection the event loop must serve for this output (a display that sends events even
  // to a client that only writes, and must be read or it drops the client); kNoWaitHandle when
  // there is none. Dispatch takes what came, without waiting; it is called when the handle is
  // ready.
  virtual jsprogram::WaitHandle Handle() const { return jsprogram::kNoWaitHandle; }
  virtual void Dispatch() {}
  // Work of the output's own that falls due (a player played backwards by steady seeks, a call
  // that waited too long, a server to look for again): when, and Tick to do it.
  virtual std::optional<Clock::time_point> Due() const { return std::nullopt; }
  virtual void Tick(Clock::time_point /*now*/) {}
  // The focused window changed (a player may be picked by it).
  virtual void Focus(const FocusedWindow& /*window*/) {}
  // The map in force, at start and at every reload (MIDI connections come from it).
  virtual void SetMap(const KeyMap& /*map*/) {}
  // The program ends: what was sent last goes out before the output lets go (a note-off must
  // reach its port), within a bounded wait.
  virtual void Finish() {}
};

// Key strokes: the backends.
class KeyOutput : public ActionOutput {};

// Sends combinations as single key presses and releases. Counts what it holds, so that a tap
// of shift+Right while a map holds shift leaves shift down. A wheel step goes out as KeyDown
// each time it is pressed, and its release sends nothing.
class KeyStrokeOutput : public KeyOutput {
 public:
  bool Send(const Action& action) final;

 protected:
  virtual bool KeyDown(KeyId key) = 0;
  virtual bool KeyUp(KeyId key) = 0;

 private:
  bool Down(KeyId key);
  bool Up(KeyId key);
  bool Press(const KeyCombo& combo);
  bool Release(const KeyCombo& combo);

  std::array<std::uint16_t, kMaxKeys> downCount_{};
};

// Prints one line per action: "tap ctrl+z". Broken once a write fails, or once the reader of a
// pipe has gone (`jskeys --dry-run | head -2`), which the event loop hears on the pipe itself.
class PrintOutput : public KeyOutput {
 public:
  explicit PrintOutput(std::FILE* to);
  bool Send(const Action& action) override;
  void Flush() override;
  bool Broken() const override { return broken_; }
  const char* Gone() const override { return "standard output"; }
  jsprogram::WaitHandle Handle() const override { return pipe_; }
  void Dispatch() override;

 private:
  std::FILE* to_;
  jsprogram::WaitHandle pipe_ = jsprogram::kNoWaitHandle;  // the descriptor, when a pipe
  bool broken_ = false;
};

class FocusSource {
 public:
  virtual ~FocusSource() = default;
  // The focused top-level window as the window system last told it; empty texts when there is
  // none or it tells nothing. Never waits for, or asks, the window system: the key path makes no
  // round trip.
  virtual FocusedWindow Focused() = 0;
  // The connection that tells of focus changes, for the event loop to wait on; kNoWaitHandle when
  // there is none (then Dispatch is called now and then, to look again). Dispatch takes what the
  // window system sent, without waiting, and brings Focused up to date.
  virtual jsprogram::WaitHandle Handle() const { return jsprogram::kNoWaitHandle; }
  virtual void Dispatch() {}
};

}  // namespace jskeys
