#include "Recorder.h"

#include <cerrno>
#include <cstring>

#include "Recording.h"

Recorder::~Recorder() { (void)Close(); }

bool Recorder::Open(const std::string& path, std::string& error) {
  if (!file_.Open(path, error)) return false;
  if (!Write(std::string(jssim::kRecordingHeader))) {
    error = "cannot write " + path + ": " + std::strerror(error_);
    (void)file_.Close();
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
  if (!IsOpen()) return error_ == 0;
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
  const std::size_t done = file_.Write(text, error_);
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
  if (file_.CanCut() && kept < done) {
    if (const int error = file_.CutTo(whole_); error != 0) error_ = error;
  }
  return false;
}

bool Recorder::Close() {
  if (!IsOpen()) return error_ == 0;
  bool ok = WritePending();
  if (const int error = file_.Close(); error != 0 && ok) {
    error_ = error;
    ok = false;
  }
  return ok;
}
