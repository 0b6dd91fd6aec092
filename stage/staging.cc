#include "stage/staging.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

#include "copy/copy.h"
#include "copy/walk.h"
#include "stage/in_place.h"
#include "stage/record.h"

namespace {

constexpr mode_t STAGING_MODE = 0700;
constexpr std::string_view NAME_LETTERS =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::size_t RANDOM_LETTERS = 8;
constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The name only has to be unguessable enough that taking it first is
// pointless: it is created exclusively and never through a link, so a name
// that is taken costs one more try, never a write in the wrong place.
void fill_random(unsigned char* bytes, std::size_t count) {
  if (getrandom(bytes, count, GRND_NONBLOCK) == static_cast<ssize_t>(count)) return;
  Descriptor urandom(open("/dev/urandom", O_RDONLY | O_CLOEXEC));
  if (urandom.is_open() && read(urandom.get(), bytes, count) == static_cast<ssize_t>(count)) {
    return;
  }
  static unsigned long counter = 0;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  unsigned long mix = static_cast<unsigned long>(now.tv_nsec) ^
                      (static_cast<unsigned long>(getpid()) << 20) ^ (++counter * 2654435761UL);
  for (std::size_t i = 0; i < count; ++i, mix = mix * 6364136223846793005UL + 1) {
    bytes[i] = static_cast<unsigned char>(mix >> 33);
  }
}

bool same_entry(const struct stat& status, dev_t device, ino_t inode) {
  return status.st_dev == device && status.st_ino == inode;
}

}  // namespace

int create_owned_entry(int parent, const char* name, bool is_directory) {
  if (!is_directory) {
    return openat(parent, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                  0600);
  }
  if (mkdirat(parent, name, STAGING_MODE) != 0) return -1;
  // Between the two calls another user may have put a directory of their
  // own at the name; it would be theirs to change once installed.
  Descriptor directory(openat(parent, name, DIRECTORY_FLAGS));
  struct stat status {};
  if (!directory.is_open() || fstat(directory.get(), &status) != 0) return -1;
  if (!closed_to_others(status)) {
    errno = EPERM;
    return -1;
  }
  return directory.release();
}

bool remove_tree_at(int parent, const char* name) {
  if (unlinkat(parent, name, 0) == 0) return true;
  if (errno != EISDIR && errno != EPERM) return false;
  if (unlinkat(parent, name, AT_REMOVEDIR) == 0) return true;
  if (errno != ENOTEMPTY && errno != EEXIST) return false;
  // However deep the tree, as far as descriptors allow: a copy of old
  // contents is as deep as what others planted in them.
  Descriptor directory(openat(parent, name, DIRECTORY_FLAGS));
  return directory.is_open() && empty_tree(directory.get()) &&
         unlinkat(parent, name, AT_REMOVEDIR) == 0;
}

namespace {

// Whether the entry is one this program made: its identity is the recorded
// one or, where the identity could not be recorded yet, the entry is still
// exactly as made, root's own and owner-only (a directory must also be
// empty, which its removal tells).
bool made_here(const struct stat& status, EntryIdentity found, EntryIdentity identity,
               bool is_directory) {
  if (identity.inode != 0) return same_identity(found, identity);
  const mode_t mode = status.st_mode & 07777;
  if (!closed_to_others(status)) return false;
  if (is_directory) return S_ISDIR(status.st_mode) && (mode & 0777) == STAGING_MODE;
  return S_ISREG(status.st_mode) && mode == 0600 && status.st_size == 0 && status.st_nlink == 1;
}

}  // namespace

