// A target the kernel will not move is swapped one level down: a complete
// copy of its old contents is made first, durably, and becomes NAME.old;
// then each old entry goes out into the staged tree, and each of the
// package's comes in, by the steps of two plans the log holds. Put back,
// what went out comes back and the copy goes back under its own name.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fs/keep.h"
#include "fs/walk.h"
#include "steps/plan.h"
#include "steps/step.h"
#include "steps/target.h"

namespace {

void report_in_place(const Target& target) { report_unable(target.path, target.undoing); }

// The target itself, which must be what the log knows stands there.
int open_live(const Target& target) {
  return target.inside.is_open()
             ? open_as(target.inside.get(), ".", DIRECTORY_FLAGS, target.old_identity)
             : open_as(target.parent.get(), target.name, DIRECTORY_FLAGS, target.old_identity);
}

// The copy of the old contents, at NAME.old, moves there once it is whole
// and durable, and the move is durable before anything else changes; put
// back, it moves back under its own name.
bool keep_copy(Target* target, bool forward) {
  const Made& copy = target->made[COPY];
  const Slot named{target->parent.get(), copy.name, path_beside(*target, copy.name)};
  const Slot backup{target->parent.get(), target->backup, path_beside(*target, target->backup)};
  const Slot& from = forward ? named : backup;
  const Slot& to = forward ? backup : named;
  if (!copy.made || holds_entry(to.directory, to.name, copy.identity)) return true;
  // Put back, a copy no longer at NAME.old went back, or with what was made.
  if (!forward && !holds_entry(from.directory, from.name, copy.identity)) return true;
  if (move_entry(from.directory, from.name, to.directory, to.name) &&
      holds_entry(to.directory, to.name, copy.identity) && fsync(target->parent.get()) == 0) {
    return true;
  }
  if (errno == 0) errno = NOT_THE_ENTRY;
  std::printf("Unable to rename %s to %s. %s.\n\n", from.path, to.path, failure_reason(errno));
  return false;
}

// The copy tells the log of each old directory at the place of one of the
// package's, as it takes it.
struct Watching {
  std::size_t index;
  int staged;
  bool logged;
};

void watch_directory(void* context, const char* place, int directory) {
  auto* watching = static_cast<Watching*>(context);
  struct stat status {};
  Identity identity;
  if (fstatat(watching->staged, place, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISDIR(status.st_mode) || !examine(directory, "", nullptr, &identity)) {
    return;
  }
  note_old_directory(static_cast<int>(watching->index), place, identity);
  LogLine line = target_line("directory", watching->index);
  add_string(&line, place);
  add_identity(&line, identity);
  watching->logged = append_record(line) && watching->logged;
}

// Makes the complete copy of the old contents beside the target, durably:
// until it is renamed to NAME.old nothing in the target changes. A copy a
// killed run was making may be incomplete, and goes.
bool copy_old(Target* target, std::size_t index, int live, int staged) {
  if (target->made[COPY].named && !remove_made(target, COPY)) return false;
  if (target->made[KEPT].named && !remove_made(target, KEPT)) return false;
  const char* backup = path_beside(*target, target->backup);
  Path backup_path;
  std::snprintf(backup_path.data(), backup_path.size(), "%s", backup);
  Descriptor copy(make_entry(target, index, COPY, false, target->is_directory));
  if (!copy.is_open()) {
    std::printf("Unable to copy %s to %s. %s.\n\n", target->path, backup_path.data(),
                failure_reason(errno));
    return false;
  }
  bool copied;
  if (target->is_directory) {
    std::array<std::array<char, 32>, 2> work{};
    make_work_name(work[0].data(), work[0].size(), target->made[STAGED].name, 'h');
    make_work_name(work[1].data(), work[1].size(), target->made[STAGED].name, 'm');
    remove_tree(staged, work[0].data());
    unlinkat(staged, work[1].data(), 0);
    // Made before the copy begins, and never changed: its change time is
    // when that was, by the clock of the target's own file system. The old
    // directory's own attributes wait on the holder while NAME.old stays
    // root's and owner-only.
    // Whatever changed before the copy began, the settling included, did so
    // a tick of the file systems' clock before the marker.
    timespec tick{};
    clock_getres(CLOCK_REALTIME_COARSE, &tick);
    tick.tv_nsec = tick.tv_sec > 0 ? 999'999'999 : std::min(2 * tick.tv_nsec, 999'999'999L);
    tick.tv_sec = 0;
    if (!settle_tree(live) || nanosleep(&tick, nullptr) != 0) {
      report_in_place(*target);
      return false;
    }
    Descriptor marker(openat(staged, work[1].data(), NEW_FILE_FLAGS, 0600));
    Descriptor holder(mkdirat(staged, work[0].data(), 0700) == 0
                          ? openat(staged, work[0].data(), DIRECTORY_FLAGS)
                          : -1);
    struct stat status {};
    LogLine line;
    add_word(&line, "mark");
    add_number(&line, static_cast<std::int64_t>(index));
    if (!marker.is_open() || !holder.is_open() || fstat(marker.get(), &status) != 0) {
      report_in_place(*target);
      return false;
    }
    target->mark = status.st_ctim;
    add_time(&line, target->mark);
    Watching watching{index, staged, true};
    const KeepWatch watch{watch_directory, &watching};
    copied = append_record(line) &&
             keep_tree(live, target->path, copy.get(), backup_path.data(), holder.get(),
                       target->made[STAGED].inside ? &target->made[STAGED].identity : nullptr,
                       &watch) == 0 &&
             watching.logged;
  } else {
    Descriptor kept(make_entry(target, index, KEPT, false, false));
    Descriptor old(open_as(target->parent.get(), target->name, READ_FLAGS, target->old_identity));
    const int second = old.is_open() ? dup(old.get()) : -1;
    copied = kept.is_open() && old.is_open() &&
             keep_file(old.get(), target->path, copy.release(), backup_path.data()) &&
             lseek(second, 0, SEEK_SET) == 0 &&
             keep_file(second, target->path, kept.release(),
                       path_beside(*target, target->made[KEPT].name));
    if (second >= 0) close(second);
    if (!copied && (!kept.is_open() || !old.is_open())) report_in_place(*target);
  }
  if (!copied) return false;
  // One file system is written to stable storage once.
  if (syncfs(target->parent.get()) != 0 ||
      (live != target->parent.get() &&
       target->old_identity.device != target->parent_identity.device && syncfs(live) != 0)) {
    report_in_place(*target);
    return false;
  }
  target->copied = true;
  return append_record(target_line("copied", index)) && make_durable();
}

// Gives the file target the contents and attributes of source, rewritten
// in place, durably. A reader may see it partly written for that moment.
bool rewrite(const Target& target, int source, const char* source_path) {
  Descriptor live(open_as(target.parent.get(), target.name,
                          O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC,
                          target.old_identity));
  if (!live.is_open()) return false;
  const int written = dup(live.get());
  return written >= 0 && ftruncate(live.get(), 0) == 0 && lseek(source, 0, SEEK_SET) == 0 &&
         keep_file(source, source_path, written, target.path) && fsync(live.get()) == 0;
}

// Runs the target's two plans forwards, or backwards last first; putting
// back goes on past a plan that could not be wholly, to put back all it
// can. What goes out waits in the out directory of the staged tree.
bool run_plans(Target* target, int live, int staged, int copy, bool forward) {
  std::array<char, 32> out_name{};
  make_work_name(out_name.data(), out_name.size(), target->made[STAGED].name, 'o');
  if (mkdirat(staged, out_name.data(), 0700) != 0 && errno != EEXIST) {
    report_unable(target->path, false);
    return false;
  }
  Descriptor out(openat(staged, out_name.data(), DIRECTORY_FLAGS));
  Plan plan{
      0, 0, live, staged, copy, out.get(), target->path, forward && !target->undoing, target->mark};
  if (!out.is_open()) return false;
  bool ran = true;
  for (int i = 0; i < 2; ++i) {
    const int which = forward ? i : 1 - i;
    plan.begin = target->plans[which][0];
    plan.end = target->plans[which][1];
    if (forward && !run_plan(plan, true)) return false;
    if (!forward) ran = run_plan(plan, false) && ran;
  }
  return ran;
}

}  // namespace

int open_backup(const Target& target) {
  return open_as(target.parent.get(), target.backup,
                 target.is_directory ? DIRECTORY_FLAGS : READ_FLAGS, target.kept_identity);
}

// Makes the undo's copy of NAME.old of a target put back in place, its
// copy of the installed file, and the plans that put it back.
bool stage_undo_in_place(Target* target, std::size_t index, const Target& receipt) {
  const char* backup_path = path_beside(*target, target->backup);
  Descriptor backup(open_backup(*target));
  Descriptor copy(backup.is_open()
                      ? make_entry(target, index, STAGED, target->mount && target->is_directory,
                                   target->is_directory)
                      : -1);
  if (!copy.is_open()) {
    report_unable(backup_path, true);
    return false;
  }
  if (!target->is_directory) {
    Descriptor kept(make_entry(target, index, KEPT, false, false));
    Descriptor live(open_as(target->parent.get(), target->name, READ_FLAGS, target->old_identity));
    return kept.is_open() && live.is_open() &&
           keep_file(backup.get(), backup_path, copy.release(),
                     path_beside(*target, target->made[STAGED].name)) &&
           keep_file(live.get(), target->path, kept.release(),
                     path_beside(*target, target->made[KEPT].name));
  }
  if (keep_tree(backup.get(), backup_path, copy.get(), target->path, -1, nullptr) != 0) {
    return false;
  }
  Descriptor live(open_live(*target));
  // Once what the undo made inside the target is gone, the target has the
  // times the installation found it with.
  LogFields first;
  off_t at = receipt.plans[1][0];
  if (!live.is_open() || !log_next(true, &at, &first) || first.count < 4) {
    report_unable(target->path, true);
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

bool put_back_in_place(Target* target, std::size_t index) {
  const bool undoing = target->undoing;
  bool whole = true;
  // The staged tree, which holds what went out, or the second copy of a
  // file, goes only once the log says all is back. Not found before, it
  // was not put back: another user who may write beside it can hide it
  // from a look by renaming it in turn. (A log of the release before
  // this one does not say: there, gone means put back.)
  if (target->put_back) return true;
  const bool gone_is_back = !undoing && !log_marks_whole();
  if (target->is_directory && (undoing || (target->planned[0] && target->planned[1]))) {
    Descriptor staged(open_made(target, STAGED, DIRECTORY_FLAGS));
    if (!staged.is_open() && errno == ENOENT && gone_is_back) return keep_copy(target, false);
    Descriptor live(staged.is_open() ? open_live(*target) : -1);
    whole = live.is_open() && run_plans(target, live.get(), staged.get(), -1, false) &&
            syncfs(live.get()) == 0;
    if (!live.is_open()) report_unable(target->path, true);
  } else if (!target->is_directory && (undoing || target->copied)) {
    Descriptor kept(open_made(target, KEPT, READ_FLAGS));
    if (!kept.is_open() && errno == ENOENT && gone_is_back) return keep_copy(target, false);
    whole = kept.is_open() &&
            rewrite(*target, kept.get(), path_beside(*target, target->made[KEPT].name));
    if (!whole) report_unable(target->path, true);
  }
  if (whole && (undoing || keep_copy(target, false))) {
    target->put_back = true;
    return append_record(target_line("back", index)) && make_durable();
  }
  if (whole) return false;
  if (!undoing) {
    std::printf("%s.old holds the complete old contents of %s.\n\n", target->path, target->path);
  }
  return false;
}

bool install_in_place(Target* target, std::size_t index) {
  const bool directory = target->is_directory;
  const bool undoing = target->undoing;
  Descriptor staged(open_made(target, STAGED, directory ? DIRECTORY_FLAGS : READ_FLAGS));
  Descriptor live(directory && staged.is_open() ? open_live(*target) : -1);
  if (!staged.is_open() || (directory && !live.is_open())) {
    report_in_place(*target);
    return false;
  }
  if (!undoing &&
      ((!target->copied &&
        !copy_old(target, index, directory ? live.get() : target->parent.get(), staged.get())) ||
       !keep_copy(target, true))) {
    return false;
  }
  if (!directory) {
    const char* source = target->source != nullptr ? target->source
                         : undoing                 ? path_beside(*target, target->backup)
                                   : path_beside(*target, target->made[STAGED].name);
    if (rewrite(*target, staged.get(), source)) return true;
    report_in_place(*target);
    return false;
  }
  if (!undoing && (!target->planned[0] || !target->planned[1])) {
    if (!plan_install(static_cast<int>(index), live.get(), staged.get(),
                      target->made[STAGED].inside ? &target->made[STAGED].identity : nullptr,
                      target->made[STAGED].name, target->path, &target->slot, target->plans) ||
        !make_durable()) {
      return false;
    }
    target->planned[0] = target->planned[1] = true;
  }
  Descriptor copy(undoing ? -1 : openat(target->parent.get(), target->backup, DIRECTORY_FLAGS));
  if (!run_plans(target, live.get(), staged.get(), copy.get(), true)) {
    return false;
  }
  if (syncfs(live.get()) == 0) return true;
  report_in_place(*target);
  return false;
}

int open_holder(Target* target, bool make) {
  std::array<char, 32> name{};
  make_work_name(name.data(), name.size(), target->made[COPY].name, 'h');
  Descriptor work(open_made(target, COPY, DIRECTORY_FLAGS));
  if (!work.is_open()) return -1;
  if (make && target->is_directory && mkdirat(work.get(), name.data(), 0700) != 0) return -1;
  const int flags = target->is_directory ? DIRECTORY_FLAGS : READ_FLAGS;
  return openat(work.get(), name.data(), make && !target->is_directory ? NEW_FILE_FLAGS : flags,
                0600);
}

bool give_held(Target* target, const char* name, const Identity& identity) {
  if (!target->closed) return true;
  Descriptor holder(open_holder(target, false));
  Descriptor entry(open_as(target->parent.get(), name,
                           target->is_directory ? DIRECTORY_FLAGS : READ_FLAGS, identity));
  const char* path = path_beside(*target, name);
  if (holder.is_open() && entry.is_open() && keep_attributes(holder.get(), entry.get(), path) &&
      fsync(entry.get()) == 0) {
    return true;
  }
  report_unable(path, true);
  return false;
}
