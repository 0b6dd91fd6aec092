// Each new target is built beside the old one, under a hidden name of its
// own in the same directory, and takes the target's name by rename only
// once everything is built and durable: until then the product is as it
// was, and a run that stops leaves at most a few staging entries, which
// removing them undoes.
#ifndef LANGEXT_STAGE_STAGING_H
#define LANGEXT_STAGE_STAGING_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "copy/copy.h"
#include "copy/descriptor.h"

// Every staging entry's name holds this mark: ".NAME.langext-XXXXXXXX", or
// ".langext-XXXXXXXX" where the longer one would pass the name limit.
constexpr const char* STAGING_MARK = ".langext-";
constexpr std::size_t NAME_BUFFER_SIZE = PATH_BUFFER_SIZE + 32;

// How far the swap has taken a target.
constexpr int NOT_PLACED = 0;
constexpr int PLACED_NEW = 1;       // the target had not existed
constexpr int PLACED_OVER_OLD = 2;  // the old contents are at NAME.old
constexpr int PLACED_IN_PLACE = 3;  // replaced entry by entry, its old contents copied to NAME.old

// How far the installation in place of a target that cannot be moved got.
constexpr int IN_PLACE_NOT_BEGUN = 0;
constexpr int IN_PLACE_COPYING = 1;     // its old contents are being copied beside it
constexpr int IN_PLACE_REPLACING = 2;   // the copy is complete and at NAME.old
constexpr int IN_PLACE_REPLACED = 3;    // it holds the package, durably
constexpr int IN_PLACE_RESTORING = 4;   // being put back from NAME.old, which is whole
constexpr int IN_PLACE_DISCARDING = 5;  // put back whole: NAME.old is being removed
constexpr int IN_PLACE_LAST_STEP = IN_PLACE_DISCARDING;

// Which entry stands at a name. Device numbers change when a file system is
// mounted again (after a reboot, on btrfs at every mount, for a container's
// overlay at every start); inode numbers and birth times do not, and no call
// can set a birth time. So where the file system tells the birth time, the
// inode number with it names the entry, under any device number; elsewhere
// the device and inode numbers do. Zero where no entry is known.
struct EntryIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool born = false;  // the birth time is known
  std::int64_t birth_seconds = 0;
  std::uint32_t birth_nanoseconds = 0;
};

// One target of the run and what was staged for it.
struct StagedTarget {
  const char* path = nullptr;    // as the administrator names it
  const char* source = nullptr;  // the package's part, for messages
  bool is_directory = false;
  bool replaces = false;  // the target exists and is kept as NAME.old
  Descriptor parent;      // the directory that holds the target
  char name[NAME_BUFFER_SIZE] = {};
  char backup[NAME_BUFFER_SIZE] = {};
  char staging[NAME_BUFFER_SIZE] = {};  // empty until a name is chosen
  Descriptor staged;                    // the staging entry, open
  EntryIdentity parent_identity;
  EntryIdentity old_identity;     // the entry the swap sets aside
  EntryIdentity staged_identity;  // zero until the staging entry is made
  int placed = NOT_PLACED;
  // A target that cannot be moved is installed in place: a copy of its
  // old contents is made beside it and becomes NAME.old, then its entries
  // are replaced one by one.
  bool in_place = false;
  bool staged_inside = false;  // a mount point: its staging entry is in it
  int in_place_step = IN_PLACE_NOT_BEGUN;
  char copy[NAME_BUFFER_SIZE] = {};  // the copy's name beside it, once chosen
  EntryIdentity copy_identity;
  bool copy_made_ahead = false;  // complete, made before the sync of what was staged
  Descriptor inside;             // the target directory itself, when staged_inside
  // An undo puts back the contents an installation kept at NAME.old: what
  // the installation put at NAME then is what goes.
  bool reverting = false;
  std::uint64_t installed_digest = 0;  // a receipt's: what the installation left at NAME
  std::uint64_t kept_digest = 0;       // and at NAME.old
};

// The directory that holds the target's staging entry.
inline int staging_parent(const StagedTarget& target) {
  return target.staged_inside ? target.inside.get() : target.parent.get();
}

// Takes the status of the entry name in directory (of directory itself when
// name is empty), never through a link, with its identity. Returns false,
// with errno set, when it cannot.
bool examine_at(int directory, const char* name, struct stat* status, EntryIdentity* identity);

// The identity of the entry name in directory, or of directory itself.
bool identity_at(int directory, const char* name, EntryIdentity* identity);

// Whether now, an identity just taken, is the known one.
bool same_identity(EntryIdentity now, EntryIdentity known);

// Whether the entry is root's own and no one else may write it.
bool closed_to_others(const struct stat& status);