bool remove_own_entry(int parent, const char* name, EntryIdentity identity, bool is_directory,
                      const char* path) {
  struct stat status {};
  EntryIdentity found;
  if (!examine_at(parent, name, &status, &found)) {
    if (errno == ENOENT) return true;
    report_unexaminable(path);
    return false;
  }
  if (!made_here(status, found, identity, is_directory)) {
    report_left_alone(path);
    return true;
  }
  bool removed = true;
  if (is_directory && identity.inode != 0) {
    Descriptor directory(openat(parent, name, DIRECTORY_FLAGS));
    EntryIdentity opened;
    removed = directory.is_open() && identity_at(directory.get(), "", &opened) &&
              same_identity(opened, identity) && empty_directory(directory.get());
  }
  if (removed && unlinkat(parent, name, is_directory ? AT_REMOVEDIR : 0) == 0) return true;
  if (errno == ENOTEMPTY || errno == EEXIST) {
    report_left_alone(path);  // not the empty directory that was made
    return true;
  }
  std::printf("Unable to remove %s. %s.\n\n", path, std::strerror(errno));
  return false;
}

void report_left_alone(const char* path) {
  std::printf("Left %s alone: it is not what the interrupted installation made there.\n\n", path);
}

void report_unexaminable(const char* path) {
  std::printf("Unable to examine %s. %s.\n\n", path, std::strerror(errno));
}

bool empty_directory(int directory) { return empty_tree(directory); }

const char* name_at(const StagedTarget& target, int position) {
  switch (position) {
    case AT_NAME:
      return target.name;
    case AT_BACKUP:
      return target.backup;
    default:
      return target.staging;
  }
}

namespace {

// Reports a move of the entry that stood at `from` to `to`, that failed.
void report_move_failure(const StagedTarget& target, int from, int to) {
  report_rename_failure(path_beside(target, name_at(target, from)),
                        path_beside(target, name_at(target, to)));
}

}  // namespace

void make_staging_name(char* staging, const char* name, long name_limit) {
  std::array<unsigned char, RANDOM_LETTERS> random{};
  fill_random(random.data(), random.size());
  std::array<char, RANDOM_LETTERS + 1> letters{};
  for (std::size_t i = 0; i < RANDOM_LETTERS; ++i) {
    letters[i] = NAME_LETTERS[random[i] % NAME_LETTERS.size()];
  }
  int length =
      std::snprintf(staging, NAME_BUFFER_SIZE, ".%s%s%s", name, STAGING_MARK, letters.data());
  if (length < 0 || length > name_limit || static_cast<std::size_t>(length) >= NAME_BUFFER_SIZE) {
    std::snprintf(staging, NAME_BUFFER_SIZE, "%s%s", STAGING_MARK, letters.data());
  }
}

bool cannot_move(int error) { return error == EXDEV || error == EBUSY; }

