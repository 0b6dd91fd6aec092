// The one kind of step: an entry whose identity the log holds comes to a
// name by rename, and what stood there goes, by exchange where the file
// system allows, else by two renames; what a rename brought out that is
// not the entry the log names goes back. Read backwards, it puts both back.
// Its entries are found by identity, wherever a killed run left them.
#ifndef LANGEXT_STEPS_STEP_H
#define LANGEXT_STEPS_STEP_H

#include <array>

#include "fs/entry.h"
#include "steps/log.h"
#include "steps/target.h"

// One name a step uses: a directory, a name in it, a path for messages.
struct Slot {
  int directory;
  const char* name;
  const char* path;
};

// How a step's failures are told: as the swap of a whole target, as a
// repair of one, or one level down, in place or put back.
constexpr int TOLD_AS_SWAP = 0;
constexpr int TOLD_AS_REPAIR = 1;
constexpr int TOLD_IN_PLACE = 2;

struct Step {
  Slot from;  // where the entry coming in stands
  Slot at;    // the name it comes to
  Slot to;    // where the entry that stood there goes
  Identity in;
  Identity out;  // none (inode 0) where nothing stood there
  int told;      // in place, it may end where the exchange leaves it; else at to
};

constexpr int STEP_DONE = 0;
constexpr int STEP_FAILED = 1;     // reported
constexpr int STEP_UNMOVABLE = 2;  // the kernel will not move the entry at at: nothing changed

// What a step found at its slots (at, from, to), each examined once; a
// caller that has just examined at may hand that look over.
struct Seen {
  std::array<int, 3> looked{};  // 0 not yet, 1 an entry there, -1 none
  std::array<Identity, 3> found{};
};

// Takes the step (forward), or puts it back.
int take_step(const Step& step, bool forward, Seen seen = {});

// Where in directory the entry of identity stands, in name (NAME_BUFFER_SIZE
// bytes): at preferred, else wherever another user renamed it. False,
// errno ENOENT, where it is in no entry of directory.
bool find_entry(int directory, const char* preferred, const Identity& identity, char* name);

// Opens name in directory ("." for itself), which must be the entry of
// identity; -1, errno set (NOT_THE_ENTRY where it is another), where not.
int open_as(int directory, const char* name, int flags, const Identity& identity);

void report_left_alone(const char* path);

// "Unable to install PATH in place." or, putting back, "Unable to put back
// PATH.", with errno's reason. Always false.
bool report_unable(const char* path, bool putting_back);

// A plan: the steps one level down of a target installed in place, between
// two offsets of the log, read forwards or backwards. Each directory the
// plan goes into is named ("enter") and left ("leave"); within it each
// entry is swapped ("swap": the package's comes in, the old one goes out)
// or taken out ("out"). Their records:
//   enter =NAME IDENTITY [OLD-ATTRIBUTES]
//   leave =NAME IDENTITY [OLD-ATTRIBUTES NEW-ATTRIBUTES]
//   swap =NAME IN OUT|- SLOT
//   out =NAME IDENTITY SLOT [OLD-ATTRIBUTES]
// "." names the target itself. What goes out waits in the out directory
// until the run is done, under its slot number.
// A package is at most TREE_PATH_LIMIT bytes deep, two a level at least:
// the plans go into the package's directories alone.
constexpr std::size_t PLAN_DEPTH_LIMIT = TREE_PATH_LIMIT / 2 + 1;

// Takes every step of the target's two plans in order, or puts each back
// last first; what goes out waits in the out directory of staged. Taking
// stops at the first that fails; putting back goes on past one that
// cannot be, to put back all it can. False, reported, on a failure.
bool run_plans(const Target& target, int live, int staged, bool forward);

#endif
