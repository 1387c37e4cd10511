#pragma once
// --record: every chunk of bytes the controller sent, with its arrival time, in the recording
// format the simulator plays back:
//   # jogshuttle recording 1
//   # milliseconds since the link opened, then the bytes of one read in hex
//   0 82 05 41 42 43
// The reader thread hands chunks over through Tap, which only queues them; the main loop writes
// them out with WritePending, so a slow disk never holds up the link.
// The file only ever ends at a whole line: a write that fails (a full disk) is cut back to the
// last line written whole, so that what was recorded up to then plays back.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "RecordFile.h"
#include "SerialJS.h"

class Recorder {
 public:
  using Clock = std::chrono::steady_clock;

  Recorder() = default;
  ~Recorder();  // Close
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Creates the file and writes the header. False with `error` set when it cannot. A fifo is
  // waited on until a reader opens it, or until a stop is requested (also false).
  bool Open(const std::string& path, std::string& error);
  bool IsOpen() const { return file_.IsOpen(); }

  // Ties the recorder to a link about to be opened. Until a link has been accepted, each
  // attempt sets the time origin afresh; later links go on counting from the first one.
  void Attach(SerialJS& link);
  // The link being opened answered: what it sent is kept. Else dropped, as it came from a port
  // with no controller on it.
  void Accepted();
  void Rejected();

  // Writes what was queued and flushes it. False once writing failed (errno in Error()).
  bool WritePending();
  // Writes what is left and closes the file; false when any of it failed.
  bool Close();
  int Error() const { return error_; }

  // The receive tap; any thread.
  static void Tap(void* self, const std::uint8_t* bytes, std::uint32_t count);

 private:
  struct Chunk {
    std::uint64_t ms;
    std::vector<std::uint8_t> bytes;
  };

  // Writes `text`, whole lines, and counts what was written whole; false with error_ set.
  bool Write(const std::string& text);

  RecordFile file_;
  std::uint64_t whole_ = 0;  // where the last line written whole ends
  int error_ = 0;
  bool accepted_ = false;  // main thread only

  std::mutex mutex_;  // guards what the tap touches
  Clock::time_point origin_{};
  std::vector<Chunk> queue_;
};
