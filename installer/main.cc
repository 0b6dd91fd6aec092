#include <cstdlib>

#include "installer/installer.h"

int main() {
  if (!prepare_process()) std::exit(EXIT_REFUSED);
  std::exit(run_installation());
}
