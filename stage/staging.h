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
#include "stage/target.h"

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
