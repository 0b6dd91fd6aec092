// The installation run and the pieces of it that read and clean input.
#ifndef LANGEXT_INSTALLER_INSTALLER_H
#define LANGEXT_INSTALLER_INSTALLER_H

#include <cstddef>

#include "fs/entry.h"  // PATH_BUFFER_SIZE
#include "steps/target.h"

constexpr std::size_t LINE_BUFFER_SIZE = 1024;
constexpr const char* IMAGES_SUFFIX = "/images";
// The longest document root that leaves room for "/images" and the NUL.
constexpr std::size_t DOCUMENT_ROOT_LIMIT = PATH_BUFFER_SIZE - 1 - 7;

constexpr int EXIT_REFUSED = -1;
constexpr int EXIT_UNDONE = 0;

// What scan_product_configuration found wrong, as bits of its result.
constexpr int CONFIGURATION_UNREADABLE = 1;
constexpr int TEMPLATE_DIRECTORY_TOO_LONG = 2;
constexpr int LANGUAGE_FILE_TOO_LONG = 4;

// Fills the two destinations (each PATH_BUFFER_SIZE bytes) from the file's
// templatedir and langfile lines, less leading spaces and tabs; a key's last
// line wins, and a value that does not fit leaves it empty and sets its bit.
int scan_product_configuration(const char* file_name, char* template_directory,
                               char* language_file);

// Turns what one read of standard input delivered into entry (received < 1:
// end of input or an error) into the document root: the last byte, the line
// end, goes with one slash before it, and a blank entry gives the default.
// 0 where it is too long to take "/images" after it, else 1.
int take_document_root(char* entry, long received);

// What either program says of itself on its command line, and the one
// option that only looks (the installer's dry run, the undo's check).
struct ProgramText {
  const char* name;
  const char* help;  // --help: what it is and does; ends with a newline
  const char* option;
  int (*look)();
};

// The whole of either program: the command line (--help and --version
// print their text; the option starts the run that looks; anything else
// prints a usage line on standard error), else the run; its exit status.
int run_program(int argc, char** argv, const ProgramText& text, const char* banner, int (*run)());

// The dry run: the installation's input and checks, and what a run would
// do, changing nothing; returns 0 where a run would proceed.
int run_dry();

// Says what a run would do with each checked target, as far as can be told
// without changing anything: renamed whole or installed in place, and why,
// and whether the package and copies fit. False where a run would fail.
bool describe_run(const Target* targets, std::size_t count);

// Runs run under the lock on the record's directory, which one run of
// either program holds at a time; its exit status, or a refusal where
// another holds it. A run that only looks (make false) neither makes nor
// removes the directory, and runs without it where there is none.
int run_locked_by(int (*run)(), bool make = true);

// The installation after the banner, and the undo of the last completed
// one under the lock; each returns the process exit status.
int run_installation();
int run_undo();

#endif
