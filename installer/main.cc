#include <cstdlib>

#include "installer/installer.h"

constexpr ProgramText TEXT{
    "langext-install",
    "Usage: langext-install [--help | --version | --dry-run]\n"
    "\n"
    "Installs the Tarnwick 3.0 Language Extensions add-on from the packages/\n"
    "folder of the current directory. Run as root, with no arguments, from the\n"
    "add-on's folder: it asks for the web server's document root (Enter takes\n"
    "/var/lib/httpd/htdocs), sets the product's language file, template\n"
    "directory and images directory aside as NAME.old, and copies the add-on\n"
    "into their places. A run is all or nothing: after a failure everything is\n"
    "put back, and a killed run is finished or put back by the next run of\n"
    "either program. langext-undo takes the installation out again.\n"
    "\n"
    "  --dry-run  asks and checks as a run does, then says what a run would do\n"
    "             with each target; changes nothing\n"
    "\n"
    "Exit status: 1 when installed (--dry-run: 0 when a run would proceed);\n"
    "255 when refused, failed or interrupted.\n"
    "See langext-install(8).\n"
    "\n",
    "--dry-run", run_dry};

int main(int argc, char** argv) {
  std::exit(run_program(argc, argv, TEXT,
                        "Tarnwick 3.0 Language Extensions - Installation program\n\n",
                        run_installation));
}
