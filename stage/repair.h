// A run that was killed is finished or cleaned up by the next one, from the
// record it left and from what is on disk: entries are moved or removed
// only where their identity proves them the killed run's own.
#ifndef LANGEXT_STAGE_REPAIR_H
#define LANGEXT_STAGE_REPAIR_H

#include <cstddef>

#include "stage/staging.h"

constexpr int REPAIR_NONE = 0;       // no run was in progress
constexpr int REPAIR_CLEANED = 1;    // what it had staged is gone: go on
constexpr int REPAIR_COMPLETED = 2;  // its swap has been completed
constexpr int REPAIR_REVERTED = 3;   // the undo it was making is finished
constexpr int REPAIR_REFUSED = -1;   // its messages are printed: stop

// Says why the record (or its directory, errno) cannot be used.
void report_unusable_record();

// Repairs what a killed run left, if anything, and says what it did.
int repair_interrupted_run();

// Puts every target back as it was before the run, last first, from where
// the record of it says: the put-back of a failed installation, finished
// by a repair, and the undo of a completed one. Returns false, reported,
// where a target could not be put back.
bool put_back_targets(StagedTarget* targets, std::size_t count);

#endif