// Whether two entries, examined in this run, are one.
inline bool same_file(const struct stat& first, const struct stat& second) {
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// Takes the identity of an entry that the run did not make and must know
// again later. On an overlay the first change to an entry of a lower layer
// copies it up, which gives it the upper layer's birth time; an empty
// change of owner makes that copy now, so that the identity taken is the
// one that stays.
bool settled_identity_at(int directory, const char* name, EntryIdentity* identity);

// Opens the directory that holds target->path and names the target and its
// backup in it; the parent's identity must match when it is known already.
// Returns false, with errno set, when it cannot.
bool open_target_parent(StagedTarget* target);

// open_target_parent, and a random staging name.
bool prepare_target(StagedTarget* target);

// Whether the target, which exists, is a mount point (a volume, a bind
// mount), which no rename can move.
bool is_mount_point(const StagedTarget& target);

// Picks another random staging name, for when the last one was taken.
void choose_staging_name(StagedTarget* target);

// Creates the staging entry under the chosen name: an empty owner-only
// file, or an owner-only directory, taken exclusively and never through a
// link. Returns false, with errno set (EEXIST when the name is taken).
bool create_staged(StagedTarget* target);

// Whether the staging entry's name still holds the entry this run made.
bool still_staged(const StagedTarget& target);

// Finds the staging entry by its identity in the directory that holds it,
// at its staging name or whatever name another user gave it there (never
// the target's own names), and puts that name in name (NAME_BUFFER_SIZE
// bytes). False, errno ENOENT, where it is not there.
bool find_staged(const StagedTarget& target, char* name);

// Removes what was staged for target, by descriptor and never through a
// link: at its staging name, or wherever find_staged finds it. What was
// moved out of reach is named and left. Reports what stays, and returns
// false then.
bool remove_staged(StagedTarget* target);

// Removes everything inside the open directory, never following a link and
// never leaving the tree. Returns false when anything stays.
bool empty_directory(int directory);

// Removes the file, link or whole directory tree at name, never following
// a link. Returns false, with errno set, when anything stays.
bool remove_tree_at(int parent, const char* name);

// Creates an empty owner-only file, or an owner-only directory, at name,
// exclusively and never through a link, and opens it; -1 with errno set
// (EEXIST when the name is taken).
int create_owned_entry(int parent, const char* name, bool is_directory);

// Removes the entry at name (path in messages) when it is provably one this
// program made: its identity matches, or, with no identity known, it is
// still exactly as made. Leaves alone and names anything else. Returns
// false, reported, only when an entry of the program's stays.
bool remove_own_entry(int parent, const char* name, EntryIdentity identity, bool is_directory,
                      const char* path);

void report_left_alone(const char* path);

// Reports, with errno's reason, an entry whose status cannot be taken.
void report_unexaminable(const char* path);

// Moves the entry from_name of from to name in directory, never replacing
// what stands there. Where the kernel or file system cannot promise that,
// the name is tested first.
bool move_without_replacing(int from, const char* from_name, int directory, const char* name);

// The same within one directory.
inline bool rename_without_replacing(int directory, const char* from, const char* to) {
  return move_without_replacing(directory, from, directory, to);
}

// The path of the entry called name beside the target, for messages; the
// last two results stay valid.
const char* path_beside(const StagedTarget& target, const char* name);

// The path of the staging entry, for messages, as path_beside.
const char* staging_path(const StagedTarget& target);

// Makes a staging name from name into buffer (NAME_BUFFER_SIZE bytes),
// for a directory whose names may hold name_limit bytes.
void make_staging_name(char* staging, const char* name, long name_limit);

void report_rename_failure(const char* from, const char* to);

// The three names of a target, where its entries may stand.
constexpr int NOWHERE = -1;
constexpr int AT_NAME = 0;
constexpr int AT_BACKUP = 1;
constexpr int AT_STAGING = 2;

// The target's name at a position.
const char* name_at(const StagedTarget& target, int position);

// Moves the entry at *first (a position among the three names, or NOWHERE
// when there is none) to goal_first, then the entry at *second to
// goal_second, updating both positions as they move: by exchange where the
// file system allows it, else through the free name. A name is never
// replaced. Reports the first rename that fails, naming where the moving
// entry started, and returns false then; a first move that fails because
// the entry cannot move at all (cannot_move) is left to the caller.
bool cannot_move(int error);
bool arrange(const StagedTarget& target, int* first, int goal_first, int* second, int goal_second);

// Writes everything on the file systems that hold the targets to stable
// storage. Returns false when any of them reports an error.
bool sync_file_systems(const StagedTarget* targets, std::size_t count);

// Writes the directories that hold the targets (their renames) to stable
// storage. Returns false when any of them reports an error.
bool sync_parent_directories(const StagedTarget* targets, std::size_t count);

// Puts every staged target in place, in order, keeping each replaced one as
// NAME.old. A rename that fails is reported and the swap is undone, last
// first; returns false then.
bool swap_targets(StagedTarget* targets, std::size_t count);

// Removes the staging entries that targets installed in place kept until
// the end, durably. Returns false, reported, when one stays.
bool release_in_place_staging(StagedTarget* targets, std::size_t count);

// Undoes the swap of every target that was placed or began to be installed
// in place, last first; count is the number of targets in the run. Records
// first that the run is undoing. Returns false, reported, when anything
// could not be put back, or the record could not be written (and then
// nothing is undone).
bool undo_swap(StagedTarget* targets, std::size_t count);

// Whether the open directory holds an entry that has the form of a staging
// entry's name and is root's own, closed to others (errno STAGING_LEFTOVER),
// or cannot be read (errno set): a volume that holds what a killed run left
// must not pass it on to NAME.old.
bool holds_staging_leftover(int directory);

// Whether the entry path is the entry directory, or lies anywhere below it
// so that renaming directory would carry it along.
bool lies_within(const char* path, const char* directory);

#endif
