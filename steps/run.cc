// The installation, its undo and the repair of either after a kill: each
// logs its targets, makes what it needs beside them, then drives every
// target to its goal with the one function that puts it back as well.
#include "steps/run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "fs/copy.h"
#include "fs/keep.h"
#include "fs/walk.h"
#include "steps/digest.h"
#include "steps/plan.h"
#include "steps/step.h"

namespace {

// A killed run's targets, read back; the receipt's, and the undo's own.
std::array<Target, TARGETS_LIMIT> recorded;
char recorded_paths[TARGETS_LIMIT][PATH_BUFFER_SIZE];
std::array<Target, TARGETS_LIMIT> installed;
char installed_paths[TARGETS_LIMIT][PATH_BUFFER_SIZE];
std::array<Target, TARGETS_LIMIT> undone;

bool report_failure(const char* format, const char* path) {
  std::printf(format, path, std::strerror(errno));
  return false;
}

bool log_target(const Target& target, std::size_t index) {
  LogLine line = target_line("target", index);
  add_word(&line, target.is_directory ? "directory" : "file");
  add_string(&line, target.path);
  add_number(&line, target.replaces ? 1 : 0);
  add_number(&line, target.mount ? 1 : 0);
  add_identity(&line, target.parent_identity);
  add_identity(&line, target.old_identity);
  add_identity(&line, target.kept_identity);
  return append_record(line) &&
         (!target.in_place || target.mount || append_record(target_line("inplace", index)));
}

// What the installation left at NAME and at NAME.old, for its undo.
bool log_digest(const Target& target, std::size_t index) {
  LogLine line = target_line("digest", index);
  add_identity(&line, target.installed_identity);
  add_hex(&line, target.installed_digest);
  add_identity(&line, target.kept_identity);
  add_hex(&line, target.kept_digest);
  add_hex(&line, target.digest_key.half[0]);
  add_hex(&line, target.digest_key.half[1]);
  return append_record(line);
}

// Drives every target to its goal, or back. The undo goes last first, as
// the installation's swaps went; a put-back goes the other way, on past a
// target it cannot wholly put back, and so does the repair of an
// installation.
bool drive_all(Target* targets, std::size_t count, bool forward) {
  const bool undoing = count > 0 && targets[0].undoing;
  bool driven = true;
  for (std::size_t n = 0; n < count && (driven || !forward || (repairing && !undoing)); ++n) {
    const std::size_t i = forward != undoing ? n : count - 1 - n;
    if (drive(&targets[i], i, forward)) continue;
    driven = false;
    if (forward && undoing) {
      std::printf("Unable to put back %s as it was before the installation.\n\n", targets[i].path);
    } else if (forward && repairing) {
      std::printf(
          "Unable to finish installing %s. Put back what was moved and run the installer again, "
          "or give %s the new contents and %s.old the old ones by hand and remove %s.\n\n",
          targets[i].path, targets[i].path, targets[i].path, RECORD_PATH);
    }
  }
  return driven && (!forward || sync_targets(targets, count, false) ||
                    report_failure("Unable to write the %s directories to stable storage. %s.\n\n",
                                   repairing ? "repaired" : "product's"));
}

// Removes what was made for each target, and then the record where asked;
// undoing, NAME.old first gets back what it was closed with. The record
// stays while anything made does.
bool abandon(Target* targets, std::size_t count, bool forget = true) {
  bool removed = true;
  for (std::size_t i = count; i-- > 0;) {
    Target& target = targets[i];
    if (target.undoing && target.replaces &&
        holds_entry(target.parent.get(), target.backup, target.kept_identity)) {
      removed = give_held(&target, target.backup, target.kept_identity) && removed;
    }
    for (int role : {KEPT, COPY, STAGED}) removed = remove_made(&target, role) && removed;
  }
  return removed &&
         (!forget || log_forget() || report_failure("Unable to remove %s. %s.\n\n", RECORD_PATH));
}

// Once every target is installed and durable: the digests, then NAME.old of
// a directory installed in place gets the old directory's own attributes,
// which it held back while the run relied on what it holds; what was made
// goes, and the record becomes the receipt.
bool finish_installation(Target* targets, std::size_t count) {
  bool finished = true;
  // A killed run's list holds the trees it digested; another's, none of
  // this one's.
  Stream stream(open_listing(true, std::none_of(targets, targets + count, [](const Target& target) {
                               return target.digested;
                             })));
  Listing listing{stream.get(), 0};
  Listing* listed = stream ? &listing : nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    Target& target = targets[i];
    const int parent = target.parent.get();
    const Identity* left_out = target.made[STAGED].inside ? &target.made[STAGED].identity : nullptr;
    if (target.digested) continue;
    const DigestKey& key = target.digest_key;
    const bool digested =
        draw_digest_key(&target.digest_key) &&
        examine(parent, target.name, nullptr, &target.installed_identity) &&
        listed_digest(listed, parent, target.name, left_out, i, 0, key, &target.installed_digest) &&
        (!target.replaces ||
         (examine(parent, target.backup, nullptr, &target.kept_identity) &&
          listed_digest(listed, parent, target.backup, nullptr, i, 1, key, &target.kept_digest)));
    if (!digested) report_failure("Unable to write %s. %s.\n\n", RECEIPT_PATH);
    finished = digested && log_digest(target, i) && finished;
  }
  stream.reset();
  if (!finished || !make_durable()) return false;
  bool gave = false;
  for (std::size_t i = 0; i < count; ++i) {
    Target& target = targets[i];
    if (!target.in_place || !target.is_directory || target.given) continue;
    Descriptor holder(open_holder(&target, STAGED, false));
    // Not found before the log says it was given, it was hidden (another
    // user may rename the staged tree in turn); a killed run of the
    // release before this one gave it, and said nothing.
    if (!holder.is_open() && errno == ENOENT && !log_marks_whole()) continue;
    const bool given =
        holder.is_open() && give(target, holder.get(), target.backup, target.made[COPY].identity);
    if (!given) report_unable(target.path, false);
    finished = given && append_record(target_line("given", i)) && finished;
    gave = gave || given;
  }
  LogLine commit;
  add_word(&commit, "commit");
  return finished && (!gave || make_durable()) && abandon(targets, count, false) &&
         append_record(commit) &&
         (log_to_receipt() || report_failure("Unable to write %s. %s.\n\n", RECEIPT_PATH));
}

