// Copying the package into place: one file with its mode bits, or a whole
// directory tree. Destinations are reached through their parent directory's
// descriptor and a symbolic link at a destination name is never followed.
#ifndef LANGEXT_COPY_COPY_H
#define LANGEXT_COPY_COPY_H

#include <dirent.h>
#include <sys/types.h>

#include <array>
#include <cerrno>
#include <cstddef>

#include "copy/descriptor.h"

// Each path the run is given (a target, the document root) fits this,
// its NUL included.
constexpr std::size_t PATH_BUFFER_SIZE = 512;

// A directory path plus an entry name plus "/" and the NUL must fit this.
constexpr std::size_t TREE_PATH_LIMIT = 1024;

// The mode of every directory the installation makes.
constexpr mode_t CREATED_DIRECTORY_MODE = 0755;

// What a walk tells its caller; either may be null.
struct WalkHooks {
  // After each entry: whether it was a file (1 or 0) and how many bytes were
  // copied. A false answer stops the walk before its next entry.
  bool (*entry_done)(int files, long long bytes);
  // Just before the walk prints a message.
  void (*before_message)();
};

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

// Copies the regular file at source (a link is followed to its file) into
// destination, an empty file open for writing, which it closes; the file
// ends with the source's twelve mode bits. Returns 1 when the copy is
// complete, with its size in *bytes, else 0.
int copy_file_to(const char* source, int destination, long long* bytes);

// Copies the entries of the tree at source into the open directory
// destination. Messages name the copies under shown, the path at which the
// administrator will find them. Returns as copy_tree does, and -1 as well
// when hooks.entry_done stops the walk.
int copy_tree_into(const char* source, int destination, const char* shown, int* failures,
                   const WalkHooks& hooks);

// Copies the bytes of the open file source to the open file destination,
// sets destination's twelve mode bits to mode, and closes both. Returns 1
// when the copy is complete, else 0.
int copy_contents(int source, int destination, mode_t mode);

// Opens the directory that holds the last component of path, leaving that
// component's name in *name (which points into buffer). Trailing slashes do
// not count as a component; a path of slashes alone names "/" itself.
// Returns the descriptor, or -1 with errno set.
int open_parent_directory(const char* path, std::array<char, TREE_PATH_LIMIT>& buffer,
                          const char** name);

// A stream over the open directory fd, which it takes: closed when the
// stream cannot be made (null then, with errno set).
DirectoryStream open_directory_stream(int fd);

// Whether a directory entry's name is "." or "..".
bool is_dot_or_dot_dot(const char* name);

// Calls visit with each entry of the open directory stream but "." and
// "..", until visit answers false. True when every entry was visited; false
// when visit stopped the walk, or when the directory could not be read
// (then with errno set).
template <typename Visit>
bool for_each_listed(DIR* stream, Visit visit) {
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(stream);
    if (entry == nullptr) return errno == 0;
    if (!is_dot_or_dot_dot(entry->d_name) && !visit(*entry)) return false;
  }
}

// Failures that no system call names, as errno values beyond the system's.
constexpr int NOT_A_REGULAR_FILE = 4096;    // a package entry to copy as a file
constexpr int NOT_THE_STAGED_ENTRY = 4097;  // another entry took a staging name
constexpr int STAGING_LEFTOVER = 4098;      // a volume holds a killed run's staging entry

// The reason for the failure errno names, as the sentence that ends a
// message (without its full stop).
const char* failure_reason(int error);

// Prints the message that names a copy that failed, with errno's reason.
void report_copy_failure(const char* source, const char* destination);

#endif
