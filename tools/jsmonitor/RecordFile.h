#pragma once
// The file --record writes to, as the system holds it: one owner of the descriptor (a HANDLE on
// Windows) from open to close.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class RecordFile {
 public:
  RecordFile() = default;
  ~RecordFile();  // Close
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  // Creates `path` (emptied when it exists). False with `error` set (the whole message) when it
  // cannot. POSIX: a fifo is waited on until a reader opens it, or until a stop is requested
  // (also false).
  bool Open(const std::string& path, std::string& error);
  bool IsOpen() const { return handle_ != kNone; }
  // Whether what was written can be taken back (a file on disk; not a fifo or a device).
  bool CanCut() const { return cuttable_; }

  // Writes `text` until done or failed; how much of it was written, with `error` the errno of
  // the failure when not all. POSIX: a fifo whose reader does not read keeps no stop from being
  // heard; once stopping nothing is waited for (EAGAIN).
  std::size_t Write(std::string_view text, int& error);
  // Makes the file `size` bytes long; 0, or the errno of the failure.
  int CutTo(std::uint64_t size);
  // 0, or the errno of the failure. Closed after it either way.
  int Close();

 private:
  static constexpr std::intptr_t kNone = -1;  // also INVALID_HANDLE_VALUE
  std::intptr_t handle_ = kNone;
  bool cuttable_ = false;
};
