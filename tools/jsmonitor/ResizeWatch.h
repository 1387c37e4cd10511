#pragma once
// A terminal's resize (SIGWINCH) as something an event loop waits on: the handler writes a byte
// into a pipe whose reading end then polls readable. One watch at a time in a process.

#include <signal.h>

#include <cstdint>

#include "UniqueFd.h"

class ResizeWatch {
 public:
  ResizeWatch() = default;
  // The handler is put back as it was before the pipe is closed.
  ~ResizeWatch();
  ResizeWatch(const ResizeWatch&) = delete;
  ResizeWatch& operator=(const ResizeWatch&) = delete;

  // False when the pipe or the handler could not be had: resizes then go unnoticed.
  bool Start();
  // What polls readable after a resize; -1 before Start.
  std::intptr_t Signal() const { return read_.valid() ? read_.get() : -1; }
  // True when a resize came since the last call; leaves the signal not ready.
  bool Take();

 private:
  jsposix::UniqueFd read_;
  jsposix::UniqueFd write_;
  struct sigaction previous_ {};
  bool installed_ = false;
};
