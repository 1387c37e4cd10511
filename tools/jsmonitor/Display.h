#pragma once
// jsmonitor's standard output: announcements, and the controller state either as one status
// line rewritten in place (a terminal) or as a line per change. Every write to the descriptor
// goes through here under one lock, which the log's write hooks take too: on a terminal a log
// line clears the status line first and has it drawn again after, so it never breaks it. On a
// terminal the status line is cut to the terminal's width (read again when it is resized): a
// line that wrapped would leave a stale row behind at every update.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "OutputPort.h"

class Display {
 public:
  // `live`: rewrite one status line in place, cut to the width of the terminal `fd` is. `abandon` true (a stop was requested): a write that
  // cannot go on at once is given up, and one waiting for room gives up within 100 ms.
  Display(int fd, bool live, std::function<bool()> abandon);
  Display(const Display&) = delete;
  Display& operator=(const Display&) = delete;

  // A line of its own. On a terminal the status line is cleared first and stays away until
  // the next Status.
  bool Announce(const std::string& line);
  // The state. False when it was not written (the log holds the screen, or output failed); the
  // caller tries again later.
  bool Status(const std::string& line);
  // Ends a status line on a terminal, so that what follows starts on a line of its own.
  void Finish();

  // Whether it keeps one status line up to date (a terminal) or writes a line per change.
  bool Live() const { return live_; }
  // 0 while output works; the errno of the first failed write after that.
  int Error() const { return error_.load(); }
  // Looks, without writing, whether the reader of a pipe has gone (or a terminal hung up), so
  // that `jsmonitor | head -1` ends without waiting for the next change; counts as EPIPE.
  bool ReaderGone();
  // What is ready when the reader of a pipe goes away, for an event loop to wait on beside
  // the rest (then ask ReaderGone); kNoWaitHandle when the output is no pipe (or, on Windows,
  // where the next write tells).
  jsprogram::WaitHandle ReaderGoneSignal() const { return port_.ReaderGoneSignal(); }

  // What is ready when the terminal was resized, for an event loop to wait on (then call
  // Resized); kNoWaitHandle when the output is no terminal, or the width is read at each draw.
  jsprogram::WaitHandle ResizeSignal() const { return port_.ResizeSignal(); }
  // Reads the terminal's width again and draws the status line to fit it.
  void Resized();

  // Makes the log's writes to standard error go round the status line (one display at a time).
  void HookLog();
  void UnhookLog();

 private:
  static void BeforeLogWrite();
  static void AfterLogWrite();

  // The screen, held by one writer at a time (main thread or the log's writer thread).
  class Screen {
   public:
    bool TryTake(std::chrono::milliseconds timeout);
    void Take();
    void Give();

   private:
    std::mutex mutex_;
    std::condition_variable given_;
    bool taken_ = false;
  };

  bool Lock();  // the screen; false when a stop came while waiting for it
  bool Write(const std::string& text);  // with the screen held

  const bool live_;
  const std::function<bool()> abandon_;
  Screen screen_;
  std::string status_;  // the status line drawn now, as cut; empty when none
  std::string wanted_;  // the status line whole, for a width read later. Both under the screen.
  OutputPort port_;  // written to under the screen
  std::atomic<int> error_{0};
};
