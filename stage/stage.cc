#include "stage/stage.h"

#include <cerrno>
#include <cstdio>

#include "copy/copy.h"
#include "stage/in_place.h"
#include "stage/receipt.h"
#include "stage/record.h"

namespace {

constexpr int STAGING_ATTEMPTS = 100;

void report_target(const StagedTarget& target) { report_copy_failure(target.source, target.path); }

// What could not be made durable is a copy of every part that failed.
void report_every_target(const StagedTarget* targets, std::size_t count) {
  const int error = errno;
  for (std::size_t i = 0; i < count; ++i) {
    errno = error;
    report_target(targets[i]);
  }
}

// Whether every staging entry still holds what was made there: another user
// may have put something else at a staging name. Reports each that does not.
bool all_still_staged(const StagedTarget* targets, std::size_t count) {
  bool staged = true;
  for (std::size_t i = 0; i < count; ++i) {
    if (!still_staged(targets[i])) {
      report_target(targets[i]);  // still_staged set errno
      staged = false;
    }
  }
  return staged;
}

// The old entries that the swap sets aside, as the record must name them.
void note_old_entries(StagedTarget* targets, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    StagedTarget& target = targets[i];
    if (target.replaces) {
      settled_identity_at(target.parent.get(), target.name, &target.old_identity);
    }
  }
}

}  // namespace

int stage_begin(StagedTarget* targets, std::size_t count) {
  int failures = 0;
  bool prepared[RECORD_TARGETS] = {};
  for (std::size_t i = 0; i < count && i < RECORD_TARGETS; ++i) {
    prepared[i] = prepare_target(&targets[i]);
    if (!prepared[i]) {
      report_target(targets[i]);
      ++failures;
    }
  }
  if (!keep_record(PHASE_STAGING, targets, count)) return STAGE_RECORD_FAILED;
  for (std::size_t i = 0; i < count && i < RECORD_TARGETS; ++i) {
    for (int attempt = 1; prepared[i] && !create_staged(&targets[i]); ++attempt) {
      if (errno != EEXIST || attempt == STAGING_ATTEMPTS) {
        report_target(targets[i]);
        ++failures;
        break;
      }
      choose_staging_name(&targets[i]);
      if (!keep_record(PHASE_STAGING, targets, count)) return STAGE_RECORD_FAILED;
    }
  }
  return keep_record(PHASE_STAGING, targets, count) ? failures : STAGE_RECORD_FAILED;
}

int stage_commit(StagedTarget* targets, std::size_t count) {
  if (!all_still_staged(targets, count)) {
    stage_abandon(targets, count);
    return COMMIT_FAILED;
  }
  // The old contents of a mount point are copied now, so that one sync
  // makes the copy durable with what was staged.
  for (std::size_t i = 0; i < count; ++i) {
    if (!copy_in_place_ahead(&targets[i], targets, count)) {
      stage_abandon(targets, count);
      return COMMIT_FAILED;
    }
  }
  if (!sync_file_systems(targets, count)) {
    report_every_target(targets, count);
    stage_abandon(targets, count);
    return COMMIT_FAILED;
  }
  note_old_entries(targets, count);
  if (!keep_record(PHASE_SWAPPING, targets, count)) {
    stage_abandon(targets, count);
    return COMMIT_FAILED;
  }
  bool swapped = swap_targets(targets, count);
  if (swapped && !sync_parent_directories(targets, count)) {
    report_every_target(targets, count);
    swapped = false;
  }
  if (!swapped) {
    // What could not be put back stays with the record, for the next run
    // to finish putting it back.
    if (!undo_swap(targets, count)) {
      std::printf("Unable to put everything back: run the installer again to finish that.\n\n");
      return COMMIT_UNFINISHED;
    }
    stage_abandon(targets, count);
    return COMMIT_FAILED;
  }
  // The record stays, for the next run to finish, while a staging entry
  // that the targets installed in place kept stays. The receipt comes
  // before the record goes, so that a run killed between leaves a record
  // whose repair writes it again.
  if (finish_in_place(targets, count)) {
    keep_receipt(targets, count);
    forget_record();
  }
  return COMMITTED;
}

void stage_abandon(StagedTarget* targets, std::size_t count) {
  bool removed = true;
  for (std::size_t i = 0; i < count; ++i) {
    // A copy of old contents made ahead, which nothing has used yet.
    if (targets[i].in_place_step == IN_PLACE_COPYING) {
      removed = undo_in_place(&targets[i], targets, count) && removed;
    }
    removed = remove_staged(&targets[i]) && removed;
  }
  if (removed) forget_record();
}
