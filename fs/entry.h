// Entries reached through their directory and known by their identity, and
// the paths that name them in messages.
#ifndef LANGEXT_FS_ENTRY_H
#define LANGEXT_FS_ENTRY_H

#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>

constexpr std::size_t PATH_BUFFER_SIZE = 512;  // a path the run is given, with its NUL
constexpr std::size_t TREE_PATH_LIMIT = 1024;  // a directory path, "/", a name and the NUL
constexpr std::size_t NAME_BUFFER_SIZE = PATH_BUFFER_SIZE + 32;  // a name, room for a staging mark
using Path = std::array<char, TREE_PATH_LIMIT>;

// Which entry stands at a name: its inode number with its birth time (no
// call sets it) where told, else with its device number, which a mount again
// may change. Zero: none known.
struct Identity {
  dev_t device = 0;
  ino_t inode = 0;
  bool born = false;
  std::int64_t seconds = 0;
  std::uint32_t nanoseconds = 0;
};

// The status and identity (either may be null) of the entry name of
// directory ("": directory), never through a link, and whether it is another
// mount's root. False, errno set, where it cannot.
bool examine(int directory, const char* name, struct stat* status, Identity* identity,
             bool* mount = nullptr);

bool same_identity(const Identity& now, const Identity& known);

// Whether the entry name of directory is the entry of identity; where not,
// errno says why (NOT_THE_ENTRY: another stands there).
bool holds_entry(int directory, const char* name, const Identity& identity);

// The identity of an entry the run must know again; on an overlay, copied up.
bool settle(int directory, const char* name, Identity* identity);

// 1 where the entry is another mount's root (or one even root may not look
// at: a user's FUSE mount), 0 where not, -1 (errno set) where unknown.
int mount_at(int directory, const char* name);

// Where the mount that holds name in directory ("": directory) is mounted,
// its type and its options, in a buffer the next call reuses. False where
// not found.
struct MountLine {
  char* point;
  char* type;
  char* options;
};
bool find_mount(int directory, const char* name, MountLine* found);
// Undoes the octal escapes of the mount table, in place.
void unescape_mount_text(char* text);

// Moves an entry, never replacing what stands at to_name, or exchanges the
// two by one rename; the errors where it cannot exchange at all, or an entry
// cannot move.
bool move_entry(int from, const char* from_name, int to, const char* to_name,
                bool exchange = false);
bool cannot_exchange(int error);
bool cannot_move(int error);

// ".BASE.langext-XXXXXXXX" (past name_limit ".langext-XXXXXXXX"), eight
// random letters: a hidden name for an entry made beside base.
void make_staging_name(char* name, const char* base, long name_limit);
// ".langext-XXXXXXXX.K" for an entry made in the staging entry named so.
void make_work_name(char* name, std::size_t size, const char* staging, char kind);
bool is_dot_or_dot_dot(const char* name);

bool earlier(const timespec& first, const timespec& second);

// Failures that no system call names, as errno values beyond the system's.
constexpr int NOT_A_REGULAR_FILE = 4096;  // a package entry to copy as a file
constexpr int NOT_THE_ENTRY = 4097;       // another entry took a name the run uses

// The sentence, without its full stop, that names errno's failure.
const char* failure_reason(int error);

// directory/name, or directory cut to whole components then "/...": whether
// it is whole (one cut short never goes to the kernel).
bool join_path(Path* joined, const char* directory, const char* name);

// The path of the level a walk is in: as many components as fit, "/...".
struct ShownPath {
  Path text{};
  std::size_t hidden = 0;
};
void shown_start(ShownPath* shown, const char* path);
void shown_enter(ShownPath* shown, const char* name);
void shown_leave(ShownPath* shown);

// Opens the directory that holds the last component of path (trailing
// slashes aside), *name pointing at it in buffer. -1, errno set, on failure.
int open_parent_directory(const char* path, Path* buffer, const char** name);

#endif
