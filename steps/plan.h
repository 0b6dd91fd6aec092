// What the steps of a target installed in place will be, written to the
// log before any is taken.
#ifndef LANGEXT_STEPS_PLAN_H
#define LANGEXT_STEPS_PLAN_H

#include <sys/types.h>

#include "fs/entry.h"
#include "steps/target.h"

// What the copy of the old contents saw of each old directory at the place
// ("a/b/") of one of the package's below the target: the replacement goes
// only into the very directory the copy took there, never one that another
// user who may write beside it moved to its name.
void note_old_directory(int target, const char* place, const Identity& identity);

// Appends to the log the two plans that install the staged tree in place
// of the live one: the first takes out every old entry the package lacks
// (or holds as another type), the second swaps each package file with its
// old namesake, moves in what is new, and gives each old directory the
// package keeps the owner and mode of one the installation makes. Each
// plan is "plan T K" ... "planned T K"; the target's plans receive where
// each one's steps begin and end. False, reported, where the trees cannot
// be read.
bool plan_install(Target* target, std::size_t index, int live, int staged);

// Appends the two plans of an undo, read from the installation's in the
// receipt: the first takes out, or swaps back, what the installation put
// in; the second brings back what it took out, from copy, the copy of
// NAME.old.
bool plan_undo(Target* target, std::size_t index, int live, int copy, const Target& receipt);

// Copies up, on an overlay, every entry of the tree below directory that
// lies in a lower layer, so that the identities taken of them stay. False,
// errno set, where one cannot be.
bool settle_tree(int directory);

#endif
