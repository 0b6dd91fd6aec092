// The undo is an installation whose package is NAME.old: only what the
// installation put in goes, by the identities its receipt holds, and what
// it set aside comes back. NAME.old is closed to others before it is
// relied on, and checked again.
#ifndef LANGEXT_STEPS_UNDO_H
#define LANGEXT_STEPS_UNDO_H

#include <cstddef>

#include "steps/target.h"

// Finishes, or puts back, a killed undo from its record, in the phase the
// record names; returns what repair_interrupted_run returns.
int repair_undo(Target* targets, std::size_t count, int phase);

#endif
