// A target of a run, as the staging, the swap, the installation in place,
// the record and the repair all know it, and the identity by which each of
// them knows an entry again: the names they share, apart from what each
// does with them.
#ifndef LANGEXT_STAGE_TARGET_H
#define LANGEXT_STAGE_TARGET_H

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

#endif
