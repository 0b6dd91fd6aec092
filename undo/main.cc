#include <cstdlib>

#include "installer/installer.h"
#include "undo/undo.h"

int main() {
  if (!standard_descriptors_open()) std::exit(EXIT_REFUSED);
  std::exit(run_undo());
}
