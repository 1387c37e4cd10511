#pragma once
// What the display needs of the system to write standard output: whether it is a terminal, its
// width, writes that give way to a stop, and a reader that went away.
// POSIX: the width is read at start and again on SIGWINCH (ResizeWatch); writes wait for room
// in slices with poll. Windows: a console's width is read at each draw (its window, which a line
// one column short never wraps in); the console is made to take the status line's escapes, and
// one that cannot gets a line per change; writes block, and a stop that finds them stuck ends the
// program all the same (EndEvenIfOutputHangs).

#include <cstddef>
#include <functional>
#include <memory>
#include <string_view>

#include "EventLoop.h"

class OutputPort {
 public:
  // `terminal`: the status line is drawn on it, so its width (and its resizes) are wanted.
  OutputPort(int fd, bool terminal);
  ~OutputPort();
  OutputPort(const OutputPort&) = delete;
  OutputPort& operator=(const OutputPort&) = delete;

  // The width to cut the status line to; 0 when not known (or no terminal).
  std::size_t Columns() const;
  // What is ready after a resize, for an event loop; kNoWaitHandle where resizes are not watched
  // (no terminal; Windows, where Columns is read at each draw).
  jsprogram::WaitHandle ResizeSignal() const;
  // True when resized since the last call; Columns then tells the new width.
  bool TakeResize();

  // Writes all of `text`. While `abandon` says no, waits for room as long as it takes; once it
  // says yes, gives up what cannot go at once. False with `error` 0 when given up, else with the
  // errno of the failure (EPIPE: the reader went away).
  bool Write(std::string_view text, const std::function<bool()>& abandon, int& error);
  // Whether the reader of a pipe has gone (or a terminal hung up), found without writing. Where
  // that cannot be seen (Windows) the next write tells.
  bool ReaderGone() const;
  // What is ready when the reader of a pipe goes away; kNoWaitHandle when it cannot be seen.
  jsprogram::WaitHandle ReaderGoneSignal() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Whether `fd` is a terminal that the status line can be drawn on in place.
bool IsLiveTerminal(int fd);

// From a stop on, the program ends within a few seconds even if standard output takes nothing
// (Windows, whose writes cannot give way); nothing where writes give way on their own (POSIX).
void EndEvenIfOutputHangs();
