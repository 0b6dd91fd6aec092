// One line of progress on standard error, where it is a terminal (else
// nothing is written there), so that a long install can be seen to move:
// the part being copied, and files and bytes done out of the total.
#ifndef LANGEXT_INSTALLER_PROGRESS_H
#define LANGEXT_INSTALLER_PROGRESS_H

#include <cstddef>

// Decides whether to show progress and, if so, counts the files and bytes
// of the package parts (files or trees).
void progress_start(const char* const* parts, std::size_t count);

// The part now being copied; the line is redrawn at once.
void progress_part(const char* part);

// Files and bytes just done; the line is redrawn at most ten times a second.
void progress_step(int files, long long bytes);

// Clears the line, as before a message; the next step draws it again.
void progress_clear();

// The undo's line: the tree being checked and the entries seen so far (0
// as it begins, deciding whether to show it); a null path clears it.
void progress_checking(const char* path, long long entries);

// The monotonic clock, in nanoseconds; reading it costs no system call.
long long monotonic_nanoseconds();

#endif
