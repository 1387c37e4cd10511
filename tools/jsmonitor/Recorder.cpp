#include "Recorder.h"

#include <cerrno>
#include <cstring>

#include "Recording.h"

Recorder::~Recorder() { (void)Close(); }

bool Recorder::Open(const std::string& path, std::string& error) {
  file_ = std::fopen(path.c_str(), "w");
  if (file_ == nullptr) {
    error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  const std::string_view header = jssim::kRecordingHeader;
  if (std::fwrite(header.data(), 1, header.size(), file_) != header.size() ||
      std::fflush(file_) != 0) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    std::fclose(file_);
    file_ = nullptr;
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
  if (file_ == nullptr) return error_ == 0;
  std::vector<Chunk> chunks;
  {
    std::lock_guard lock(mutex_);
    chunks.swap(queue_);
  }
  if (error_ != 0) return false;
  if (chunks.empty()) return true;
  for (const Chunk& chunk : chunks) {
    const std::string line = jssim::FormatRecordLine(chunk.ms, chunk.bytes);
    if (std::fputs(line.c_str(), file_) < 0) {
      error_ = errno != 0 ? errno : EIO;
      return false;
    }
  }
  if (std::fflush(file_) != 0) {
    error_ = errno != 0 ? errno : EIO;
    return false;
  }
  return true;
}

bool Recorder::Close() {
  if (file_ == nullptr) return error_ == 0;
  bool ok = WritePending();
  if (std::fclose(file_) != 0 && ok) {
    error_ = errno != 0 ? errno : EIO;
    ok = false;
  }
  file_ = nullptr;
  return ok;
}
