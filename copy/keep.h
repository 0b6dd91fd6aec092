// Copies that keep an entry exactly as it is, for a backup that must stand
// in for the original: every entry keeps its type, contents, mode (the
// set-user-ID bit included), owner, group and modification time, and a
// symbolic link stays a link. Hard links between files become separate
// files; extended attributes are not copied.
#ifndef LANGEXT_COPY_KEEP_H
#define LANGEXT_COPY_KEEP_H

#include <sys/stat.h>

// Copies everything in the open directory source but the entry named
// left_out (null for none) into the open, empty directory destination,
// then gives destination source's own mode, owner and times. An entry that
// cannot be kept as it is (a socket, a device, a FIFO, an unreadable file)
// is reported under the two paths shown and counted in *failures; the walk
// goes on past it. Returns the failures.
int keep_tree(int source, const char* source_path, int destination, const char* destination_path,
              int* failures, const char* left_out = nullptr);

// Copies the open regular file source into the open, empty file
// destination with source's mode, owner and times, and closes destination.
// Returns 1 when the copy is complete, else 0 (reported).
int keep_file(int source, const char* source_path, int destination, const char* destination_path);

// Keeps the entry name of the directory source as new_name in the
// directory destination: a directory with everything in it, a file, or a
// link. Returns false, reported, when the entry itself cannot be kept;
// failures inside a directory are counted in *failures.
bool keep_entry(int source, const char* name, int destination, const char* new_name,
                const char* source_path, const char* destination_path, int* failures);

// Gives the open entry destination the owner, mode and times of status.
bool keep_attributes(int destination, const struct stat& status);

#endif
