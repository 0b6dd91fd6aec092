#include "undo/undo.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "copy/copy.h"
#include "installer/installer.h"
#include "stage/in_place.h"
#include "stage/receipt.h"
#include "stage/record.h"
#include "stage/repair.h"
#include "stage/staging.h"

namespace {

constexpr int STAGING_ATTEMPTS = 100;
constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// At namespace scope, as the installer's are: no guard, no runtime library.
std::array<StagedTarget, RECORD_TARGETS> targets;
char target_paths[RECORD_TARGETS][PATH_BUFFER_SIZE];

// Whether the entry name beside the target is the one the receipt knows,
// as the installation left it: 1 if so, 0 if not, -1 (reported) where it
// cannot be told.
int as_left(const StagedTarget& target, const char* name, EntryIdentity identity,
            std::uint64_t digest, const struct stat* top = nullptr) {
  EntryIdentity found;
  std::uint64_t now = 0;
  if (!identity_at(target.parent.get(), name, &found)) {
    if (errno == ENOENT) return 0;
    report_unexaminable(path_beside(target, name));
    return -1;
  }
  if (!same_identity(found, identity)) return 0;
  if (tree_digest(target.parent.get(), name, &now, top)) return now == digest ? 1 : 0;
  if (errno == ENOENT || errno == ESTALE) return 0;
  report_unexaminable(path_beside(target, name));
  return -1;
}

// Whether what the installation left at the target's name, and at
// NAME.old, is there as it left it; names what is not.
bool unchanged_since_installation(StagedTarget* target) {
  if (!open_target_parent(target)) {
    if (errno != ENOENT && errno != ESTALE) {
      report_unexaminable(target->path);
      return false;
    }
    std::printf("Unable to undo: %s was changed since the installation.\n\n", target->path);
    return false;
  }
  const int installed =
      as_left(*target, target->name, target->staged_identity, target->installed_digest);
  if (installed == 0) {
    std::printf("Unable to undo: %s was changed since the installation.\n\n", target->path);
  }
  const int kept = !target->replaces ? 1
                                     : as_left(*target, target->backup, target->old_identity,
                                               target->kept_digest);
  if (kept == 0) {
    std::printf("Unable to undo: %s.old is not what the installation left there.\n\n",
                target->path);
  }
  return installed == 1 && kept == 1;
}

// The receipt names what the installation left at NAME as staged_identity
// and at NAME.old as old_identity: as the record of a put-back names a
// target swapped whole. One installed in place is the target itself, and
// NAME.old the copy of its old contents.
void ready_to_put_back(StagedTarget* target) {
  target->reverting = true;
  if (!target->in_place) return;
  const EntryIdentity kept = target->old_identity;
  target->old_identity = target->staged_identity;
  target->copy_identity = kept;
  target->staged_identity = {};
}

bool stages_in_place(const StagedTarget& target) { return target.in_place && target.is_directory; }

void report_unstaged(const StagedTarget& target) {
  std::printf("Unable to put back %s. %s.\n\n", staging_path(target), failure_reason(errno));
}

// Makes the staging directory of each directory installed in place, where
// its old contents are built and moved in from, each named in the record
// before it is made, and journals what the installation made in it.
bool stage_directories(std::size_t count) {
  if (std::none_of(targets.begin(), targets.begin() + static_cast<std::ptrdiff_t>(count),
                   stages_in_place)) {
    return true;
  }
  for (std::size_t i = 0; i < count; ++i) {
    StagedTarget& target = targets[i];
    if (!stages_in_place(target)) continue;
    // A mount point is staged in, on its own file system.
    target.staged_inside = is_mount_point(target);
    if (target.staged_inside) {
      target.inside.reset(openat(target.parent.get(), target.name, DIRECTORY_FLAGS));
      if (!target.inside.is_open()) {
        report_unexaminable(target.path);
        return false;
      }
    }
    choose_staging_name(&target);
  }
  if (!keep_record(PHASE_STAGING, targets.data(), count)) return false;
  for (std::size_t i = 0; i < count; ++i) {
    StagedTarget& target = targets[i];
    for (int attempt = 1; stages_in_place(target) && !create_staged(&target); ++attempt) {
      if (errno != EEXIST || attempt == STAGING_ATTEMPTS) {
        report_unstaged(target);
        return false;
      }
      choose_staging_name(&target);
      if (!keep_record(PHASE_STAGING, targets.data(), count)) return false;
    }
  }
  if (!keep_record(PHASE_STAGING, targets.data(), count)) return false;
  for (std::size_t i = 0; i < count; ++i) {
    if (stages_in_place(targets[i]) && !journal_installed_tree(&targets[i])) return false;
  }
  return true;
}

// NAME.old of each directory put back in place has had the old directory's
// own owner and mode since the installation: where others may write in it,
// they could rename what it holds while the put-back relies on it. So it is
// closed to them first, and then found again as the installation left it.
bool close_kept_copies(std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    StagedTarget& target = targets[i];
    if (!stages_in_place(target) || !target.replaces) continue;
    struct stat held {};
    if (!close_copy(&target, &held)) return false;
    const int kept =
        as_left(target, target.backup, target.copy_identity, target.kept_digest, &held);
    if (kept == 0) {
      std::printf("Unable to undo: %s.old is not what the installation left there.\n\n",
                  target.path);
    }
    if (kept != 1) return false;
  }
  return true;
}

