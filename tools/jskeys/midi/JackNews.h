#pragma once
// What JACK's own threads tell the event loop: the server went away, a port appeared. They only
// set a flag and wake the loop through an eventfd; the loop does the rest, as a JACK callback
// must not call back into JACK.

#include <atomic>
#include <cstdint>

namespace jskeys {

class JackNews {
 public:
  enum : std::uint32_t { kServerGone = 1, kPortsChanged = 2 };

  JackNews();
  ~JackNews();
  JackNews(const JackNews&) = delete;
  JackNews& operator=(const JackNews&) = delete;

  // Readable while news waits.
  int Fd() const { return fd_; }
  // From any thread.
  void Tell(std::uint32_t news);
  // What came since the last call; the eventfd read empty.
  std::uint32_t Take();

 private:
  int fd_;
  std::atomic<std::uint32_t> news_{0};
};

}  // namespace jskeys
