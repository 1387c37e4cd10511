#include "JackNews.h"

#include <sys/eventfd.h>
#include <unistd.h>

namespace jskeys {

JackNews::JackNews() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

JackNews::~JackNews() {
  if (fd_ >= 0) close(fd_);
}

void JackNews::Tell(std::uint32_t news) {
  news_.fetch_or(news);
  const std::uint64_t one = 1;
  // Full (never, in practice) or not: the loop wakes either way.
  [[maybe_unused]] const ssize_t written = write(fd_, &one, sizeof one);
}

std::uint32_t JackNews::Take() {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t read_ = read(fd_, &count, sizeof count);
  return news_.exchange(0);
}

}  // namespace jskeys