// Once every target is back and durable: NAME.old of a target put back in
// place goes, with what the undo made, then the receipt and the record.
bool finish_undo(Target* targets, std::size_t count) {
  bool finished = true;
  for (std::size_t i = 0; i < count; ++i) {
    Target& target = targets[i];
    if (target.in_place && target.replaces &&
        holds_entry(target.parent.get(), target.backup, target.kept_identity) &&
        !remove_tree(target.parent.get(), target.backup, &target.kept_identity)) {
      report_failure("Unable to remove %s. %s.\n\n", path_beside(target, target.backup));
      finished = false;
    }
    for (int role : {KEPT, COPY, STAGED}) finished = remove_made(&target, role) && finished;
  }
  return finished &&
         ((sync_targets(targets, count, false) && remove_receipt()) ||
          report_failure("Unable to remove %s. %s.\n\n", RECEIPT_PATH)) &&
         (log_forget() || report_failure("Unable to remove %s. %s.\n\n", RECORD_PATH));
}

// Opens each target's directory, which must be the one the run used, and
// the target itself where the run made something inside it.
bool reopen(Target* targets, std::size_t count) {
  bool present = true;
  for (std::size_t i = 0; i < count; ++i) {
    Target& target = targets[i];
    if (!open_parent(&target)) {
      if (errno == ESTALE) {
        report_left_alone(target.path);
      } else if (errno != ENOENT) {
        report_failure("Unable to examine %s. %s.\n\n", target.path);
      }
      present = present && (errno == ENOENT);
      continue;
    }
    // A target installed in place is the volume, or the mounted file,
    // itself: where another entry stands at its name now (it is not
    // mounted), nothing may be done until it is back.
    if (target.in_place && target.replaces &&
        !holds_entry(target.parent.get(), target.name, target.old_identity)) {
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

// Whether any entry that the record names by its identity is still there.
bool anything_recorded_exists(std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    Target& target = recorded[i];
    const int parent = target.parent.get();
    const auto beside = [&](const Identity& identity) {
      return holds_entry(parent, target.name, identity) ||
             holds_entry(parent, target.backup, identity);
    };
    if (beside(target.old_identity) || beside(target.kept_identity)) return true;
    for (const Made& made : target.made) {
      const int where = made.inside ? target.inside.get() : parent;
      if (!made.made && made.named && where >= 0 &&
          faccessat(where, made.name, F_OK, AT_SYMLINK_NOFOLLOW) == 0) {
        return true;
      }
      const std::array<const char*, 3> names{made.name, target.name, target.backup};
      if (std::any_of(names.begin(), names.end(), [&](const char* name) {
            return holds_entry(where, name, made.identity) ||
                   holds_entry(parent, name, made.identity);
          })) {
        return true;
      }
    }
  }
  return false;
}

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
  const bool examined = examine(target.parent.get(), name, nullptr, &found);
  if (examined && !same_identity(found, identity)) return 0;
  if (examined && tree_digest(target.parent.get(), name, nullptr, name == target.name,
                              target.digest_key, &now, path_beside(target, name))) {
    return now == digest ? 1 : 0;
  }
  if (errno == ENOENT || (examined && errno == ESTALE)) return 0;
  report_failure("Unable to examine %s. %s.\n\n", path_beside(target, name));
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

// NAME.old may be one that others may write in (a volume's, whose root
// others may write): it is closed to them, root's and owner-only with no
// ACL, before the undo relies on it, its own owner, mode, times and
// attributes held in the work directory.
bool close_backup(Target* target, std::size_t index) {
  const char* path = path_beside(*target, target->backup);
  Descriptor backup(open_backup(*target));
  Descriptor holder(backup.is_open() ? open_holder(target, COPY, true) : -1);
  bool closed = holder.is_open() && keep_attributes(backup.get(), holder.get(), path) &&
                fsync(holder.get()) == 0;
  target->closed = closed;
  closed = closed && append_record(target_line("closed", index)) && make_durable();
  for (const char* acl : {"system.posix_acl_access", "system.posix_acl_default"}) {
    closed = closed && (fremovexattr(backup.get(), acl) == 0 || errno == ENODATA ||
                        errno == ENOTSUP || errno == EINVAL);
  }
  closed = closed && fchown(backup.get(), geteuid(), getegid()) == 0 &&
           fchmod(backup.get(), target->is_directory ? 0700 : 0600) == 0 &&
           fsync(backup.get()) == 0;
  if (!closed) report_unable(path, true);
  return closed;
}

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
  const bool undoing = std::strcmp(kind, "undo") == 0;
  for (std::size_t i = 0; i < count; ++i) recorded[i].undoing = undoing;
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
  bool repaired = true;
  if (phase == PHASE_SWAP) {
    // What the undo relies on is checked again: NAME.old, closed since, and
    // the installed target where nothing of it has moved yet.
    for (std::size_t i = 0; undoing && i < count; ++i) {
      Target& target = recorded[i];
      if (target.replaces &&
          holds_entry(target.parent.get(), target.backup, target.kept_identity)) {
        repaired = unchanged(target, target.in_place) && repaired;
      }
    }
    repaired = repaired && drive_all(recorded.data(), count, true) && record_phase(PHASE_DONE);
  } else if (phase == PHASE_BACK) {
    repaired = drive_all(recorded.data(), count, false);
    if (!repaired && !undoing) {
      std::printf("Unable to put everything back: run the installer again to finish that.\n\n");
    }
  }
  const bool done = phase == PHASE_SWAP || phase == PHASE_DONE;
  if (repaired && done) {
    repaired = undoing     ? finish_undo(recorded.data(), count)
               : committed ? log_to_receipt()
                           : finish_installation(recorded.data(), count);
  } else if (repaired) {
    repaired = abandon(recorded.data(), count);
  }
  if (!repaired && undoing) {
    std::printf("Unable to undo everything: run langext-undo again to finish that.\n\n");
  }
  if (!repaired) return REPAIR_REFUSED;
  if (done) {
    std::printf("Finished the %s that was interrupted.\n\n", undoing ? "undo" : "installation");
    history(undoing ? "finished the undo that was interrupted"
                    : "finished the installation that was interrupted");
    return undoing ? REPAIR_REVERTED : REPAIR_COMPLETED;
  }
  std::printf(phase == PHASE_STAGE ? "Removed what an interrupted installation had staged.\n\n"
                                   : "Put back what an interrupted installation had changed.\n\n");
  history(phase == PHASE_STAGE ? "removed what an interrupted installation had staged"
                               : "put back what an interrupted installation had changed");
  return REPAIR_CLEANED;
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
      report_copy_failure(target.source, target.path);
      ++failures;
    }
  }
  bool logged = log_start("install") || report_failure("Unable to write %s. %s.\n\n", RECORD_PATH);
  for (std::size_t i = 0; logged && i < count; ++i) logged = log_target(targets[i], i);
  if (!logged) return STAGE_RECORD_FAILED;
  for (std::size_t i = 0; i < count; ++i) {
    Target& target = targets[i];
    if (!prepared[i]) continue;
    target.staged.reset(
        make_entry(&target, i, STAGED, target.mount && target.is_directory, target.is_directory));
    if (!target.staged.is_open()) {
      report_copy_failure(target.source, target.path);
      ++failures;
    }
  }
  return make_durable() ? failures : STAGE_RECORD_FAILED;
}

