// Copying the package: one file with its mode bits, or a whole directory
// tree, one byte at a time through the buffered streams. Destinations are
// reached through their parent directory's descriptor, and a symbolic link
// at a destination name is never followed.
#ifndef LANGEXT_FS_COPY_H
#define LANGEXT_FS_COPY_H

#include <sys/types.h>

#include "fs/entry.h"

// The mode of every directory the installation makes.
constexpr mode_t CREATED_DIRECTORY_MODE = 0755;

// What a copy tells its caller; either may be null.
struct CopyHooks {
  // After each entry: whether it was a file (1 or 0) and how many bytes
  // were copied. A false answer stops the copy before its next entry.
  bool (*entry_done)(int files, long long bytes);
  // Just before the copy prints a message.
  void (*before_message)();
};

// Copies the regular file at source (a link is followed to its file) to
// destination with the source's twelve mode bits. Returns 1 when the copy
// is complete, 0 on any failure: a source that is not a readable regular
// file (nothing is created then), a link at the destination name, or an
// error while reading, writing, flushing, closing or setting the mode.
int copy_file(const char* source, const char* destination);

// Copies the tree under source into destination, creating missing
// directories with mode 0755. Returns -1 when the copy stopped early
// (source missing, or a source path over TREE_PATH_LIMIT), else 0. Every
// entry that could not be copied is reported on standard output and
// counted in *failures; the copy goes on past it.
int copy_tree(const char* source, const char* destination, int* failures);

// Copies the regular file at source into destination, an empty file open
// for writing, which it closes; the file ends with the source's twelve
// mode bits. Returns 1 when the copy is complete, with its size in *bytes.
int copy_file_to(const char* source, int destination, long long* bytes);

// Copies the entries of the tree at source into the open directory
// destination, the file-creation mask being 0. Messages name the copies
// under shown, where the administrator will find them. Returns as
// copy_tree does, and -1 as well where hooks.entry_done stops the copy.
int copy_tree_into(const char* source, int destination, const char* shown, int* failures,
                   const CopyHooks& hooks);

// Prints the message that names a copy that failed, with errno's reason.
void report_copy_failure(const char* source, const char* destination);

#endif
