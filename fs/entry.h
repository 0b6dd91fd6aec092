// Entries of a file system as the run knows them: by the identity it
// recorded when it made or examined them, reached through their directory's
// descriptor, moved without ever replacing what stands at a name; and the
// paths that name them in messages.
#ifndef LANGEXT_FS_ENTRY_H
#define LANGEXT_FS_ENTRY_H

#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>

// Each path the run is given (a target, the document root) fits this, its
// NUL included.
constexpr std::size_t PATH_BUFFER_SIZE = 512;
// A directory path plus an entry name plus "/" and the NUL must fit this.
constexpr std::size_t TREE_PATH_LIMIT = 1024;
// A name in a directory, with room for the mark of a staging name.
constexpr std::size_t NAME_BUFFER_SIZE = PATH_BUFFER_SIZE + 32;
using Path = std::array<char, TREE_PATH_LIMIT>;

// Which entry stands at a name. Device numbers change when a file system
// is mounted again (after a reboot, on btrfs at every mount, for a
// container's overlay at every start); inode numbers and birth times do
// not, and no call can set a birth time. So where the file system tells the
// birth time, the inode number with it names the entry, under any device
// number; elsewhere the device and inode numbers do. Zero: none known.
struct Identity {
  dev_t device = 0;
  ino_t inode = 0;
  bool born = false;
  std::int64_t seconds = 0;
  std::uint32_t nanoseconds = 0;
};

// The status of the entry name of directory ("" for directory itself),
// never through a link, and its identity; either may be null. Where mount
// is given, whether the entry is the root of another mount, as mount_at
// tells, from the same look where the kernel tells it. False, errno set,
// where it cannot be taken.
bool examine(int directory, const char* name, struct stat* status, Identity* identity,
             bool* mount = nullptr);

// Whether an identity just taken is the one known: the one identity test.
bool same_identity(const Identity& now, const Identity& known);

// The identity of an entry the run did not make and must know again. On an
// overlay the first change to an entry of a lower layer copies it up, under
// another birth time; its access time set to what it is makes that copy
// now, so that the identity taken is the one that stays.
bool settle(int directory, const char* name, Identity* identity);

// Whether the entry name of directory is the root of another mount: where
// the kernel says so (from Linux 5.8), else where it lies on another mount
// than directory. An entry that even root may not look at is a FUSE mount
// of another user's. 1 if so, 0 if not, -1 (errno set) where it cannot be
// told.
int mount_at(int directory, const char* name);

// Moves the entry from_name of from to to_name in to, never replacing what
// stands there; where the kernel or file system cannot promise that, the
// name is tested first.
bool move_entry(int from, const char* from_name, int to, const char* to_name);

// Exchanges two entries by one rename; errno EINVAL or ENOSYS where the
// file system or kernel cannot, EXDEV or EBUSY where an entry cannot move.
bool exchange_entries(int first, const char* first_name, int second, const char* second_name);
bool cannot_exchange(int error);
bool cannot_move(int error);

// A hidden name for an entry the run makes beside base:
// ".BASE.langext-XXXXXXXX", or ".langext-XXXXXXXX" where that would pass
// the file system's limit, with eight random letters. The entries made in
// a staging directory share its letters: ".langext-XXXXXXXX.K".
constexpr const char* STAGING_MARK = ".langext-";
void make_staging_name(char* name, const char* base, long name_limit);
void make_work_name(char* name, std::size_t size, const char* staging, char kind);
bool is_dot_or_dot_dot(const char* name);

// Whether first comes before second.
bool earlier(const timespec& first, const timespec& second);

// Failures that no system call names, as errno values beyond the system's.
constexpr int NOT_A_REGULAR_FILE = 4096;  // a package entry to copy as a file
constexpr int NOT_THE_ENTRY = 4097;       // another entry took a name the run uses

// The reason for the failure errno names, as the sentence that ends a
// message (without its full stop).
const char* failure_reason(int error);

// directory/name for a message or, where that does not fit, as much of
// directory as fits in whole components, then "/...". Returns whether the
// path is whole; a path cut short is never one to hand a system call.
bool join_path(Path* joined, const char* directory, const char* name);

// The path of the level a walk is in, however deep: as many components as
// fit, then "/..." for those past the room.
struct ShownPath {
  Path text{};
  std::size_t hidden = 0;
};
void shown_start(ShownPath* shown, const char* path);
void shown_enter(ShownPath* shown, const char* name);
void shown_leave(ShownPath* shown);

// Opens the directory that holds the last component of path and points
// *name at that component (inside buffer). Trailing slashes do not count; a
// path of slashes alone names "/" itself. -1, errno set, where it cannot.
int open_parent_directory(const char* path, Path* buffer, const char** name);

#endif
