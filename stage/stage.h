// The mechanism under a run, behind one interface: the driver names the
// targets (path, package part, kind, whether each replaces an old one) and
// hands them over once. stage_begin makes a staging entry for each, the
// driver fills them through their open descriptors, and stage_commit puts
// them in place, or stage_abandon removes them. The record of the run, the
// swap, the installation in place and the put-back all stay behind it; the
// repair of a killed run is stage/repair.h.
#ifndef LANGEXT_STAGE_STAGE_H
#define LANGEXT_STAGE_STAGE_H

#include <cstddef>

#include "stage/staging.h"

constexpr int STAGE_RECORD_FAILED = -1;

// Names each target's staging entry in the record, makes it (an empty
// owner-only file, or directory, open in target.staged) and records its
// identity, so that a run killed at any moment leaves nothing the next run
// does not know of. Returns how many targets could not be staged (each
// reported), or STAGE_RECORD_FAILED.
int stage_begin(StagedTarget* targets, std::size_t count);

// What stage_commit did.
constexpr int COMMITTED = 0;          // every target in place, durably
constexpr int COMMIT_FAILED = 1;      // reported; the product is as it was, nothing staged
constexpr int COMMIT_UNFINISHED = 2;  // reported; the next run finishes putting it back

// Checks that every staging entry is still the one made, makes what was
// staged durable, records the swap and puts every target in place, in
// order, keeping each replaced one as NAME.old, and makes that durable. On
// a failure, puts everything back and removes what was staged.
int stage_commit(StagedTarget* targets, std::size_t count);

// Removes what was staged, then the record; the record stays, for the next
// run to finish the job, while anything staged stays.
void stage_abandon(StagedTarget* targets, std::size_t count);

#endif
