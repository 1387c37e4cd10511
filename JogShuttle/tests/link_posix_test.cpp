// The link on a pseudo-terminal: what only POSIX has (advisory locks, files that are no
// terminal).

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "LinkFixture.h"

namespace {

class LinkPosix : public LinkFixture {};

TEST_F(LinkPosix, PortHeldByAnotherProgramFailsAtOpening) {
  StartSim();
  const int holder = ::open(PortPath(1).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(0, flock(holder, LOCK_EX | LOCK_NB));
  SerialJS link(1);
  EXPECT_FALSE(link.Open());
  ::close(holder);
  EXPECT_EQ(1u, Count(1, "SerialJS: Error (16) opening COM1: config: Device or resource busy"));
  EXPECT_EQ(0u, sim.ResetsReceived());

  // Released, the port opens again.
  SerialJS again(1);
  EXPECT_TRUE(again.Open());
}

TEST_F(LinkPosix, ANonTerminalIsNotAPort) {
  const std::string path = PortPath(1);
  const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ::close(fd);
  SerialJS link(1);
  EXPECT_FALSE(link.Open());
  EXPECT_EQ(1u, CountStartingWith("SerialJS: Error (25) opening COM1: config: "));
}

}  // namespace
