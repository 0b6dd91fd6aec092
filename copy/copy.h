// Copying the package into place: one file with its mode bits, or a whole
// directory tree. Destinations are reached through their parent directory's
// descriptor and a symbolic link at a destination name is never followed.
#ifndef LANGEXT_COPY_COPY_H
#define LANGEXT_COPY_COPY_H

#include <cstddef>

// A directory path plus an entry name plus "/" and the NUL must fit this.
constexpr std::size_t TREE_PATH_LIMIT = 1024;

// Copies the regular file at source (a link is followed to its file) to
// destination with the source's twelve mode bits. Returns 1 when the copy
// is complete, 0 on any failure: a source that is not a readable regular
// file (nothing is created then), a link at the destination name, or an
// error while reading, writing, flushing, closing or setting the mode.
int copy_file(const char* source, const char* destination);

// Copies the tree under source into destination, creating missing
// directories with mode 0755. Returns -1 when the copy stopped early (source
// missing, or a source path over TREE_PATH_LIMIT), else 0. Every entry that
// could not be copied is reported on standard output and counted in
// *failures; the walk goes on past it.
int copy_tree(const char* source, const char* destination, int* failures);

// Prints the message that names a copy that failed.
void report_copy_failure(const char* source, const char* destination);

#endif
