// Walks down trees of any depth: one level below another, each holding the
// descriptor of its directory alone, with no stream, buffer or frame of the
// stack per level; and the paths that name their entries in messages.
#ifndef LANGEXT_COPY_WALK_H
#define LANGEXT_COPY_WALK_H

#include <dirent.h>

#include <array>
#include <cstddef>

#include "copy/copy.h"

// How many levels a walk may hold open below its top: the kernel's default
// ceiling on one process's descriptors (fs.nr_open), so that descriptors
// run out first. Each walk keeps a table of this size, untouched where the
// tree is not so deep.
constexpr std::size_t WALK_DEPTH_LIMIT = std::size_t{1} << 20;

// Reads the entries of directories through their descriptors alone: where
// the next read starts is the descriptor's own position, so a walk may go
// down into an entry and come back to read on. One buffer serves every
// level; it holds the entries of one directory at a time. A walk begins
// with read_again, which makes it forget what an earlier walk left.
struct EntryReader {
  int directory;  // whose entries the buffer holds
  std::size_t filled;
  std::size_t next;
  alignas(dirent64) std::array<char, 32768> buffer;
};

// The next entry of the open directory, "." and ".." passed over. Null at
// the end (errno 0) or when the directory cannot be read (errno set).
const dirent64* read_entry(EntryReader* reader, int directory);

// Makes the next read of the directory start just past entry, the last one
// read from it, as seekdir does: the walk is about to read another. Returns
// false, with errno set, when the directory cannot be so positioned.
bool read_past(EntryReader* reader, int directory, const dirent64* entry);

// Makes the next read of the directory start at its first entry again.
bool read_again(EntryReader* reader, int directory);

// A path for messages, however deep the walk goes: the path of the level
// the walk is in, as many of its components as fit, then "/..." for those
// past the room.
struct ShownPath {
  std::array<char, TREE_PATH_LIMIT> text{};
  std::size_t hidden = 0;  // levels past the room
};

void shown_start(ShownPath* shown, const char* path);
void shown_enter(ShownPath* shown, const char* name);
void shown_leave(ShownPath* shown);

// For a message alone: directory/name, or where that does not fit, as much
// of directory as fits in whole components, then "/...". Returns whether it
// is the whole path; a path cut short is never one to hand a system call.
bool join_for_message(std::array<char, TREE_PATH_LIMIT>* joined, const char* directory,
                      const char* name);

// Whether a path joined for a message was cut short (or names an entry
// "...", which a cut path cannot be told from).
bool cut_short(const char* path);

// Removes everything inside the open directory, however deep, never
// following a link nor entering another mount (which cannot be removed).
// Stops at the first entry that cannot be removed and returns false, with
// errno set; descriptors running out is one such reason.
bool empty_tree(int directory);

// Which mount the entry name of directory ("" for directory itself) is on,
// told without asking its file system anything: a handle is made from what
// the kernel holds. False, errno set, where the kernel cannot tell.
bool mount_id_at(int directory, const char* name, int* mount);

#endif
