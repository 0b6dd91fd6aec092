#include <fcntl.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstdlib>

#include "installer/installer.h"

namespace {

// A descriptor among 0, 1 and 2 that the caller left closed would be handed
// to the next file the run opens, and a message printed on standard output
// would then land inside an installed file. /dev/null takes such a slot.
bool standard_descriptors_open() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    if (errno != EBADF) return false;
    if (open("/dev/null", O_RDWR) != fd) return false;
  }
  return true;
}

// The copy of an old tree holds a descriptor for each level it goes down,
// and a tree in a volume that others may write in can be as deep as they
// make it: it may use every descriptor the system lets it have, not the
// 1024 a shell gives by default.
bool raise_descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (limit.rlim_cur >= limit.rlim_max) return true;
  limit.rlim_cur = limit.rlim_max;
  return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

}  // namespace

int main() {
  if (!standard_descriptors_open()) std::exit(EXIT_REFUSED);
  // Where it cannot be raised, a deeper tree fails its copy, reported,
  // before anything has changed.
  static_cast<void>(raise_descriptor_limit());
  std::exit(run_installation());
}