int stage_commit(Target* targets, std::size_t count) {
  // Another user may have put something else at a staging name.
  for (std::size_t i = 0; i < count; ++i) {
    const Made& staged = targets[i].made[STAGED];
    if (!holds_entry(staged.inside ? targets[i].inside.get() : targets[i].parent.get(), staged.name,
                     staged.identity)) {
      report_copy_failure(targets[i].source, targets[i].path);
      stage_abandon(targets, count);
      return COMMIT_FAILED;
    }
  }
  if (!sync_targets(targets, count, true)) {
    const int error = errno;
    for (std::size_t i = 0; i < count; ++i) {
      errno = error;
      report_copy_failure(targets[i].source, targets[i].path);
    }
    stage_abandon(targets, count);
    return COMMIT_FAILED;
  }
  const bool begun = record_phase(PHASE_SWAP);
  if (!begun || !drive_all(targets, count, true)) {
    // What could not be put back stays with the record, for the next run
    // to finish putting it back.
    if (begun && (!record_phase(PHASE_BACK) || !drive_all(targets, count, false))) {
      std::printf("Unable to put everything back: run the installer again to finish that.\n\n");
      return COMMIT_UNFINISHED;
    }
    stage_abandon(targets, count);
    return COMMIT_FAILED;
  }
  // The record stays, for the next run to finish, while anything made
  // stays.
  if (!record_phase(PHASE_DONE) || !finish_installation(targets, count)) {
    std::printf("Unable to finish the installation: run the installer again to finish that.\n\n");
  }
  return COMMITTED;
}