bool move_without_replacing(int from, const char* from_name, int directory, const char* name) {
  if (renameat2(from, from_name, directory, name, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  struct stat status {};
  if (fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return false;
  }
  return errno == ENOENT && renameat(from, from_name, directory, name) == 0;
}

const char* path_beside(const StagedTarget& target, const char* name) {
  // Two in turn, so that one message can name two of them.
  static std::array<std::array<char, PATH_BUFFER_SIZE + NAME_BUFFER_SIZE>, 2> paths;
  static std::size_t turn = 0;
  std::array<char, PATH_BUFFER_SIZE + NAME_BUFFER_SIZE>& path = paths[turn++ % paths.size()];
  const char* slash = std::strrchr(target.path, '/');
  const int prefix = slash == nullptr ? 0 : static_cast<int>(slash - target.path + 1);
  std::snprintf(path.data(), path.size(), "%.*s%s", prefix, target.path, name);
  return path.data();
}

const char* staging_path(const StagedTarget& target) {
  if (!target.staged_inside) return path_beside(target, target.staging);
  static std::array<char, PATH_BUFFER_SIZE + NAME_BUFFER_SIZE> path;
  std::snprintf(path.data(), path.size(), "%s/%s", target.path, target.staging);
  return path.data();
}

void report_rename_failure(const char* from, const char* to) {
  std::printf("Unable to rename %s to %s. %s.\n\n", from, to, failure_reason(errno));
}

bool arrange(const StagedTarget& target, int* first, int goal_first, int* second, int goal_second) {
  const int parent = target.parent.get();
  const int first_start = *first;
  const int second_start = *second;
  if (*first != NOWHERE && *first != goal_first) {
    if (*second != goal_first) {
      if (!rename_without_replacing(parent, name_at(target, *first), name_at(target, goal_first))) {
        if (!cannot_move(errno)) report_move_failure(target, first_start, goal_first);
        return false;
      }
    } else if (renameat2(parent, name_at(target, *first), parent, name_at(target, goal_first),
                         RENAME_EXCHANGE) == 0) {
      *second = *first;
    } else {
      // A file system that cannot exchange two names takes two renames,
      // the first through the one free name of the three.
      const int free = AT_NAME + AT_BACKUP + AT_STAGING - *first - goal_first;
      if (cannot_move(errno)) return false;
      if ((errno != EINVAL && errno != ENOSYS) ||
          !rename_without_replacing(parent, name_at(target, *second), name_at(target, free))) {
        if (!cannot_move(errno)) report_move_failure(target, second_start, free);
        return false;
      }
      *second = free;
      if (!rename_without_replacing(parent, name_at(target, *first), name_at(target, goal_first))) {
        report_move_failure(target, first_start, goal_first);
        return false;
      }
    }
    *first = goal_first;
  }
  if (*second != NOWHERE && *second != goal_second) {
    if (!rename_without_replacing(parent, name_at(target, *second), name_at(target, goal_second))) {
      report_move_failure(target, second_start, goal_second);
      return false;
    }
    *second = goal_second;
  }
  return true;
}

namespace {

// Puts one staged target in place; on failure reports it, and puts back
// what had moved. A target that cannot be moved is installed in place.
bool place(StagedTarget* target, StagedTarget* targets, std::size_t count) {
  int staged = AT_STAGING;
  int old = target->replaces ? AT_NAME : NOWHERE;
  if (!target->in_place) {
    if (arrange(*target, &staged, AT_NAME, &old, AT_BACKUP)) {
      target->placed = target->replaces ? PLACED_OVER_OLD : PLACED_NEW;
      // In a directory that others may write, another user can put an
      // entry of theirs at the staging name between its last check and the
      // rename: what took the target's name must be what was staged, or it
      // goes back at once.
      EntryIdentity now;
      if (identity_at(target->parent.get(), target->name, &now) &&
          same_identity(now, target->staged_identity)) {
        return true;
      }
      errno = NOT_THE_STAGED_ENTRY;
      report_move_failure(*target, AT_STAGING, AT_NAME);
      return false;
    }
    if (!cannot_move(errno) || !target->replaces) {
      if (cannot_move(errno)) report_move_failure(*target, AT_STAGING, AT_NAME);
      arrange(*target, &old, AT_NAME, &staged, AT_STAGING);
      return false;
    }
    target->in_place = true;
  }
  if (!install_in_place(target, targets, count)) return false;
  target->placed = PLACED_IN_PLACE;
  return true;
}

// Brings the old contents back to the target's name and the new ones back
// to the staging name. Returns false, reported, where it cannot.
bool unplace(StagedTarget* target, StagedTarget* targets, std::size_t count) {
  bool undone = true;
  if (target->in_place) {
    undone = undo_in_place(target, targets, count);
  } else if (target->placed != NOT_PLACED) {
    int staged = AT_NAME;
    int old = target->replaces ? AT_BACKUP : NOWHERE;
    undone = arrange(*target, &old, AT_NAME, &staged, AT_STAGING);
  }
  if (undone) target->placed = NOT_PLACED;
  return undone;
}

// Syncs, once each, what holds the targets: their file systems, or their
// parent directories.
bool sync_once_each(const StagedTarget* targets, std::size_t count, bool file_systems) {
  bool synced = true;
  std::array<struct stat, 2 * RECORD_TARGETS> done{};
  std::size_t done_count = 0;
  for (std::size_t i = 0; i < count && i < RECORD_TARGETS; ++i) {
    // A staging entry inside its target is on the target's file system.
    for (int directory : {targets[i].parent.get(), targets[i].inside.get()}) {
      if (directory < 0 || (!file_systems && directory == targets[i].inside.get())) continue;
      struct stat status {};
      if (fstat(directory, &status) != 0) {
        synced = false;
        continue;
      }
      bool seen = false;
      for (std::size_t j = 0; j < done_count && !seen; ++j) {
        seen = done[j].st_dev == status.st_dev && (file_systems || done[j].st_ino == status.st_ino);
      }
      if (seen) continue;
      done[done_count++] = status;
      if ((file_systems ? syncfs(directory) : fsync(directory)) != 0) synced = false;
    }
  }
  return synced;
}

}  // namespace

bool open_target_parent(StagedTarget* target) {
  const std::size_t length = std::strlen(target->path);
  if (!target->is_directory && length > 0 && target->path[length - 1] == '/') {
    errno = EISDIR;  // a name with a slash at its end is no file's name
    return false;
  }
  std::array<char, TREE_PATH_LIMIT> buffer;
  const char* name = nullptr;
  target->parent.reset(open_parent_directory(target->path, buffer, &name));
  if (!target->parent.is_open()) return false;
  if (is_dot_or_dot_dot(name)) {
    errno = EINVAL;
    return false;
  }
  EntryIdentity found;
  const EntryIdentity known = target->parent_identity;
  if (known.inode == 0 ? !settled_identity_at(target->parent.get(), "", &found)
                       : !identity_at(target->parent.get(), "", &found)) {
    return false;
  }
  if (known.inode != 0 && !same_identity(found, known)) {
    target->parent.reset();
    errno = ESTALE;
    return false;
  }
  target->parent_identity = found;
  // The target holds fewer than PATH_BUFFER_SIZE bytes, so these fit.
  std::snprintf(target->name, sizeof target->name, "%s", name);
  std::snprintf(target->backup, sizeof target->backup, "%s.old", name);
  return true;
}

namespace {}  // namespace

bool is_mount_point(const StagedTarget& target) {
  struct statx status {};
  if (statx(target.parent.get(), target.name, AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &status) ==
          0 &&
      (status.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0) {
    return (status.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  }
  // Kernels before 5.8 do not tell a mount root, but every kernel since
  // 2.6.39 tells the mount an entry is on, where its file system gives
  // handles; and a mount of another file system shows in the device.
  int entry_mount = 0;
  int parent_mount = 0;
  if (mount_id_at(target.parent.get(), target.name, &entry_mount) &&
      mount_id_at(target.parent.get(), "", &parent_mount)) {
    return entry_mount != parent_mount;
  }
  struct stat entry {};
  struct stat parent {};
  return fstatat(target.parent.get(), target.name, &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
         fstat(target.parent.get(), &parent) == 0 && entry.st_dev != parent.st_dev;
}

namespace {

// Whether name has the form of a staging entry's name: a mark and eight
// letters at its end, or the passage's ".t" after them.
bool looks_staged(const char* name) {
  const char* mark = std::strstr(name, STAGING_MARK);
  if (mark == nullptr || name[0] != '.') return false;
  const char* letters = mark + std::strlen(STAGING_MARK);
  const std::size_t length = std::strlen(letters);
  if (length != RANDOM_LETTERS &&
      !(length == RANDOM_LETTERS + 2 && std::strcmp(letters + RANDOM_LETTERS, ".t") == 0)) {
    return looks_staged(mark + 1);
  }
  for (std::size_t i = 0; i < RANDOM_LETTERS; ++i) {
    if (NAME_LETTERS.find(letters[i]) == std::string_view::npos) return looks_staged(mark + 1);
  }
  return true;
}

// Whether the entry name of directory can be what a killed run staged:
// root's own and closed to all others, as the run makes it, a directory or
// a file of one link. Another user can make none such; what they name like
// a staging entry (or mount there, which no one else may look at) is an
// old entry like any other.
bool staged_by_root(int directory, const char* name) {
  struct stat status {};
  return fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
         status.st_uid == geteuid() && (status.st_mode & 077) == 0 &&
         (S_ISDIR(status.st_mode) || (S_ISREG(status.st_mode) && status.st_nlink == 1));
}

}  // namespace

bool holds_staging_leftover(int directory) {
  DirectoryStream stream(open_directory_stream(openat(directory, ".", DIRECTORY_FLAGS)));
  bool found = false;
  if (!stream || !for_each_listed(stream.get(), [&](const dirent& entry) {
        found = looks_staged(entry.d_name) && staged_by_root(directory, entry.d_name);
        return !found;
      })) {
    if (found) errno = STAGING_LEFTOVER;
    return true;
  }
  return false;
}

bool prepare_target(StagedTarget* target) {
  if (!open_target_parent(target)) return false;
  // A mount point is replaced in place, its new contents staged inside it,
  // on its own file system.
  target->in_place = target->replaces && is_mount_point(*target);
  // What stands there is known again, by the repair of a killed run, only
  // when it is the same volume: mounted again, or not at all.
  if (target->in_place &&
      !settled_identity_at(target->parent.get(), target->name, &target->old_identity)) {
    return false;
  }
  if (target->in_place && target->is_directory) {
    target->inside.reset(openat(target->parent.get(), target->name, DIRECTORY_FLAGS));
    if (!target->inside.is_open()) return false;
    target->staged_inside = true;
    if (holds_staging_leftover(target->inside.get())) return false;
  }
  choose_staging_name(target);
  return true;
}

void choose_staging_name(StagedTarget* target) {
  long name_limit = fpathconf(staging_parent(*target), _PC_NAME_MAX);
  if (name_limit <= 0) name_limit = NAME_MAX;
  make_staging_name(target->staging, target->name, name_limit);
}

bool create_staged(StagedTarget* target) {
  // A staging entry inside the target changes the target's times, which
  // its copy at NAME.old must keep.
  struct stat inside {};
  if (target->staged_inside && fstat(target->inside.get(), &inside) != 0) return false;
  target->staged.reset(
      create_owned_entry(staging_parent(*target), target->staging, target->is_directory));
  const std::array<timespec, 2> times{inside.st_atim, inside.st_mtim};
  if (target->staged_inside && target->staged.is_open() &&
      futimens(target->inside.get(), times.data()) != 0) {
    return false;
  }
  if (!target->staged.is_open()) {
    // A directory made but not opened is no longer known to be ours.
    if (errno != EEXIST) target->staging[0] = '\0';
    return false;
  }
  return identity_at(target->staged.get(), "", &target->staged_identity);
}

bool still_staged(const StagedTarget& target) {
  EntryIdentity found;
  if (target.staging[0] == '\0' || !identity_at(staging_parent(target), target.staging, &found)) {
    return false;
  }
  if (same_identity(found, target.staged_identity)) return true;
  errno = NOT_THE_STAGED_ENTRY;
  return false;
}

bool find_staged(const StagedTarget& target, char* name) {
  const int parent = staging_parent(target);
  EntryIdentity found;
  if (identity_at(parent, target.staging, &found) && same_identity(found, target.staged_identity)) {
    std::snprintf(name, NAME_BUFFER_SIZE, "%s", target.staging);
    return true;
  }
  DirectoryStream stream(open_directory_stream(openat(parent, ".", DIRECTORY_FLAGS)));
  bool moved = false;
  if (!stream || !for_each_listed(stream.get(), [&](const dirent& entry) {
        // The target's own names are the swap's to use, never a moved entry's.
        moved = (target.staged_inside || (std::strcmp(entry.d_name, target.name) != 0 &&
                                          std::strcmp(entry.d_name, target.backup) != 0)) &&
                identity_at(parent, entry.d_name, &found) &&
                same_identity(found, target.staged_identity);
        if (moved) std::snprintf(name, NAME_BUFFER_SIZE, "%s", entry.d_name);
        return !moved;
      })) {
    return moved;
  }
  errno = ENOENT;
  return false;
}

bool remove_staged(StagedTarget* target) {
  if (target->staging[0] == '\0') return true;
  // Another user who may write where it stands may have renamed it: it is
  // found by its identity, and an entry of theirs at its name stays.
  std::array<char, NAME_BUFFER_SIZE> name{};
  bool removed = find_staged(*target, name.data());
  if (!removed && errno == ENOENT) {
    std::printf(
        "The contents staged for %s were moved away from %s by someone else; they are left where "
        "they are.\n\n",
        target->path, staging_path(*target));
    target->staging[0] = '\0';
    return true;
  }
  if (removed && target->is_directory && target->staged.is_open()) {
    removed = empty_directory(target->staged.get());
  }
  if (removed) {
    removed = unlinkat(staging_parent(*target), name.data(),
                       target->is_directory ? AT_REMOVEDIR : 0) == 0;
  }
  if (!removed) {
    std::printf("Unable to remove %s. %s.\n\n", staging_path(*target), failure_reason(errno));
  }
  target->staging[0] = '\0';
  return removed;
}

bool sync_file_systems(const StagedTarget* targets, std::size_t count) {
  return sync_once_each(targets, count, true);
}

bool sync_parent_directories(const StagedTarget* targets, std::size_t count) {
  return sync_once_each(targets, count, false);
}

bool release_in_place_staging(StagedTarget* targets, std::size_t count) {
  bool released = true;
  for (std::size_t i = 0; i < count; ++i) {
    StagedTarget& target = targets[i];
    if (!target.in_place || target.staging[0] == '\0') continue;
    // Gone already where a killed run had removed it.
    const bool removed =
        target.is_directory && target.staged.is_open()
            ? remove_staged(&target)
            : remove_own_entry(staging_parent(target), target.staging, target.staged_identity,
                               target.is_directory, staging_path(target));
    target.staging[0] = '\0';
    if (!removed || fsync(staging_parent(target)) != 0) released = false;
  }
  return released;
}

bool swap_targets(StagedTarget* targets, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!place(&targets[i], targets, count)) return false;
  }
  return true;
}

bool undo_swap(StagedTarget* targets, std::size_t count) {
  // Recorded first: a run killed from here on is put back by the next one,
  // never finished with what it was taking away.
  if (!keep_record(PHASE_UNDOING, targets, count)) return false;
  bool undone = true;
  for (std::size_t i = count; i-- > 0;) undone = unplace(&targets[i], targets, count) && undone;
  return undone;
}

bool lies_within(const char* path, const char* directory) {
  struct stat outer {};
  struct stat inner {};
  if (lstat(directory, &outer) != 0) return false;
  if (lstat(path, &inner) == 0 && same_entry(inner, outer.st_dev, outer.st_ino)) return true;
  if (!S_ISDIR(outer.st_mode)) return false;
  std::array<char, TREE_PATH_LIMIT> buffer;
  const char* name = nullptr;
  Descriptor current(open_parent_directory(path, buffer, &name));
  // Every level of a path takes at least two bytes.
  for (std::size_t level = 0; current.is_open() && level < TREE_PATH_LIMIT; ++level) {
    struct stat status {};
    if (fstat(current.get(), &status) != 0) return false;
    if (same_entry(status, outer.st_dev, outer.st_ino)) return true;
    Descriptor up(openat(current.get(), "..", DIRECTORY_FLAGS));
    struct stat up_status {};
    if (!up.is_open() || fstat(up.get(), &up_status) != 0 ||
        same_entry(up_status, status.st_dev, status.st_ino)) {
      return false;
    }
    current.reset(up.release());
  }
  return false;
}
