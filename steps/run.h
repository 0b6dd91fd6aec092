// The mechanism under the two programs, behind one interface. The
// installer names the targets (path, package part, kind, whether each
// replaces an old one) and hands them over once: stage_begin makes a
// staging entry for each, the installer fills them through their open
// descriptors, and stage_commit drives every target to installed, or
// stage_abandon removes what was staged. The undo drives the targets of
// the last installation back. Either program first repairs what a killed
// run left.
#ifndef LANGEXT_STEPS_RUN_H
#define LANGEXT_STEPS_RUN_H

#include <cstddef>

#include "steps/target.h"

constexpr int STAGE_RECORD_FAILED = -1;

// Logs the targets, makes each one's staging entry (an owner-only file or
// directory, open in target.staged) and logs its identity. Returns how many
// targets could not be staged (each reported), or STAGE_RECORD_FAILED.
int stage_begin(Target* targets, std::size_t count);

// What stage_commit did.
constexpr int COMMITTED = 0;          // every target installed, durably
constexpr int COMMIT_FAILED = 1;      // reported; the product is as it was, nothing staged
constexpr int COMMIT_UNFINISHED = 2;  // reported; the next run finishes putting it back

// Makes what was staged durable, logs that the steps begin and takes them,
// target by target, keeping each replaced one as NAME.old, then the
// receipt. On a failure, puts everything back and removes what was staged.
int stage_commit(Target* targets, std::size_t count);

// Removes what was staged, then the record; the record stays while
// anything staged does.
void stage_abandon(Target* targets, std::size_t count);

// What repair_interrupted_run did.
constexpr int REPAIR_NONE = 0;       // no run was in progress
constexpr int REPAIR_CLEANED = 1;    // the product is as before the killed run: go on
constexpr int REPAIR_COMPLETED = 2;  // the killed installation was finished
constexpr int REPAIR_REVERTED = 3;   // the killed undo was finished
constexpr int REPAIR_REFUSED = 4;    // reported; nothing more may be done

// Finishes, or undoes, what a killed run left, as its record says.
int repair_interrupted_run();

// What undo_installation did.
constexpr int UNDONE = 0;           // every target as before the installation
constexpr int UNDO_NOTHING = 1;     // reported: there is no installation to undo
constexpr int UNDO_REFUSED = 2;     // reported; nothing changed
constexpr int UNDO_UNFINISHED = 3;  // reported; the next run finishes it

// Puts the product back as it was before the last completed installation,
// from its receipt, naming each target as it says so.
int undo_installation();

// Compares what the last completed installation left at each target and
// its NAME.old with what is there now, entry by entry, prints what changed
// and whether an undo would proceed, and changes nothing. True where an
// undo would proceed.
bool check_installation();

// Told how each long check of a tree goes, on a terminal: the tree's path
// and the entries seen, from 0 as it begins; a null path as it ends.
void watch_digests(void (*watch)(const char* path, long long entries));

// The history of what either program changed, appended to HISTORY_PATH
// as dated lines, as dpkg keeps its own: "DATE TIME PROGRAM[PID]: EVENT
// PATH". Nothing is written until a run changes something; a history that
// cannot be written is left out, and never changes a run's outcome.
constexpr const char* HISTORY_PATH = "/var/log/langext-install.log";
void history_start(const char* program);
void history(const char* event, const char* path = "");

#endif