void stage_abandon(Target* targets, std::size_t count) { abandon(targets, count); }

int repair_interrupted_run() {
  repairing = true;
  const int repaired = repair();
  repairing = false;
  return repaired;
}

int undo_installation() {
  std::size_t count = 0;
  const int read = read_receipt(installed.data(), installed_paths, &count);
  if (read != RECEIPT_READ) return read == RECEIPT_NONE ? UNDO_NOTHING : UNDO_REFUSED;
  bool as_installed = true;
  for (std::size_t i = 0; i < count; ++i) {
    Target& target = undone[i];
    const Target& receipt = installed[i];
    target.path = receipt.path;
    target.is_directory = receipt.is_directory;
    target.replaces = receipt.replaces;
    target.undoing = true;
    target.mount = receipt.mount;
    target.in_place = receipt.in_place;
    target.parent_identity = receipt.parent_identity;
    target.old_identity = target.installed_identity = receipt.installed_identity;
    target.kept_identity = receipt.kept_identity;
    target.installed_digest = receipt.installed_digest;
    target.kept_digest = receipt.kept_digest;
    target.digest_key = receipt.digest_key;
    const bool opened = open_parent(&target);
    if (!opened) report_changed(target, false);
    as_installed = opened && unchanged(target, false) && as_installed;
  }
  if (!as_installed) {
    std::printf("Run langext-undo --check to see what changed.\n\n");
    return UNDO_REFUSED;
  }
  bool staged = log_start("undo") || report_failure("Unable to write %s. %s.\n\n", RECORD_PATH);
  if (!staged) return UNDO_REFUSED;
  for (std::size_t i = 0; staged && i < count; ++i) {
    Target& target = undone[i];
    staged = log_target(target, i) && log_digest(target, i);
    if (staged && target.mount && target.is_directory) {
      target.inside.reset(openat(target.parent.get(), target.name, DIRECTORY_FLAGS));
    }
    Descriptor work(staged ? make_entry(&target, i, COPY, false, true) : -1);
    if (staged && !work.is_open()) report_unable(target.path, true);
    staged = work.is_open() && (!target.replaces || close_backup(&target, i));
  }
  // Closed, NAME.old is checked again: what another user changed there
  // just before is found now.
  for (std::size_t i = 0; staged && i < count; ++i) staged = unchanged(undone[i], true);
  for (std::size_t i = 0; staged && i < count; ++i) {
    staged = !undone[i].in_place || !undone[i].replaces ||
             stage_undo_in_place(&undone[i], i, installed[i]);
  }
  staged = staged && sync_targets(undone.data(), count, true) && record_phase(PHASE_SWAP);
  const bool driven = staged && drive_all(undone.data(), count, true);
  // Where a step failed, what was done is put back, and what was made goes.
  if (!driven &&
      (!staged || (record_phase(PHASE_BACK) && drive_all(undone.data(), count, false))) &&
      (abandon(undone.data(), count) || !staged)) {
    std::printf("Undo failed.\n\n");
    return UNDO_REFUSED;
  }
  if (!driven || !record_phase(PHASE_DONE) || !finish_undo(undone.data(), count)) {
    std::printf("Unable to undo everything: run langext-undo again to finish that.\n\n");
    history("undo unfinished; the next run of either program finishes it");
    return UNDO_UNFINISHED;
  }
  for (std::size_t i = 0; i < count; ++i) {
    std::printf(undone[i].replaces ? "Put back %s as it was before the installation.\n\n"
                                   : "Removed %s, which the installation had made.\n\n",
                undone[i].path);
    history(undone[i].replaces ? "put back from its .old:" : "removed, made by the installation:",
            undone[i].path);
  }
  return UNDONE;
}
