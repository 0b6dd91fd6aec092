#include <cstdlib>

#include "installer/installer.h"

int main() {
  if (!start_program("Tarnwick 3.0 Language Extensions - Installation program\n\n")) {
    std::exit(EXIT_REFUSED);
  }
  std::exit(run_installation());
}
