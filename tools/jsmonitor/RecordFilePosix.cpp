// The record file on POSIX: a fifo's reader is waited for and a full fifo gives way to a stop.

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "Program.h"
#include "RecordFile.h"

namespace {

// How long a wait for a fifo's reader, or for room in the fifo, goes before a stop is looked at.
constexpr std::chrono::milliseconds kSlice(100);

bool IsFifo(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISFIFO(status.st_mode);
}

}  // namespace

RecordFile::~RecordFile() { (void)Close(); }

bool RecordFile::Open(const std::string& path, std::string& error) {
  // A plain open of a fifo nobody reads blocks where no stop is heard. Without blocking it fails
  // (ENXIO) until a reader comes, so it is tried again in slices.
  bool told = false;
  int fd = -1;
  for (;;) {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != ENXIO || !IsFifo(path)) break;
    if (!std::exchange(told, true)) jsprogram::Say("waiting for a reader of " + path);
    if (jsprogram::WaitForStop(kSlice)) {
      error = "stopped while waiting for a reader of " + path;
      return false;
    }
  }
  if (fd < 0) {
    error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  handle_ = fd;
  struct stat status {};
  cuttable_ = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
  return true;
}

std::size_t RecordFile::Write(std::string_view text, int& error) {
  error = 0;
  const int fd = static_cast<int>(handle_);
  std::size_t done = 0;
  while (done < text.size()) {
    // A regular file always has room to try; a fifo's room is waited for in slices, and once
    // stopping not at all.
    const bool stopping = jsprogram::StopRequested();
    pollfd out = {fd, POLLOUT, 0};
    const int ready = ::poll(&out, 1, stopping ? 0 : static_cast<int>(kSlice.count()));
    if (ready == 0 && stopping) {
      error = EAGAIN;
      break;
    }
    if (ready < 0 && errno != EINTR) {
      error = errno;
      break;
    }
    if (ready <= 0) continue;
    const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
    if (put > 0) {
      done += static_cast<std::size_t>(put);
    } else if (put == 0 || (errno != EINTR && errno != EAGAIN)) {
      error = put < 0 ? errno : EIO;
      break;
    }
  }
  return done;
}

int RecordFile::CutTo(std::uint64_t size) {
  return ::ftruncate(static_cast<int>(handle_), static_cast<off_t>(size)) == 0 ? 0 : errno;
}

int RecordFile::Close() {
  if (handle_ == kNone) return 0;
  const int fd = static_cast<int>(std::exchange(handle_, kNone));
  return ::close(fd) == 0 ? 0 : (errno != 0 ? errno : EIO);
}
