#include <cstdlib>

#include "installer/installer.h"
#include "undo/undo.h"

int main() {
  if (!start_program("Tarnwick 3.0 Language Extensions - Undo program\n\n")) {
    std::exit(EXIT_REFUSED);
  }
  std::exit(run_locked_by(run_undo));
}
