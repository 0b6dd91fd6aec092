#include "stage/repair.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "stage/in_place.h"
#include "stage/receipt.h"
#include "stage/record.h"

namespace {

std::array<StagedTarget, RECORD_TARGETS> recorded;
char recorded_paths[RECORD_TARGETS][PATH_BUFFER_SIZE];

// Where the run staged inside the target, opens the target itself, its
// parent being open; false, with errno set, where it cannot.
bool open_inside(StagedTarget* target) {
  if (!target->staged_inside) return true;
  target->inside.reset(
      openat(target->parent.get(), target->name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  return target->inside.is_open();
}

// Opens the target's directory, which must be the one the run used.
// Reports why not, unless it is simply gone (and with it what was staged
// there).
bool reopen_parent(StagedTarget* target, bool* gone) {
  *gone = false;
  if (open_target_parent(target) && open_inside(target)) return true;
  if (errno == ENOENT) {
    *gone = true;
  } else if (errno == ESTALE) {
    report_left_alone(target->path);
  } else {
    report_unexaminable(target->path);
  }
  return false;
}

// Removes what the run staged for the target; leaves alone, and names,
// what is not provably its own. Returns false when something of the run's
// stays.
bool remove_leftover(StagedTarget* target, std::size_t count) {
  bool gone = false;
  if (target->staging[0] == '\0' && target->in_place_step != IN_PLACE_COPYING) return true;
  if (!reopen_parent(target, &gone)) return gone || errno == ESTALE;
  // The copy of the old contents of a mount point is made before the swap.
  if (target->in_place_step == IN_PLACE_COPYING && !undo_in_place(target, recorded.data(), count)) {
    return false;
  }
  return target->staging[0] == '\0' ||
         remove_own_entry(staging_parent(*target), target->staging, target->staged_identity,
                          target->is_directory, staging_path(*target));
}

void report_moved(const StagedTarget& target, const char* which) {
  std::printf(
      "The %s contents of %s are no longer where the interrupted installation left them.\n\n",
      which, target.path);
}

// Finds where the run's two entries of the target stand among its three
// names. Anything else at those names is left alone and named. The new
// contents must be found too unless they may be gone (removed by a put-back).
bool locate(const StagedTarget& target, int* staged, int* old, bool staged_may_be_gone = false) {
  *staged = NOWHERE;
  *old = NOWHERE;
  bool known = true;
  for (int position : {AT_NAME, AT_BACKUP, AT_STAGING}) {
    const char* name = name_at(target, position);
    EntryIdentity found;
    if (!identity_at(target.parent.get(), name, &found)) {
      if (errno == ENOENT) continue;
      report_unexaminable(path_beside(target, name));
      known = false;
    } else if (same_identity(found, target.staged_identity)) {
      *staged = position;
    } else if (target.replaces && same_identity(found, target.old_identity)) {
      *old = position;
    } else {
      report_left_alone(path_beside(target, name));
      known = false;
    }
  }
  if (known &&
      ((*staged == NOWHERE && !staged_may_be_gone) || (target.replaces && *old == NOWHERE))) {
    report_moved(target, *staged == NOWHERE ? "new" : "old");
    known = false;
  }
  return known;
}

// Takes the target the rest of the way the killed run's swap would have:
// its new contents at its name, its old ones at NAME.old.
bool finish_swap(StagedTarget* target, std::size_t count) {
  bool gone = false;
  int staged = NOWHERE;
  int old = NOWHERE;
  if (!reopen_parent(target, &gone)) {
    if (gone) report_moved(*target, "new");
    return false;
  }
  if (!target->in_place) {
    if (!locate(*target, &staged, &old)) return false;
    if (arrange(*target, &staged, AT_NAME, &old, AT_BACKUP)) return true;
    if (!cannot_move(errno) || staged != AT_STAGING || old != AT_NAME) return false;
    target->in_place = true;
  }
  if (install_in_place(target, recorded.data(), count)) return true;
  undo_in_place(target, recorded.data(), count);
  return false;
}

// Takes the target back to what it was before the run, which had begun to
// put it back: its old contents at its name, and nothing staged. An undo
// puts back a completed installation so: what the installation put at NAME
// is staged_identity, taken away to the staging name and removed there.
bool finish_undo(StagedTarget* target, StagedTarget* targets, std::size_t count) {
  bool gone = false;
  if (!reopen_parent(target, &gone)) return gone && !target->replaces;
  if (target->in_place) {
    if (!undo_in_place(target, targets, count)) return false;
  } else if (target->staging[0] != '\0') {
    int staged = NOWHERE;
    int old = NOWHERE;
    if (!locate(*target, &staged, &old, true) ||
        !arrange(*target, &old, AT_NAME, &staged, AT_STAGING)) {
      return false;
    }
  }
  // A file installed in place stages nothing to put back.
  if (target->staging[0] == '\0') return true;
  // A staging directory inside the target changes its times as it goes,
  // which the put-back gave back: they are kept, and made durable.
  struct stat inside {};
  if (target->staged_inside && fstat(target->inside.get(), &inside) != 0) {
    report_unexaminable(target->path);
    return false;
  }
  if (!remove_own_entry(staging_parent(*target), target->staging, target->staged_identity,
                        target->is_directory, staging_path(*target))) {
    return false;
  }
  const std::array<timespec, 2> times{inside.st_atim, inside.st_mtim};
  if (target->staged_inside &&
      (futimens(target->inside.get(), times.data()) != 0 || fsync(target->inside.get()) != 0)) {
    std::printf("Unable to put back %s. %s.\n\n", target->path, std::strerror(errno));
    return false;
  }
  return true;
}

// A target installed in place is the volume, or the mounted file, itself:
// where another entry stands at its name now (it is not mounted), nothing
// may be done until it is back.
bool in_place_targets_present(std::size_t count) {
  bool present = true;
  for (std::size_t i = 0; i < count; ++i) {
    StagedTarget& target = recorded[i];
    if (!target.in_place || target.old_identity.inode == 0) continue;
    EntryIdentity found;
    if (!open_target_parent(&target) || !identity_at(target.parent.get(), target.name, &found) ||
        !same_identity(found, target.old_identity)) {
      std::printf(
          "Unable to repair the interrupted installation: %s is not mounted as it was. Mount it "
          "and run the installer again.\n\n",
          target.path);
      present = false;
    }
  }
  return present;
}

bool exists_as(int directory, const char* name, EntryIdentity identity) {
  EntryIdentity found;
  return directory >= 0 && name[0] != '\0' && identity.inode != 0 &&
         identity_at(directory, name, &found) && same_identity(found, identity);
}

// Whether any entry that the record names by its identity is still where
// the killed run left it.
bool anything_recorded_exists(std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    StagedTarget& target = recorded[i];
    if (!open_target_parent(&target)) {
      if (errno == ENOENT) continue;
      return true;  // not known to be gone: the repair itself says why
    }
    const int parent = target.parent.get();
    // A staging entry inside a target that is gone is gone with it; the
    // names beside the target are still looked at.
    open_inside(&target);
    const std::array<const char*, 3> names{target.name, target.backup, target.staging};
    if (std::any_of(names.begin(), names.end(), [&](const char* name) {
          return exists_as(parent, name, target.staged_identity) ||
                 exists_as(parent, name, target.old_identity) ||
                 exists_as(parent, name, target.copy_identity);
        })) {
      return true;
    }
    if (exists_as(staging_parent(target), target.staging, target.staged_identity) ||
        exists_as(parent, target.copy, target.copy_identity)) {
      return true;
    }
  }
  return false;
}

void report_unfinished(const StagedTarget& target) {
  std::printf(
      "Unable to finish installing %s. Put back what was moved and run the installer again, or "
      "give %s the new contents and %s.old the old ones by hand and remove %s.\n\n",
      target.path, target.path, target.path, RECORD_PATH);
}

}  // namespace

void report_unusable_record() {
  if (errno == EBADMSG) {
    std::printf("Unable to use %s: it is not a record this program wrote.\n\n", RECORD_PATH);
  } else {
    std::printf("Unable to read %s. %s.\n\n", RECORD_PATH, std::strerror(errno));
  }
}

bool put_back_targets(StagedTarget* targets, std::size_t count) {
  bool back = true;
  for (std::size_t i = count; i-- > 0;) {  // last first, as the swap went
    if (!finish_undo(&targets[i], targets, count)) {
      std::printf(targets[i].reverting
                      ? "Unable to put back %s as it was before the installation.\n\n"
                      : "Unable to put back %s as it was before the interrupted installation.\n\n",
                  targets[i].path);
      back = false;
    }
  }
  return back;
}

int repair_interrupted_run() {
  int phase = PHASE_STAGING;
  std::size_t count = 0;
  const int found = read_record(&phase, recorded.data(), recorded_paths, &count);
  if (found == RECORD_NONE) return REPAIR_NONE;
  if (found == RECORD_UNREADABLE) {
    report_unusable_record();
    return REPAIR_REFUSED;
  }
  // Nothing changes until what the record names is there to act on.
  if (!in_place_targets_present(count)) return REPAIR_REFUSED;
  if (phase != PHASE_STAGING && !anything_recorded_exists(count)) {
    std::printf(
        "Nothing that %s names is where the interrupted installation left it. If the product is on "
        "a volume that is not mounted, mount it and run the installer again; otherwise remove %s "
        "and run the installer again.\n\n",
        RECORD_PATH, RECORD_PATH);
    return REPAIR_REFUSED;
  }
  bool repaired = true;
  const bool reverting = phase == PHASE_REVERTING;
  if (phase == PHASE_UNDOING || reverting) {
    for (std::size_t i = 0; i < count; ++i) recorded[i].reverting = reverting;
    repaired = put_back_targets(recorded.data(), count);
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      StagedTarget& target = recorded[i];
      if (phase == PHASE_STAGING) {
        repaired = remove_leftover(&target, count) && repaired;
      } else if (!finish_swap(&target, count)) {
        report_unfinished(target);
        repaired = false;
      }
    }
  }
  if (!sync_parent_directories(recorded.data(), count)) {
    std::printf("Unable to write the repaired directories to stable storage. %s.\n\n",
                std::strerror(errno));
    repaired = false;
  }
  // What targets installed in place kept goes only once the rest is durable.
  if (repaired && phase == PHASE_SWAPPING) {
    repaired = finish_in_place(recorded.data(), count);
    if (repaired) keep_receipt(recorded.data(), count);
  }
  // The receipt of what an undo put back goes before its record.
  if (repaired && reverting && !remove_receipt()) {
    std::printf("Unable to remove %s. %s.\n\n", RECEIPT_PATH, std::strerror(errno));
    repaired = false;
  }
  if (!repaired || !forget_record()) return REPAIR_REFUSED;
  if (phase == PHASE_STAGING) {
    std::printf("Removed what an interrupted installation had staged.\n\n");
    return REPAIR_CLEANED;
  }
  if (phase == PHASE_UNDOING) {
    std::printf("Put back what an interrupted installation had changed.\n\n");
    return REPAIR_CLEANED;
  }
  if (reverting) {
    std::printf("Finished the undo that was interrupted.\n\n");
    return REPAIR_REVERTED;
  }
  std::printf("Finished the installation that was interrupted.\n\n");
  return REPAIR_COMPLETED;
}
