#include <fcntl.h>

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

}  // namespace

int main() {
  if (!standard_descriptors_open()) std::exit(EXIT_REFUSED);
  std::exit(run_installation());
}