// Removes what stage_directories made, then the record; the record stays
// while anything staged does. A NAME.old closed to others is opened again.
void abandon(std::size_t count) {
  bool removed = true;
  for (std::size_t i = 0; i < count; ++i) {
    if (!stages_in_place(targets[i])) continue;
    if (targets[i].replaces) removed = reopen_copy(&targets[i]) && removed;
    removed = remove_staged(&targets[i]) && removed;
  }
  if (removed) forget_record();
}

void report_unusable_receipt() {
  if (errno == EBADMSG) {
    std::printf("Unable to use %s: it is not a receipt this program wrote.\n\n", RECEIPT_PATH);
  } else {
    std::printf("Unable to read %s. %s.\n\n", RECEIPT_PATH, std::strerror(errno));
  }
}

int undo_locked() {
  switch (repair_interrupted_run()) {
    case REPAIR_REFUSED:
      return EXIT_REFUSED;
    case REPAIR_REVERTED:
      std::printf("Undo completed!\n\n");
      return EXIT_UNDONE;
    default:  // an installation the repair completed is the last one now
      break;
  }
  std::size_t count = 0;
  switch (read_receipt(targets.data(), target_paths, &count)) {
    case RECORD_FOUND:
      break;
    case RECORD_NONE:
      std::printf("There is no installation to undo: %s does not exist.\n\n", RECEIPT_PATH);
      return EXIT_REFUSED;
    default:
      report_unusable_receipt();
      return EXIT_REFUSED;
  }
  bool unchanged = true;
  for (std::size_t i = 0; i < count; ++i) {
    unchanged = unchanged_since_installation(&targets[i]) && unchanged;
  }
  if (!unchanged) return EXIT_REFUSED;
  for (std::size_t i = 0; i < count; ++i) ready_to_put_back(&targets[i]);
  if (!stage_directories(count)) {
    abandon(count);
    std::printf("Undo failed.\n\n");
    return EXIT_REFUSED;
  }
  // From here on the undo is the put-back of a failed installation: the
  // record says how far it got, and a run killed in it is finished by the
  // next run of either program.
  for (std::size_t i = 0; i < count; ++i) {
    StagedTarget& target = targets[i];
    if (target.in_place) {
      target.in_place_step = IN_PLACE_RESTORING;
    } else {
      choose_staging_name(&target);
    }
  }
  if (!keep_record(PHASE_REVERTING, targets.data(), count) || !close_kept_copies(count)) {
    abandon(count);
    std::printf("Undo failed.\n\n");
    return EXIT_REFUSED;
  }
  bool undone = put_back_targets(targets.data(), count);
  if (undone && !sync_parent_directories(targets.data(), count)) {
    std::printf("Unable to write the product's directories to stable storage. %s.\n\n",
                std::strerror(errno));
    undone = false;
  }
  if (undone && !remove_receipt()) {
    std::printf("Unable to remove %s. %s.\n\n", RECEIPT_PATH, std::strerror(errno));
    undone = false;
  }
  if (!undone || !forget_record()) {
    std::printf("Unable to undo everything: run langext-undo again to finish that.\n\n");
    return EXIT_REFUSED;
  }
  for (std::size_t i = 0; i < count; ++i) {
    std::printf(targets[i].replaces ? "Put back %s as it was before the installation.\n\n"
                                    : "Removed %s, which the installation had made.\n\n",
                targets[i].path);
  }
  std::printf("Undo completed!\n\n");
  return EXIT_UNDONE;
}

}  // namespace

int run_undo() {
  std::printf("Tarnwick 3.0 Language Extensions - Undo program\n\n");
  if (getuid() != 0) {
    std::printf("This program must be run as root.\n\n");
    return EXIT_REFUSED;
  }
  return run_locked_by(undo_locked);
}
