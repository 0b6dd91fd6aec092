#include "steps/undo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fs/keep.h"
#include "fs/walk.h"
#include "steps/plan.h"
#include "steps/run.h"
#include "steps/step.h"

namespace {

// The receipt's targets, and the undo's own.
std::array<Target, TARGETS_LIMIT> installed;
char installed_paths[TARGETS_LIMIT][PATH_BUFFER_SIZE];
std::array<Target, TARGETS_LIMIT> undone;

void report_changed(const Target& target, bool backup) {
  std::printf(backup ? "Unable to undo: %s.old is not what the installation left there.\n\n"
                     : "Unable to undo: %s was changed since the installation.\n\n",
              target.path);
}

// Whether the entry name beside the target is what the installation left
// there: 1 if so, 0 if not, -1 (reported) where it cannot be told.
int as_left(const Target& target, const char* name, const Identity& identity,
            std::uint64_t digest) {
  Identity found;
  std::uint64_t now = 0;
  if (!examine(target.parent.get(), name, nullptr, &found)) {
    if (errno == ENOENT) return 0;
    std::printf("Unable to examine %s. %s.\n\n", path_beside(target, name), std::strerror(errno));
    return -1;
  }
  if (!same_identity(found, identity)) return 0;
  if (tree_digest(target.parent.get(), name, nullptr, name == target.name, &now)) {
    return now == digest ? 1 : 0;
  }
  if (errno == ENOENT || errno == ESTALE) return 0;
  std::printf("Unable to examine %s. %s.\n\n", path_beside(target, name), std::strerror(errno));
  return -1;
}

// Whether NAME, and NAME.old, are as the installation left them; names what
// is not.
bool unchanged(const Target& target, bool backup_only) {
  const int left =
      backup_only ? 1 : as_left(target, target.name, target.old_identity, target.installed_digest);
  if (left == 0) report_changed(target, false);
  const int kept = !target.replaces
                       ? 1
                       : as_left(target, target.backup, target.kept_identity, target.kept_digest);
  if (kept == 0) report_changed(target, true);
  return left == 1 && kept == 1;
}

int open_holder(Target* target, bool make) {
  std::array<char, 32> name{};
  make_work_name(name.data(), name.size(), target->made[STAGED].name, 'h');
  Descriptor work(open_made(target, STAGED, DIRECTORY_FLAGS));
  if (!work.is_open()) return -1;
  if (make && target->is_directory && mkdirat(work.get(), name.data(), 0700) != 0) return -1;
  const int flags = target->is_directory ? DIRECTORY_FLAGS : READ_FLAGS;
  return openat(work.get(), name.data(), make && !target->is_directory ? NEW_FILE_FLAGS : flags,
                0600);
}

int open_backup(const Target& target, int flags) {
  Descriptor backup(openat(target.parent.get(), target.backup, flags));
  Identity found;
  if (!backup.is_open() || !examine(backup.get(), "", nullptr, &found)) return -1;
  if (!same_identity(found, target.kept_identity)) {
    errno = NOT_THE_ENTRY;
    return -1;
  }
  return backup.release();
}

// NAME.old may be one that others may write in (a volume's, whose root
// others may write): it is closed to them, root's and owner-only with no
// ACL, before the undo relies on it, its own owner, mode, times and
// attributes held in the work directory.
bool close_backup(Target* target, std::size_t index) {
  const char* path = path_beside(*target, target->backup);
  Descriptor backup(open_backup(*target, target->is_directory ? DIRECTORY_FLAGS : READ_FLAGS));
  Descriptor holder(backup.is_open() ? open_holder(target, true) : -1);
  bool closed = holder.is_open() && keep_attributes(backup.get(), holder.get(), path) &&
                fsync(holder.get()) == 0;
  target->closed = closed;
  LogLine line = target_line("closed", index);
  closed = closed && append_record(line) && make_durable();
  for (const char* acl : {"system.posix_acl_access", "system.posix_acl_default"}) {
    closed = closed && (fremovexattr(backup.get(), acl) == 0 || errno == ENODATA ||
                        errno == ENOTSUP || errno == EINVAL);
  }
  closed = closed && fchown(backup.get(), geteuid(), getegid()) == 0 &&
           fchmod(backup.get(), target->is_directory ? 0700 : 0600) == 0 &&
           fsync(backup.get()) == 0;
  if (!closed) std::printf("Unable to put back %s. %s.\n\n", path, failure_reason(errno));
  return closed;
}

// Gives the entry at name (NAME.old, or NAME once it is back) what the
// holder keeps.
bool give_held(Target* target, const char* name) {
  if (!target->closed) return true;
  Descriptor holder(open_holder(target, false));
  Descriptor entry(
      openat(target->parent.get(), name, target->is_directory ? DIRECTORY_FLAGS : READ_FLAGS));
  const char* path = path_beside(*target, name);
  if (holder.is_open() && entry.is_open() && keep_attributes(holder.get(), entry.get(), path) &&
      fsync(entry.get()) == 0) {
    return true;
  }
  std::printf("Unable to put back %s. %s.\n\n", path, failure_reason(errno));
  return false;
}

bool abandon(Target* targets, std::size_t count) {
  bool removed = true;
  for (std::size_t i = count; i-- > 0;) {
    Target& target = targets[i];
    Identity found;
    if (target.replaces && examine(target.parent.get(), target.backup, nullptr, &found) &&
        same_identity(found, target.kept_identity)) {
      removed = give_held(&target, target.backup) && removed;
    }
    for (int role : {KEPT, COPY, STAGED}) removed = remove_made(&target, role) && removed;
  }
  return removed && log_forget();
}

// Brings the target to what the undo makes of it, or back to what the
// installation left.
bool drive(Target* target, bool forward) {
  Descriptor work(open_made(target, STAGED, DIRECTORY_FLAGS));
  if (!target->in_place) {
    const Step step{{target->parent.get(), target->backup, path_beside(*target, target->backup)},
                    {target->parent.get(), target->name, target->path},
                    {work.get(), "o", path_beside(*target, target->made[STAGED].name)},
                    target->replaces ? target->kept_identity : target->old_identity,
                    target->replaces ? target->old_identity : Identity{},
                    true,
                    TOLD_AS_SWAP};
    if (!target->replaces) {
      // What the installation made where nothing stood goes, and only that.
      const Step gone{step.at, step.to, step.at, target->old_identity, {}, false, TOLD_AS_SWAP};
      return work.is_open() && take_step(gone, forward) == STEP_DONE;
    }
    if (!work.is_open() || take_step(step, forward) != STEP_DONE) return false;
    return !forward || give_held(target, target->name);
  }
  if (!target->is_directory) {
    Descriptor source(open_made(target, forward ? COPY : KEPT, READ_FLAGS));
    Descriptor live(openat(target->parent.get(), target->name,
                           O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    Identity found;
    const int written = live.is_open() ? dup(live.get()) : -1;
    if (source.is_open() && live.is_open() && examine(live.get(), "", nullptr, &found) &&
        same_identity(found, target->old_identity) && ftruncate(live.get(), 0) == 0 &&
        keep_file(source.get(), target->backup, written, target->path) && fsync(live.get()) == 0 &&
        (!forward || give_held(target, target->name))) {
      return true;
    }
    if (written >= 0 && !source.is_open()) close(written);
    std::printf("Unable to put back %s. %s.\n\n", target->path, failure_reason(errno));
    return false;
  }
  Descriptor copy(open_made(target, COPY, DIRECTORY_FLAGS));
  Descriptor live(target->inside.is_open()
                      ? fcntl(target->inside.get(), F_DUPFD_CLOEXEC, 0)
                      : openat(target->parent.get(), target->name, DIRECTORY_FLAGS));
  const bool whole = copy.is_open() && live.is_open() &&
                     run_plans(target, live.get(), copy.get(), -1, false, forward, false) &&
                     syncfs(live.get()) == 0;
  if (!whole && (!copy.is_open() || !live.is_open())) {
    std::printf("Unable to put back %s. %s.\n\n", target->path, failure_reason(errno));
  }
  return whole;
}

bool drive_all(Target* targets, std::size_t count, bool forward) {
  bool driven = true;
  for (std::size_t n = 0; n < count && (driven || !forward); ++n) {
    Target& target = targets[forward ? count - 1 - n : n];  // last first, as the swap went
    if (!drive(&target, forward)) {
      if (forward) {
        std::printf("Unable to put back %s as it was before the installation.\n\n", target.path);
      }
      driven = false;
    }
  }
  return driven;
}

// Once every target is back and durable: NAME.old of a target put back in
// place goes, with what the undo made, then the receipt and the record.
bool finish(Target* targets, std::size_t count) {
  bool finished = true;
  for (std::size_t i = 0; i < count; ++i) {
    Target& target = targets[i];
    Identity found;
    if (target.in_place && target.replaces &&
        examine(target.parent.get(), target.backup, nullptr, &found) &&
        same_identity(found, target.kept_identity) &&
        !remove_tree(target.parent.get(), target.backup)) {
      std::printf("Unable to remove %s. %s.\n\n", path_beside(target, target.backup),
                  std::strerror(errno));
      finished = false;
    }
    for (int role : {KEPT, COPY, STAGED}) finished = remove_made(&target, role) && finished;
  }
  if (finished && (!sync_parents(targets, count) || !remove_receipt())) {
    std::printf("Unable to remove %s. %s.\n\n", RECEIPT_PATH, std::strerror(errno));
    finished = false;
  }
  if (finished && !log_forget()) {
    std::printf("Unable to remove %s. %s.\n\n", RECORD_PATH, std::strerror(errno));
    finished = false;
  }
  return finished;
}

// Makes the undo's copy of NAME.old of a target put back in place, its
// copy of the installed file, and the plans that put it back.
bool stage_in_place(Target* target, std::size_t index, const Target& receipt) {
  const char* backup_path = path_beside(*target, target->backup);
  Descriptor backup(open_backup(*target, target->is_directory ? DIRECTORY_FLAGS : READ_FLAGS));
  Descriptor copy(backup.is_open()
                      ? make_entry(target, index, COPY, target->mount && target->is_directory,
                                   target->is_directory)
                      : -1);
  if (!copy.is_open()) {
    std::printf("Unable to put back %s. %s.\n\n", backup_path, failure_reason(errno));
    return false;
  }
  if (!target->is_directory) {
    Descriptor kept(make_entry(target, index, KEPT, false, false));
    Descriptor live(openat(target->parent.get(), target->name, READ_FLAGS));
    return kept.is_open() && live.is_open() &&
           keep_file(backup.get(), backup_path, copy.release(),
                     path_beside(*target, target->made[COPY].name)) &&
           keep_file(live.get(), target->path, kept.release(),
                     path_beside(*target, target->made[KEPT].name));
  }
  if (keep_tree(backup.get(), backup_path, copy.get(), target->path, -1, nullptr) != 0) {
    return false;
  }
  Descriptor live(target->inside.is_open()
                      ? fcntl(target->inside.get(), F_DUPFD_CLOEXEC, 0)
                      : openat(target->parent.get(), target->name, DIRECTORY_FLAGS));
  // Once what the undo made inside the target is gone, the target has the
  // times the installation found it with.
  LogFields first;
  off_t at = receipt.plans[1][0];
  if (!live.is_open() || !log_next(true, &at, &first) || first.count < 4) {
    std::printf("Unable to put back %s. %s.\n\n", target->path, failure_reason(errno));
    return false;
  }
  target->inside_times = first.attributes(3);
  LogLine times = target_line("times", index);
  add_attributes(&times, target->inside_times);
  return append_record(times) &&
         plan_undo(static_cast<int>(index), live.get(), copy.get(), receipt.plans, target->path,
                   &target->slot, target->plans) &&
         make_durable();
}

}  // namespace

int undo_installation() {
  const char* kind = "";
  const int found = log_open(true, &kind);
  if (found == LOG_NONE) {
    std::printf("There is no installation to undo: %s does not exist.\n\n", RECEIPT_PATH);
    return UNDO_NOTHING;
  }
  std::size_t count = 0;
  int phase = PHASE_STAGE;
  bool committed = false;
  if (found == LOG_UNREADABLE ||
      !read_targets(true, installed.data(), installed_paths, &count, &phase, &committed) ||
      !committed || std::strcmp(kind, "install") != 0) {
    if (found != LOG_UNREADABLE) errno = EBADMSG;
    report_unusable(RECEIPT_PATH, "receipt");
    return UNDO_REFUSED;
  }
  bool as_installed = true;
  for (std::size_t i = 0; i < count; ++i) {
    Target& target = undone[i];
    const Target& receipt = installed[i];
    target.path = receipt.path;
    target.is_directory = receipt.is_directory;
    target.replaces = receipt.replaces;
    target.mount = receipt.mount;
    target.in_place = receipt.in_place;
    target.parent_identity = receipt.parent_identity;
    target.old_identity = receipt.installed_identity;
    target.kept_identity = receipt.kept_identity;
    target.installed_digest = receipt.installed_digest;
    target.kept_digest = receipt.kept_digest;
    if (!open_parent(&target)) {
      report_changed(target, false);
      as_installed = false;
      continue;
    }
    as_installed = unchanged(target, false) && as_installed;
  }
  if (!as_installed) return UNDO_REFUSED;
  if (!log_start("undo")) {
    std::printf("Unable to write %s. %s.\n\n", RECORD_PATH, std::strerror(errno));
    return UNDO_REFUSED;
  }
  bool staged = true;
  for (std::size_t i = 0; staged && i < count; ++i) {
    Target& target = undone[i];
    LogLine line = target_line("target", i);
    add_word(&line, target.is_directory ? "directory" : "file");
    add_string(&line, target.path);
    add_number(&line, target.replaces ? 1 : 0);
    add_number(&line, target.in_place ? 1 : 0);
    add_identity(&line, target.parent_identity);
    add_identity(&line, target.old_identity);
    add_identity(&line, target.kept_identity);
    LogLine digest = target_line("digest", i);
    add_identity(&digest, target.old_identity);
    add_hex(&digest, target.installed_digest);
    add_identity(&digest, target.kept_identity);
    add_hex(&digest, target.kept_digest);
    staged = append_record(line) && append_record(digest);
    if (staged && target.mount && target.is_directory) {
      target.inside.reset(openat(target.parent.get(), target.name, DIRECTORY_FLAGS));
    }
    Descriptor work(staged ? make_entry(&target, i, STAGED, false, true) : -1);
    staged = work.is_open() && (!target.replaces || close_backup(&target, i));
    if (!work.is_open() && staged) {
      std::printf("Unable to put back %s. %s.\n\n", target.path, failure_reason(errno));
    }
  }
  // Closed, NAME.old is checked again: what another user changed there
  // just before is found now.
  for (std::size_t i = 0; staged && i < count; ++i) staged = unchanged(undone[i], true);
  for (std::size_t i = 0; staged && i < count; ++i) {
    if (undone[i].in_place && undone[i].replaces) {
      staged = stage_in_place(&undone[i], i, installed[i]);
    }
  }
  staged = staged && sync_file_systems(undone.data(), count) && record_phase(PHASE_SWAP);
  if (!staged) {
    abandon(undone.data(), count);
    std::printf("Undo failed.\n\n");
    return UNDO_REFUSED;
  }
  bool done = drive_all(undone.data(), count, true);
  if (done && !sync_parents(undone.data(), count)) {
    std::printf("Unable to write the product's directories to stable storage. %s.\n\n",
                std::strerror(errno));
    done = false;
  }
  if (!done) {
    if (record_phase(PHASE_BACK) && drive_all(undone.data(), count, false) &&
        abandon(undone.data(), count)) {
      std::printf("Undo failed.\n\n");
      return UNDO_REFUSED;
    }
    std::printf("Unable to undo everything: run langext-undo again to finish that.\n\n");
    return UNDO_UNFINISHED;
  }
  if (!record_phase(PHASE_DONE) || !finish(undone.data(), count)) {
    std::printf("Unable to undo everything: run langext-undo again to finish that.\n\n");
    return UNDO_UNFINISHED;
  }
  for (std::size_t i = 0; i < count; ++i) {
    std::printf(undone[i].replaces ? "Put back %s as it was before the installation.\n\n"
                                   : "Removed %s, which the installation had made.\n\n",
                undone[i].path);
  }
  return UNDONE;
}

int repair_undo(Target* targets, std::size_t count, int phase) {
  bool repaired = true;
  if (phase == PHASE_SWAP) {
    // What the undo relies on is checked again: NAME.old, closed since, and
    // the installed target where nothing of it has moved yet.
    for (std::size_t i = 0; i < count; ++i) {
      Identity found;
      Target& target = targets[i];
      if (target.replaces && examine(target.parent.get(), target.backup, nullptr, &found) &&
          same_identity(found, target.kept_identity)) {
        repaired = unchanged(target, target.in_place) && repaired;
      }
    }
    repaired = repaired && drive_all(targets, count, true) && sync_parents(targets, count) &&
               record_phase(PHASE_DONE);
  } else if (phase == PHASE_BACK) {
    repaired = drive_all(targets, count, false);
  }
  if (repaired && (phase == PHASE_SWAP || phase == PHASE_DONE) && finish(targets, count)) {
    std::printf("Finished the undo that was interrupted.\n\n");
    return REPAIR_REVERTED;
  }
  if (repaired && phase != PHASE_SWAP && phase != PHASE_DONE && abandon(targets, count)) {
    std::printf(phase == PHASE_STAGE
                    ? "Removed what an interrupted installation had staged.\n\n"
                    : "Put back what an interrupted installation had changed.\n\n");
    return REPAIR_CLEANED;
  }
  std::printf("Unable to undo everything: run langext-undo again to finish that.\n\n");
  return REPAIR_REFUSED;
}
