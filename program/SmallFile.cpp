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

bool Refuse(std::string why, std::string& error) {
  error = std::move(why);
  return false;
}

bool TooLarge(std::size_t limit, std::string& error) {
  const bool mebibytes = limit % (1024 * 1024) == 0;
  return Refuse("is larger than " + std::to_string(mebibytes ? limit / (1024 * 1024) : limit) +
                    (mebibytes ? " MiB" : " bytes"),
                error);
}

bool PlainFile(bool directory, bool regular, std::string& error) {
  if (directory) return Refuse("is a directory", error);
  if (!regular) return Refuse("is not a regular file", error);
  return true;
}

// Fills `content` from its start with as much of the file as fits, and cuts it to what came.
#if defined(_WIN32)

bool ReadInto(const std::string& path, std::size_t, std::string& content, std::string& error) {
  // By its wide name: a narrow one would pass through the ANSI code page.
  const std::filesystem::path file = PathOf(path);
  std::error_code fault;
  const std::filesystem::file_status status = std::filesystem::status(file, fault);
  if (!std::filesystem::exists(status)) {
    return Refuse("cannot be opened: " + (fault ? fault.message() : "No such file or directory"),
                  error);
  }
  if (!PlainFile(std::filesystem::is_directory(status), std::filesystem::is_regular_file(status),
                 error)) {
    return false;
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) return Refuse("cannot be opened", error);
  in.read(content.data(), static_cast<std::streamsize>(content.size()));
  if (in.bad()) return Refuse("cannot be read", error);
  content.resize(static_cast<std::size_t>(in.gcount()));
  return true;
}

#else

bool ReadInto(const std::string& path, std::size_t limit, std::string& content,
              std::string& error) {
  // O_NONBLOCK: opening a FIFO no one writes to would otherwise wait for ever.
  jsposix::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!file.valid()) return Refuse("cannot be opened: " + Describe(errno), error);
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) {
    return Refuse("cannot be examined: " + Describe(errno), error);
  }
  if (!PlainFile(S_ISDIR(info.st_mode), S_ISREG(info.st_mode), error)) return false;
  if (static_cast<std::uint64_t>(info.st_size) > limit) return TooLarge(limit, error);
  std::size_t got = 0;
  while (got < content.size()) {
    const ssize_t count = ::read(file.get(), content.data() + got, content.size() - got);
    if (count == 0) break;
    if (count < 0) {
      if (errno == EINTR) continue;
      return Refuse("cannot be read: " + Describe(errno), error);
    }
    got += static_cast<std::size_t>(count);
  }
  content.resize(got);
  return true;
}

#endif

}  // namespace

bool ReadSmallFile(const std::string& path, std::size_t limit, std::string& text,
                   std::string& error) {
  // One byte more than the limit is asked for, so a file that grew since it was looked at is
  // caught.
  std::string content(limit + 1, '\0');
  if (!ReadInto(path, limit, content, error)) return false;
  if (content.size() > limit) return TooLarge(limit, error);
  text = std::move(content);
  return true;
}

}  // namespace jsprogram
