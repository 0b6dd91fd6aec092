// Copying the package one byte at a time through buffered streams, never
// through a link at a destination name.
#ifndef LANGEXT_FS_COPY_H
#define LANGEXT_FS_COPY_H

#include <sys/types.h>

#include "fs/entry.h"

// The mode of every directory the installation makes.
constexpr mode_t CREATED_DIRECTORY_MODE = 0755;

struct CopyHooks {  // either may be null
  // After each entry: whether it was a file, and its bytes. False stops the copy.
  bool (*entry_done)(int files, long long bytes);
  void (*before_message)();
};

// Copies the regular file at source into destination, an empty file it
// closes, with source's mode; true when complete, its size in *bytes.
bool copy_file_to(const char* source, int destination, long long* bytes);

// Copies the tree at source into the open directory destination (the mask
// 0); each entry that fails is reported under shown, counted in *failures
// and passed by. -1 where it stopped early (source missing, a source path
// over TREE_PATH_LIMIT, entry_done), else 0.
int copy_tree_into(const char* source, int destination, const char* shown, int* failures,
                   const CopyHooks& hooks);

// Prints the message that names a copy that failed, with errno's reason.
void report_copy_failure(const char* source, const char* destination);

#endif
