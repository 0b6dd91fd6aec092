#include "undo/undo.h"

#include <unistd.h>

#include <cstdio>

#include "installer/installer.h"
#include "steps/run.h"

namespace {

int undo_locked() {
  switch (repair_interrupted_run()) {
    case REPAIR_REFUSED:
      return EXIT_REFUSED;
    case REPAIR_REVERTED:
      std::printf("Undo completed!\n\n");
      return EXIT_UNDONE;
    default:  // an installation the repair completed is the last one now
      break;
  }
  if (undo_installation() != UNDONE) return EXIT_REFUSED;
  std::printf("Undo completed!\n\n");
  return EXIT_UNDONE;
}

}  // namespace

int run_undo() {
  std::printf("Tarnwick 3.0 Language Extensions - Undo program\n\n");
  if (getuid() != 0) {
    std::printf("This program must be run as root.\n\n");
    return EXIT_REFUSED;
  }
  return run_locked_by(undo_locked);
}
