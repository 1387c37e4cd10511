// The seam's results that are POSIX's own.

#include "PlatformFacts.h"

#include <cerrno>

namespace js::sys::test {

const PlatformFacts& ThisPlatform() {
  static const PlatformFacts facts{
      EBADF,
      {ENOENT, EACCES, EBADF, EBUSY, EINVAL, ECANCELED},
      0x7FFFFFFF,
      // strerror_r has words for any number ("Unknown error 2147483647" on glibc); where it
      // refuses one, the stand-in comes instead, so only "some text" holds on every POSIX system.
      false,
  };
  return facts;
}

}  // namespace js::sys::test
