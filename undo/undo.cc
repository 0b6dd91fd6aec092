#include "undo/undo.h"

#include <cstdio>

#include "installer/installer.h"
#include "steps/run.h"

int run_undo() {
  const int repair = repair_interrupted_run();
  // An installation the repair completed is the last one now.
  if (repair == REPAIR_REFUSED || (repair != REPAIR_REVERTED && undo_installation() != UNDONE)) {
    return EXIT_REFUSED;
  }
  history("undo completed");
  std::printf("Undo completed!\n\n");
  return EXIT_UNDONE;
}
