#include "StandardDescriptors.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool IsDevNull(int fd) {
  struct stat seen {}, null {};
  return ::fstat(fd, &seen) == 0 && ::stat("/dev/null", &null) == 0 && seen.st_rdev == null.st_rdev &&
         S_ISCHR(seen.st_mode);
}

// In a child: closes the descriptors in `closed` (a bit per fd 0..2), then checks that every
// standard descriptor is open afterwards, the closed ones on /dev/null, and that the next file
// opened gets a number above 2.
int ChildWith(unsigned closed) {
  for (int fd = 0; fd <= 2; ++fd) {
    if ((closed & (1u << fd)) != 0) ::close(fd);
  }
  if (!jstools::EnsureStandardDescriptors()) return 10;
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1) return 20 + fd;
    if ((closed & (1u << fd)) != 0 && !IsDevNull(fd)) return 30 + fd;
  }
  const int next = ::open("/dev/null", O_RDONLY);
  return next > 2 ? 0 : 40;
}

TEST(StandardDescriptors, EveryCombinationOfClosedOnesIsFilled) {
  for (unsigned closed = 0; closed < 8; ++closed) {
    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) ::_exit(ChildWith(closed));
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "closed mask " << closed;
  }
}

}  // namespace
