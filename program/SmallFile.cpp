#include "SmallFile.h"

#include <cerrno>
#include <cstdint>
#include <system_error>

#if defined(_WIN32)
#include <filesystem>
#include <fstream>

#include "SystemText.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "UniqueFd.h"
#endif

namespace jsprogram {

namespace {

[[maybe_unused]] std::string Describe(int code) { return std::system_category().message(code); }

std::string SizeText(std::size_t limit) {
  if (limit % (1024 * 1024) == 0) return std::to_string(limit / (1024 * 1024)) + " MiB";
  return std::to_string(limit) + " bytes";
}

}  // namespace

#if defined(_WIN32)

bool ReadSmallFile(const std::string& path, std::size_t limit, std::string& text,
                   std::string& error) {
  // By its wide name: a narrow one would pass through the ANSI code page.
  const std::filesystem::path file = PathOf(path);
  std::error_code fault;
  const std::filesystem::file_status status = std::filesystem::status(file, fault);
  if (!std::filesystem::exists(status)) {
    error = "cannot be opened: " + (fault ? fault.message() : "No such file or directory");
    return false;
  }
  if (std::filesystem::is_directory(status)) {
    error = "is a directory";
    return false;
  }
  if (!std::filesystem::is_regular_file(status)) {
    error = "is not a regular file";
    return false;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    error = "cannot be opened";
    return false;
  }
  // One byte more than the limit is asked for, so a file that grew meanwhile is caught.
  std::string content(limit + 1, '\0');
  in.read(content.data(), static_cast<std::streamsize>(content.size()));
  const std::size_t got = static_cast<std::size_t>(in.gcount());
  if (in.bad()) {
    error = "cannot be read";
    return false;
  }
  if (got > limit) {
    error = "is larger than " + SizeText(limit);
    return false;
  }
  content.resize(got);
  text = std::move(content);
  return true;
}

#else

bool ReadSmallFile(const std::string& path, std::size_t limit, std::string& text,
                   std::string& error) {
  // O_NONBLOCK: opening a FIFO no one writes to would otherwise wait for ever.
  jsposix::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!file.valid()) {
    error = "cannot be opened: " + Describe(errno);
    return false;
  }
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) {
    error = "cannot be examined: " + Describe(errno);
    return false;
  }
  if (S_ISDIR(info.st_mode)) {
    error = "is a directory";
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    error = "is not a regular file";
    return false;
  }
  if (static_cast<std::uint64_t>(info.st_size) > limit) {
    error = "is larger than " + SizeText(limit);
    return false;
  }
  // One byte more than the limit is asked for, so a file that grew since fstat is caught.
  std::string content(limit + 1, '\0');
  std::size_t got = 0;
  while (got < content.size()) {
    const ssize_t count = ::read(file.get(), content.data() + got, content.size() - got);
    if (count == 0) break;
    if (count < 0) {
      if (errno == EINTR) continue;
      error = "cannot be read: " + Describe(errno);
      return false;
    }
    got += static_cast<std::size_t>(count);
  }
  if (got > limit) {
    error = "is larger than " + SizeText(limit);
    return false;
  }
  content.resize(got);
  text = std::move(content);
  return true;
}

#endif

}  // namespace jsprogram
