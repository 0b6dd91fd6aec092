// A target that the kernel will not move (a mount point, such as a volume
// or a bind-mounted file, or a directory of an overlay's lower layer) is
// installed in place. A complete copy of its old contents is made beside
// it, made durable and renamed to NAME.old before anything in it changes.
// Then each file of the package is exchanged with its namesake, so that a
// reader sees the whole old file or the whole new one, and the staged tree
// keeps the very old file until the run is done, for a put-back to exchange
// back; new directories are added, and entries the package lacks are
// removed from each directory once its new entries are in: only those the
// copy holds, unchanged, so that what others write meanwhile stays. Every
// new entry is made in the staging directory, which only root may enter,
// and moved in from there. A single file that is a mount point cannot be
// renamed over: it is rewritten.
#ifndef LANGEXT_STAGE_IN_PLACE_H
#define LANGEXT_STAGE_IN_PLACE_H

#include <cstddef>

#include "stage/staging.h"

// Makes the copy of the old contents of a target already known to be
// installed in place (a mount point), under a name of its own beside it,
// before the sync that makes what was staged durable: that sync makes the
// copy durable too, and install_in_place only renames it to NAME.old.
// Reports and returns false when it cannot; the copy is then gone.
bool copy_in_place_ahead(StagedTarget* target, StagedTarget* targets, std::size_t count);

// Installs the staged target in place, from the step that its
// in_place_step says, keeping the record of the run (every target of it)
// up to date. On failure it reports and returns false; undo_in_place then
// puts back what it had replaced.
bool install_in_place(StagedTarget* target, StagedTarget* targets, std::size_t count);

// Puts back the old contents of a target installed in place, from the step
// that its in_place_step says, and removes NAME.old once everything is
// verified back, recording each step before it is taken. Returns true once
// the target is as it was and NAME.old is gone; where that fails, names
// what is in the way and says that NAME.old holds the old contents.
bool undo_in_place(StagedTarget* target, StagedTarget* targets, std::size_t count);

// Once every target is in place and durable: gives each NAME.old of a
// directory installed in place its old directory's own owner, mode and
// attributes (until then it stays root's and owner-only, so that no one
// else can change what the replacement and any put-back rely on), then
// removes the staging entries that targets installed in place kept.
// Returns false, reported, when either could not be done.
bool finish_in_place(StagedTarget* targets, std::size_t count);

// Readies an undo of the target, which the installation put in place and
// the undo has staged for: journals every directory of it in the staging
// directory, durably, so that undo_in_place, from the step
// IN_PLACE_RESTORING, puts back the old contents at NAME.old as a put-back
// after a failure would. Reports and returns false when it cannot.
bool journal_installed_tree(StagedTarget* target);

// Closes NAME.old of a directory that an undo puts back in place, which
// since the installation has the old directory's own owner and mode: root's
// and owner-only, its ACLs gone, so that no one else can change what the
// put-back relies on. Its own owner, mode, times and attributes go first to
// the holder in the undo's staging directory, for the put-back to give the
// target, and into held. Reports and returns false when it cannot.
bool close_copy(StagedTarget* target, struct stat* held);

// Gives NAME.old back what close_copy held, where the undo goes no further.
bool reopen_copy(StagedTarget* target);

#endif
