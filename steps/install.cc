#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fs/copy.h"
#include "fs/keep.h"
#include "steps/plan.h"
#include "steps/run.h"
#include "steps/step.h"
#include "steps/undo.h"

namespace {

// A killed run's targets, read back from its record.
std::array<Target, TARGETS_LIMIT> recorded;
char recorded_paths[TARGETS_LIMIT][PATH_BUFFER_SIZE];

void report_target(const Target& target) { report_copy_failure(target.source, target.path); }

void report_receipt_failure() {
  std::printf("Unable to write %s. %s.\n\n", RECEIPT_PATH, std::strerror(errno));
}

// What the installation left at NAME and at NAME.old, for its undo: their
// identities and digests, taken while NAME.old of a target installed in
// place is still closed to others.
bool record_digest(Target* target, std::size_t index) {
  const int parent = target->parent.get();
  const char* left_out = target->made[STAGED].inside ? target->made[STAGED].name : nullptr;
  Identity installed;
  Identity kept;
  std::uint64_t installed_digest = 0;
  std::uint64_t kept_digest = 0;
  if (!examine(parent, target->name, nullptr, &installed) ||
      !tree_digest(parent, target->name, left_out, true, &installed_digest) ||
      (target->replaces && (!examine(parent, target->backup, nullptr, &kept) ||
                            !tree_digest(parent, target->backup, nullptr, false, &kept_digest)))) {
    report_receipt_failure();
    return false;
  }
  LogLine line = target_line("digest", index);
  add_identity(&line, installed);
  add_hex(&line, installed_digest);
  add_identity(&line, kept);
  add_hex(&line, kept_digest);
  return append_record(line);
}

// NAME.old of a directory installed in place gets the old directory's own
// owner, mode, times and attributes, which it held back while the run
// relied on what it holds; durably.
bool open_copy_to_others(Target* target) {
  std::array<char, 32> holder_name{};
  make_work_name(holder_name.data(), holder_name.size(), target->made[STAGED].name, 'h');
  Descriptor staged(open_made(target, STAGED, DIRECTORY_FLAGS));
  Descriptor holder(staged.is_open() ? openat(staged.get(), holder_name.data(), DIRECTORY_FLAGS)
                                     : -1);
  if (!holder.is_open()) return true;  // given already by a killed run
  Descriptor copy(openat(target->parent.get(), target->backup, DIRECTORY_FLAGS));
  Identity found;
  if (copy.is_open() && examine(copy.get(), "", nullptr, &found) &&
      same_identity(found, target->made[COPY].identity) &&
      keep_attributes(holder.get(), copy.get(), path_beside(*target, target->backup)) &&
      fsync(copy.get()) == 0) {
    return true;
  }
  std::printf("Unable to install %s in place. %s.\n\n", target->path, failure_reason(errno));
  return false;
}

bool remove_everything_made(Target* targets, std::size_t count) {
  bool removed = true;
  for (std::size_t i = count; i-- > 0;) {
    for (int role : {KEPT, COPY, STAGED}) removed = remove_made(&targets[i], role) && removed;
  }
  return removed;
}

// Once every target is installed and durable: the receipt, then what was
// made goes, and the record becomes the receipt.
bool finish(Target* targets, std::size_t count) {
  bool finished = true;
  for (std::size_t i = 0; i < count; ++i) {
    if (!targets[i].digested) finished = record_digest(&targets[i], i) && finished;
  }
  if (!finished || !make_durable()) return false;
  for (std::size_t i = 0; i < count; ++i) {
    if (targets[i].in_place && targets[i].is_directory) {
      finished = open_copy_to_others(&targets[i]) && finished;
    }
  }
  if (!finished || !remove_everything_made(targets, count)) return false;
  LogLine commit;
  add_word(&commit, "commit");
  if (append_record(commit) && log_to_receipt()) return true;
  report_receipt_failure();
  return false;
}

// Puts back every target, last first; true when all are as before.
bool put_back(Target* targets, std::size_t count) {
  bool back = true;
  for (std::size_t i = count; i-- > 0;) back = drive_back(&targets[i]) && back;
  return back;
}

void report_unfinished(const Target& target) {
  std::printf(
      "Unable to finish installing %s. Put back what was moved and run the installer again, or "
      "give %s the new contents and %s.old the old ones by hand and remove %s.\n\n",
      target.path, target.path, target.path, RECORD_PATH);
}

// Opens what the record names of each target: its directory, which must
// be the one the run used, and the target itself where the run made
// something inside it.
bool reopen(Target* targets, std::size_t count) {
  bool present = true;
  for (std::size_t i = 0; i < count; ++i) {
    Target& target = targets[i];
    if (!open_parent(&target)) {
      if (errno == ESTALE) {
        report_left_alone(target.path);
      } else if (errno != ENOENT) {
        std::printf("Unable to examine %s. %s.\n\n", target.path, std::strerror(errno));
      }
      present = present && (errno == ENOENT);
      continue;
    }
    // A target installed in place is the volume, or the mounted file,
    // itself: where another entry stands at its name now (it is not
    // mounted), nothing may be done until it is back.
    Identity found;
    if (target.in_place && target.replaces &&
        (!examine(target.parent.get(), target.name, nullptr, &found) ||
         !same_identity(found, target.old_identity))) {
      std::printf(
          "Unable to repair the interrupted installation: %s is not mounted as it was. Mount it "
          "and run the installer again.\n\n",
          target.path);
      present = false;
      continue;
    }
    if (target.made[STAGED].inside || target.made[COPY].inside) {
      target.inside.reset(openat(target.parent.get(), target.name, DIRECTORY_FLAGS));
    }
  }
  return present;
}

bool exists_as(int directory, const char* name, const Identity& identity) {
  Identity found;
  return directory >= 0 && identity.inode != 0 && examine(directory, name, nullptr, &found) &&
         same_identity(found, identity);
}

// Whether any entry that the record names by its identity is still there.
bool anything_recorded_exists(std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    Target& target = recorded[i];
    const int parent = target.parent.get();
    if (exists_as(parent, target.name, target.old_identity) ||
        exists_as(parent, target.backup, target.old_identity) ||
        exists_as(parent, target.name, target.kept_identity) ||
        exists_as(parent, target.backup, target.kept_identity)) {
      return true;
    }
    for (const Made& made : target.made) {
      const int where = made.inside ? target.inside.get() : parent;
      if (!made.made && made.named && where >= 0 &&
          faccessat(where, made.name, F_OK, AT_SYMLINK_NOFOLLOW) == 0) {
        return true;
      }
      const std::array<const char*, 3> names{made.name, target.name, target.backup};
      if (std::any_of(names.begin(), names.end(), [&](const char* name) {
            return exists_as(where, name, made.identity) || exists_as(parent, name, made.identity);
          })) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace

int stage_begin(Target* targets, std::size_t count) {
  int failures = 0;
  std::array<bool, TARGETS_LIMIT> prepared{};
  for (std::size_t i = 0; i < count; ++i) {
    Target& target = targets[i];
    prepared[i] =
        open_parent(&target) &&
        (!target.replaces || settle(target.parent.get(), target.name, &target.old_identity));
    // A mount point is installed in place, its new contents staged inside
    // it, on its own file system.
    target.mount =
        prepared[i] && target.replaces && mount_at(target.parent.get(), target.name) == 1;
    target.in_place = target.mount;
    if (prepared[i] && target.mount && target.is_directory) {
      target.inside.reset(openat(target.parent.get(), target.name, DIRECTORY_FLAGS));
      prepared[i] = target.inside.is_open();
    }
    if (!prepared[i]) {
      report_target(target);
      ++failures;
    }
  }
  if (!log_start("install")) {
    std::printf("Unable to write %s. %s.\n\n", RECORD_PATH, std::strerror(errno));
    return STAGE_RECORD_FAILED;
  }
  for (std::size_t i = 0; i < count; ++i) {
    LogLine line = target_line("target", i);
    add_word(&line, targets[i].is_directory ? "directory" : "file");
    add_string(&line, targets[i].path);
    add_number(&line, targets[i].replaces ? 1 : 0);
    add_number(&line, targets[i].mount ? 1 : 0);
    add_identity(&line, targets[i].parent_identity);
    add_identity(&line, targets[i].old_identity);
    if (!append_record(line)) return STAGE_RECORD_FAILED;
  }
  for (std::size_t i = 0; i < count; ++i) {
    Target& target = targets[i];
    if (!prepared[i]) continue;
    target.staged.reset(
        make_entry(&target, i, STAGED, target.mount && target.is_directory, target.is_directory));
    if (!target.staged.is_open()) {
      report_target(target);
      ++failures;
    }
  }
  return make_durable() ? failures : STAGE_RECORD_FAILED;
}

int stage_commit(Target* targets, std::size_t count) {
  // Another user may have put something else at a staging name.
  for (std::size_t i = 0; i < count; ++i) {
    const Made& staged = targets[i].made[STAGED];
    Identity found;
    const bool there = examine(staged.inside ? targets[i].inside.get() : targets[i].parent.get(),
                               staged.name, nullptr, &found);
    if (!there || !same_identity(found, staged.identity)) {
      if (there) errno = NOT_THE_ENTRY;
      report_target(targets[i]);
      stage_abandon(targets, count);
      return COMMIT_FAILED;
    }
  }
  if (!sync_file_systems(targets, count)) {
    const int error = errno;
    for (std::size_t i = 0; i < count; ++i) {
      errno = error;
      report_target(targets[i]);
    }
    stage_abandon(targets, count);
    return COMMIT_FAILED;
  }
  if (!record_phase(PHASE_SWAP)) {
    stage_abandon(targets, count);
    return COMMIT_FAILED;
  }
  bool installed = true;
  for (std::size_t i = 0; installed && i < count; ++i) {
    installed = drive_installed(&targets[i], i, false);
  }
  if (installed && !sync_parents(targets, count)) {
    std::printf("Unable to write the product's directories to stable storage. %s.\n\n",
                std::strerror(errno));
    installed = false;
  }
  if (!installed) {
    // What could not be put back stays with the record, for the next run
    // to finish putting it back.
    if (!record_phase(PHASE_BACK) || !put_back(targets, count)) {
      std::printf("Unable to put everything back: run the installer again to finish that.\n\n");
      return COMMIT_UNFINISHED;
    }
    stage_abandon(targets, count);
    return COMMIT_FAILED;
  }
  // The record stays, for the next run to finish, while anything made
  // stays.
  if (record_phase(PHASE_DONE)) finish(targets, count);
  return COMMITTED;
}

void stage_abandon(Target* targets, std::size_t count) {
  if (remove_everything_made(targets, count)) log_forget();
}

namespace {

int repair();

}  // namespace

int repair_interrupted_run() {
  repairing = true;
  const int repaired = repair();
  repairing = false;
  return repaired;
}

namespace {

int repair() {
  const char* kind = "";
  const int found = log_open(false, &kind);
  if (found == LOG_NONE) return REPAIR_NONE;
  int phase = PHASE_STAGE;
  bool committed = false;
  std::size_t count = 0;
  if (found == LOG_UNREADABLE ||
      !read_targets(false, recorded.data(), recorded_paths, &count, &phase, &committed)) {
    report_unusable(RECORD_PATH, "record");
    return REPAIR_REFUSED;
  }
  const bool undo = std::strcmp(kind, "undo") == 0;
  // Nothing changes until what the record names is there to act on.
  if (!reopen(recorded.data(), count)) return REPAIR_REFUSED;
  if (phase != PHASE_STAGE && phase != PHASE_DONE && !anything_recorded_exists(count)) {
    std::printf(
        "Nothing that %s names is where the interrupted installation left it. If the product is on "
        "a volume that is not mounted, mount it and run the installer again; otherwise remove %s "
        "and run the installer again.\n\n",
        RECORD_PATH, RECORD_PATH);
    return REPAIR_REFUSED;
  }
  if (undo) return repair_undo(recorded.data(), count, phase);
  bool repaired = true;
  if (phase == PHASE_SWAP) {
    for (std::size_t i = 0; i < count; ++i) {
      if (!drive_installed(&recorded[i], i, true)) {
        report_unfinished(recorded[i]);
        repaired = false;
      }
    }
    if (repaired && !sync_parents(recorded.data(), count)) {
      std::printf("Unable to write the repaired directories to stable storage. %s.\n\n",
                  std::strerror(errno));
      repaired = false;
    }
    repaired = repaired && record_phase(PHASE_DONE);
  } else if (phase == PHASE_BACK) {
    repaired = put_back(recorded.data(), count);
    if (!repaired) {
      std::printf("Unable to put everything back: run the installer again to finish that.\n\n");
    }
  }
  if (!repaired) return REPAIR_REFUSED;
  if (phase == PHASE_SWAP || phase == PHASE_DONE) {
    if (committed ? !log_to_receipt() : !finish(recorded.data(), count)) return REPAIR_REFUSED;
    std::printf("Finished the installation that was interrupted.\n\n");
    return REPAIR_COMPLETED;
  }
  if (!remove_everything_made(recorded.data(), count)) return REPAIR_REFUSED;
  if (!log_forget()) {
    std::printf("Unable to remove %s. %s.\n\n", RECORD_PATH, std::strerror(errno));
    return REPAIR_REFUSED;
  }
  std::printf(phase == PHASE_STAGE ? "Removed what an interrupted installation had staged.\n\n"
                                   : "Put back what an interrupted installation had changed.\n\n");
  return REPAIR_CLEANED;
}

}  // namespace
