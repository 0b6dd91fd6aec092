#include <cstdlib>

#include "installer/installer.h"
#include "installer/progress.h"
#include "steps/run.h"

constexpr ProgramText TEXT{
    "langext-undo",
    "Usage: langext-undo [--help | --version | --check]\n"
    "\n"
    "Undoes the last completed installation of the Tarnwick 3.0 Language\n"
    "Extensions add-on: each target gets back its contents from before it,\n"
    "from NAME.old, and what the installation made goes. Run as root, with no\n"
    "arguments; it asks nothing. It refuses, changing nothing, where a target\n"
    "or its NAME.old is not what the installation left.\n"
    "\n"
    "  --check    lists, file by file, what changed since the installation\n"
    "             (added, removed, content, owner, mode) and says whether an\n"
    "             undo would proceed; changes nothing\n"
    "\n"
    "Exit status: 0 when undone (--check: an undo would proceed); 255 when\n"
    "refused or failed (--check: it would refuse).\n"
    "See langext-undo(8).\n"
    "\n",
    "--check", [] {
      return run_locked_by([] { return check_installation() ? EXIT_UNDONE : EXIT_REFUSED; }, false);
    }};

int main(int argc, char** argv) {
  // The checks of a large installation take a while: on a terminal a line
  // shows how they go.
  watch_digests(progress_checking);
  std::exit(run_program(argc, argv, TEXT, "Tarnwick 3.0 Language Extensions - Undo program\n\n",
                        [] { return run_locked_by(run_undo); }));
}
