#include <cstdlib>

#include "installer/installer.h"
#include "undo/undo.h"

int main() {
  if (!prepare_process()) std::exit(EXIT_REFUSED);
  std::exit(run_undo());
}
