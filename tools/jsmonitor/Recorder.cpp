#include "Recorder.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "Program.h"
#include "Recording.h"

namespace {

// How long a wait for a fifo's reader, or for room in the fifo, goes before a stop is looked at.
constexpr std::chrono::milliseconds kSlice(100);

bool IsFifo(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISFIFO(status.st_mode);
}

}  // namespace

Recorder::~Recorder() { (void)Close(); }

bool Recorder::Open(const std::string& path, std::string& error) {
  // A plain open of a fifo nobody reads blocks where no stop is heard. Without blocking it fails
  // (ENXIO) until a reader comes, so it is tried again in slices.
  bool told = false;
  for (;;) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd_ >= 0 || errno != ENXIO || !IsFifo(path)) break;
    if (!std::exchange(told, true)) jsprogram::Say("waiting for a reader of " + path);
    if (jsprogram::WaitForStop(kSlice)) {
      error = "stopped while waiting for a reader of " + path;
      return false;
    }
  }
  if (fd_ < 0) {
    error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat status {};
  regular_ = ::fstat(fd_, &status) == 0 && S_ISREG(status.st_mode);
  if (!Write(std::string(jssim::kRecordingHeader))) {
    error = "cannot write " + path + ": " + std::strerror(error_);
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  return true;
}

void Recorder::Attach(SerialJS& link) {
  if (!IsOpen()) return;
  (void)WritePending();  // what is queued now belongs to links before this one
  {
    std::lock_guard lock(mutex_);
    if (!accepted_) origin_ = Clock::now();
  }
  link.SetReceiveTap(&Recorder::Tap, this);
}

void Recorder::Accepted() { accepted_ = true; }

void Recorder::Rejected() {
  std::lock_guard lock(mutex_);
  queue_.clear();
}

void Recorder::Tap(void* self, const std::uint8_t* bytes, std::uint32_t count) {
  auto& recorder = *static_cast<Recorder*>(self);
  if (count == 0) return;
  const auto now = Clock::now();
  std::lock_guard lock(recorder.mutex_);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - recorder.origin_);
  recorder.queue_.push_back(
      {static_cast<std::uint64_t>(ms.count() < 0 ? 0 : ms.count()),
       std::vector<std::uint8_t>(bytes, bytes + count)});
}

bool Recorder::WritePending() {
  if (fd_ < 0) return error_ == 0;
  std::vector<Chunk> chunks;
  {
    std::lock_guard lock(mutex_);
    chunks.swap(queue_);
  }
  if (error_ != 0) return false;
  std::string text;
  for (const Chunk& chunk : chunks) text += jssim::FormatRecordLine(chunk.ms, chunk.bytes);
  return Write(text);
}

bool Recorder::Write(const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    // A fifo whose reader does not read must not keep a stop from being heard: room is waited
    // for in slices, and once stopping not at all. A regular file always has room to try.
    const bool stopping = jsprogram::StopRequested();
    pollfd out = {fd_, POLLOUT, 0};
    const int ready = ::poll(&out, 1, stopping ? 0 : static_cast<int>(kSlice.count()));
    if (ready == 0 && stopping) {
      error_ = EAGAIN;
      break;
    }
    if (ready < 0 && errno != EINTR) {
      error_ = errno;
      break;
    }
    if (ready <= 0) continue;
    const ssize_t put = ::write(fd_, text.data() + done, text.size() - done);
    if (put > 0) {
      done += static_cast<std::size_t>(put);
    } else if (put == 0 || (errno != EINTR && errno != EAGAIN)) {
      error_ = put < 0 ? errno : EIO;
      break;
    }
  }
  // `text` is whole lines: what was written of it is kept up to the last end of line in it.
  std::size_t kept = done;
  if (done < text.size()) {
    const std::size_t last = done == 0 ? std::string::npos : text.rfind('\n', done - 1);
    kept = last == std::string::npos ? 0 : last + 1;
  }
  whole_ += kept;
  if (error_ == 0) return true;
  // A line written in part would make the recording unreadable from there on: it goes. (A fifo
  // cannot take it back; its reader has seen it.)
  if (regular_ && kept < done && ::ftruncate(fd_, static_cast<off_t>(whole_)) != 0) {
    error_ = errno;
  }
  return false;
}

bool Recorder::Close() {
  if (fd_ < 0) return error_ == 0;
  bool ok = WritePending();
  if (::close(fd_) != 0 && ok) {
    error_ = errno != 0 ? errno : EIO;
    ok = false;
  }
  fd_ = -1;
  return ok;
}
