// A target of a run (the language file, the template directory, the
// images directory): the names beside it, the entries the run makes for it
// (each named in the log before it is made, known by the identity logged
// after) and how far its steps got. One function drives it to its goal,
// installed or as before, from whatever state the log shows.
#ifndef LANGEXT_STEPS_TARGET_H
#define LANGEXT_STEPS_TARGET_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "fs/entry.h"
#include "fs/fd.h"
#include "steps/digest.h"
#include "steps/log.h"

constexpr std::size_t TARGETS_LIMIT = 3;

// What the run makes for a target: the staged entry (the package's part,
// or an undo's copy of NAME.old, in place), the copy of the old contents
// (which becomes NAME.old; an undo's work directory) and a second copy of
// a file rewritten in place (the old one; undoing, the installed one), for
// its put-back.
constexpr int STAGED = 0;
constexpr int COPY = 1;
constexpr int KEPT = 2;
constexpr int ROLES = 3;

struct Made {
  char name[NAME_BUFFER_SIZE] = {};
  bool named = false;   // the log names it, and it may have been made
  bool made = false;    // the log holds its identity
  bool inside = false;  // in the target itself (a mount point), not beside it
  bool directory = false;
  Identity identity;
  timespec intended{};  // when the log named it, by the file systems' clock
};

struct Target {
  const char* path = nullptr;    // as the administrator names it
  const char* source = nullptr;  // the package's part, for messages
  bool is_directory = false;
  bool replaces = false;  // an old entry stands at its name
  bool undoing = false;   // the goal is as before the installation: NAME.old comes back
  Descriptor staged;      // what the package goes into, open

  Descriptor parent;  // the directory that holds it
  Identity parent_identity;
  char name[NAME_BUFFER_SIZE] = {};
  char backup[NAME_BUFFER_SIZE] = {};  // NAME.old
  // Installing, what stood at NAME; undoing, what the installation left
  // there, and at NAME.old.
  Identity old_identity;
  Identity kept_identity;
  bool mount = false;     // a mount point: installed in place, staged inside
  bool in_place = false;  // the kernel will not move it: its entries move instead
  Descriptor inside;      // the target itself, where something is made inside
  Attributes inside_times;
  Made made[ROLES];
  timespec mark{};  // when the copy of its old contents began
  bool copied = false;
  bool closed = false;  // an undo closed NAME.old to others
  bool planned[2] = {};
  bool put_back = false;   // in place, wholly: what the run made may go
  bool given = false;      // NAME.old has the old directory's own attributes
  off_t plans[2][2] = {};  // where each plan's steps begin and end in the log
  long slot = 0;
  bool digested = false;  // what the installation left at NAME and at NAME.old
  Identity installed_identity;
  std::uint64_t installed_digest = 0;
  std::uint64_t kept_digest = 0;
  DigestKey digest_key;  // none where an earlier release took the digests
};

// How far a run got, as its log says.
constexpr int PHASE_STAGE = 0;  // staging: the product is as it was
constexpr int PHASE_SWAP = 1;   // everything staged is durable: the steps are taken
constexpr int PHASE_BACK = 2;   // a step failed: everything is put back
constexpr int PHASE_DONE = 3;   // every target is at its goal, durably

// Opens the directory that holds the target and names it and its backup
// there; its identity must be the known one where one is known.
bool open_parent(Target* target);

// The path of the entry called name beside the target, or inside it, for
// messages; the last four results stay valid.
const char* path_beside(const Target& target, const char* name, bool inside = false);

// Appends one record to the log, and makes the log durable; each reports
// what fails.
bool append_record(const LogLine& line);
bool make_durable();
LogLine target_line(const char* kind, std::size_t index);
bool record_phase(int phase);

// Makes the entry role of the target (a file or a directory, beside it or
// inside it) under a fresh staging name, named in the log first; -1,
// errno set, where it cannot.
int make_entry(Target* target, std::size_t index, int role, bool inside, bool directory);

// Opens the entry role, wherever another user renamed it in its directory;
// -1, errno set, where it is not there.
int open_made(Target* target, int role, int flags);

// Removes the entry role, found by its identity; what is not the run's is
// left alone, and named. False, reported, where something of the run's
// stays. Repairing, an entry that is gone was removed by the killed run.
extern bool repairing;
bool remove_made(Target* target, int role);

// Writes to stable storage, once each, the file systems that hold the
// targets and what was made inside them (whole), or the directories that
// hold the targets.
bool sync_targets(Target* targets, std::size_t count, bool whole);

// Reads a log (the record, or the receipt) back into targets, their paths
// kept in paths; false, errno set, where it does not read as one.
bool read_targets(bool receipt, Target* targets, char (*paths)[PATH_BUFFER_SIZE],
                  std::size_t* count, int* phase, bool* committed);

// Reads the receipt of the last completed installation into targets, each
// failure reported.
constexpr int RECEIPT_READ = 0;
constexpr int RECEIPT_NONE = 1;
constexpr int RECEIPT_UNUSABLE = 2;
int read_receipt(Target* targets, char (*paths)[PATH_BUFFER_SIZE], std::size_t* count);

// Brings the target to its goal, or back from it, from wherever its steps
// stand: installing, the package staged beside it (or inside) comes in and
// what stood there becomes NAME.old; undoing, NAME.old comes back (or the
// undo's copy of it, in place) and what the installation left goes into
// the undo's work directory (COPY), one level down where the kernel will
// not move the target. Repairing, failures name what a killed run left.
bool drive(Target* target, std::size_t index, bool forward);

// NAME.old, which must be what the installation left there; -1, errno set,
// where it is not.
int open_backup(const Target& target);

// Makes the undo's copy of NAME.old of a target put back in place, its
// copy of the installed file, and the plans that put it back, from the
// installation's in the receipt.
bool stage_undo_in_place(Target* target, std::size_t index, const Target& receipt);

// The holder of a directory's own attributes in the made directory role
// (the staged tree; the undo's work directory, where NAME.old's wait), made
// when asked. give gives what it holds to the entry name beside the
// target, which must be the one of identity; give_held, only once an
// undo closed NAME.old to others, reported.
int open_holder(Target* target, int role, bool make);
bool give(const Target& target, int holder, const char* name, const Identity& identity);
bool give_held(Target* target, const char* name, const Identity& identity);

#endif
