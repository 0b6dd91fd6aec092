// A target moves whole, by one step; one the kernel will not move is
// swapped one level down instead: a durable copy of its old contents
// becomes NAME.old, then the steps of two plans the log holds take each old
// entry out and bring each of the package's in. Put back, what went out
// comes back and the copy goes back under its own name.
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

int entry_flags(const Target& target) { return target.is_directory ? DIRECTORY_FLAGS : READ_FLAGS; }

// The target itself, which must be what the log knows stands there.
int open_live(const Target& target, int flags) {
  return target.inside.is_open()
             ? open_as(target.inside.get(), ".", flags, target.old_identity)
             : open_as(target.parent.get(), target.name, flags, target.old_identity);
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
  if (!remove_made(target, COPY) || !remove_made(target, KEPT)) return false;
  Path backup_path;
  std::snprintf(backup_path.data(), backup_path.size(), "%s", path_beside(*target, target->backup));
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
    const bool cleared = (remove_tree(staged, work[0].data()) || errno == ENOENT) &&
                         (unlinkat(staged, work[1].data(), 0) == 0 || errno == ENOENT);
    // The marker, never changed, has for its change time when the copy
    // began, by the target's own file system's clock: a tick after whatever
    // changed before, the settling included. The old directory's own
    // attributes wait on the holder while NAME.old stays root's and owner-only.
    timespec tick{};
    clock_getres(CLOCK_REALTIME_COARSE, &tick);
    tick.tv_nsec = tick.tv_sec > 0 ? 999'999'999 : std::min(2 * tick.tv_nsec, 999'999'999L);
    tick.tv_sec = 0;
    const bool settled = cleared && settle_tree(live) && nanosleep(&tick, nullptr) == 0;
    Descriptor marker(settled ? openat(staged, work[1].data(), NEW_FILE_FLAGS, 0600) : -1);
    Descriptor holder(settled && mkdirat(staged, work[0].data(), 0700) == 0
                          ? openat(staged, work[0].data(), DIRECTORY_FLAGS)
                          : -1);
    struct stat status {};
    if (!marker.is_open() || !holder.is_open() || fstat(marker.get(), &status) != 0) {
      return report_unable(target->path, target->undoing);
    }
    target->mark = status.st_ctim;
    LogLine line = target_line("mark", index);
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
    Descriptor old(open_live(*target, READ_FLAGS));
    copied = kept.is_open() && old.is_open() &&
             keep_file(old.get(), target->path, copy.release(), backup_path.data()) &&
             lseek(old.get(), 0, SEEK_SET) == 0 &&
             keep_file(old.get(), target->path, kept.release(),
                       path_beside(*target, target->made[KEPT].name));
    if (!copied && (!kept.is_open() || !old.is_open())) {
      report_unable(target->path, target->undoing);
    }
  }
  if (!copied) return false;
  // One file system is written to stable storage once.
  if (syncfs(target->parent.get()) != 0 ||
      (live != target->parent.get() &&
       target->old_identity.device != target->parent_identity.device && syncfs(live) != 0)) {
    return report_unable(target->path, target->undoing);
  }
  target->copied = true;
  return append_record(target_line("copied", index)) && make_durable();
}

// Gives the file target the contents and attributes of source, rewritten
// in place, durably. A reader may see it partly written for that moment.
bool rewrite(const Target& target, int source, const char* source_path) {
  Descriptor live(open_live(target, O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!live.is_open()) return false;
  const int written = dup(live.get());
  return written >= 0 && ftruncate(live.get(), 0) == 0 && lseek(source, 0, SEEK_SET) == 0 &&
         keep_file(source, source_path, written, target.path) && fsync(live.get()) == 0;
}

bool put_back_in_place(Target* target, std::size_t index) {
  const bool undoing = target->undoing;
  const bool directory = target->is_directory;
  bool whole = true;
  // The staged tree, which holds what went out, or the second copy of a
  // file, goes only once the log says all is back. Not found before, it
  // was not put back: another user who may write beside it can hide it
  // from a look by renaming it in turn. (A log of the release before
  // this one does not say: there, gone means put back.)
  if (target->put_back) return true;
  if (undoing || (directory ? target->planned[0] && target->planned[1] : target->copied)) {
    Descriptor held(open_made(target, directory ? STAGED : KEPT, entry_flags(*target)));
    if (!held.is_open() && errno == ENOENT && !undoing && !log_marks_whole()) {
      return keep_copy(target, false);
    }
    Descriptor live(directory && held.is_open() ? open_live(*target, DIRECTORY_FLAGS) : -1);
    const bool ran = live.is_open() && run_plans(*target, live.get(), held.get(), false);
    whole = directory ? ran && syncfs(live.get()) == 0
                      : held.is_open() && rewrite(*target, held.get(),
                                                  path_beside(*target, target->made[KEPT].name));
    // What the plans could not put back they have named.
    if (!whole && (!directory || !live.is_open() || ran)) report_unable(target->path, true);
  }
  if (!whole && !undoing) {
    std::printf("%s.old holds the complete old contents of %s.\n\n", target->path, target->path);
  }
  if (!whole || (!undoing && !keep_copy(target, false))) return false;
  target->put_back = true;
  return append_record(target_line("back", index)) && make_durable();
}

bool install_in_place(Target* target, std::size_t index) {
  const bool directory = target->is_directory;
  const bool undoing = target->undoing;
  Descriptor staged(open_made(target, STAGED, entry_flags(*target)));
  Descriptor live(directory && staged.is_open() ? open_live(*target, DIRECTORY_FLAGS) : -1);
  if (!staged.is_open() || (directory && !live.is_open())) {
    return report_unable(target->path, undoing);
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
    return rewrite(*target, staged.get(), source) || report_unable(target->path, undoing);
  }
  if (!undoing && (!target->planned[0] || !target->planned[1])) {
    if (!plan_install(target, index, live.get(), staged.get()) || !make_durable()) return false;
    target->planned[0] = target->planned[1] = true;
  }
  if (!run_plans(*target, live.get(), staged.get(), true)) return false;
  return syncfs(live.get()) == 0 || report_unable(target->path, undoing);
}

}  // namespace

int open_backup(const Target& target) {
  return open_as(target.parent.get(), target.backup, entry_flags(target), target.kept_identity);
}

bool stage_undo_in_place(Target* target, std::size_t index, const Target& receipt) {
  const char* backup_path = path_beside(*target, target->backup);
  Descriptor backup(open_backup(*target));
  Descriptor copy(backup.is_open()
                      ? make_entry(target, index, STAGED, target->mount && target->is_directory,
                                   target->is_directory)
                      : -1);
  if (!copy.is_open()) return report_unable(backup_path, true);
  if (!target->is_directory) {
    Descriptor kept(make_entry(target, index, KEPT, false, false));
    Descriptor live(open_live(*target, READ_FLAGS));
    return kept.is_open() && live.is_open() &&
           keep_file(backup.get(), backup_path, copy.release(),
                     path_beside(*target, target->made[STAGED].name)) &&
           keep_file(live.get(), target->path, kept.release(),
                     path_beside(*target, target->made[KEPT].name));
  }
  if (keep_tree(backup.get(), backup_path, copy.get(), target->path, -1, nullptr) != 0) {
    return false;
  }
  Descriptor live(open_live(*target, DIRECTORY_FLAGS));
  // Once what the undo made inside the target is gone, the target has the
  // times the installation found it with.
  LogFields first;
  off_t at = receipt.plans[1][0];
  if (!live.is_open() || !log_next(true, &at, &first) || first.count < 4) {
    return report_unable(target->path, true);
  }
  target->inside_times = first.attributes(3);
  LogLine times = target_line("times", index);
  add_attributes(&times, target->inside_times);
  return append_record(times) && plan_undo(target, index, live.get(), copy.get(), receipt) &&
         make_durable();
}

bool drive(Target* target, std::size_t index, bool forward) {
  if (!target->in_place) {
    const Made& staged = target->made[STAGED];
    Descriptor work(target->undoing ? open_made(target, COPY, DIRECTORY_FLAGS) : -1);
    const Slot at{target->parent.get(), target->name, target->path};
    const Slot backup{target->parent.get(), target->backup, path_beside(*target, target->backup)};
    const Slot out{work.get(), "o", path_beside(*target, target->made[COPY].name)};
    const Slot beside{target->parent.get(), staged.name, path_beside(*target, staged.name)};
    const Identity old = target->replaces ? target->old_identity : Identity{};
    const int told = repairing && !target->undoing ? TOLD_AS_REPAIR : TOLD_AS_SWAP;
    // Undoing, NAME.old comes back and what the installation left goes into
    // the undo's work directory; where nothing stood before, it only goes.
    const Step step = !target->undoing   ? Step{beside, at, backup, staged.identity, old, told}
                      : target->replaces ? Step{backup, at, out, target->kept_identity, old, told}
                                         : Step{at, out, at, target->old_identity, {}, told};
    if (target->undoing && !work.is_open()) return false;
    if (!forward && !target->undoing && !staged.made) return true;
    const int taken = take_step(step, forward);
    if (taken != STEP_UNMOVABLE || !forward || target->undoing) {
      return taken == STEP_DONE &&
             (!forward || give_held(target, target->name, target->kept_identity));
    }
    target->in_place = true;
    if (!append_record(target_line("inplace", index)) || !make_durable()) return false;
  }
  if (!forward) return put_back_in_place(target, index);
  return install_in_place(target, index) && give_held(target, target->name, target->old_identity);
}

int open_holder(Target* target, int role, bool make) {
  std::array<char, 32> name{};
  make_work_name(name.data(), name.size(), target->made[role].name, 'h');
  Descriptor work(open_made(target, role, DIRECTORY_FLAGS));
  if (!work.is_open()) return -1;
  if (make && target->is_directory && mkdirat(work.get(), name.data(), 0700) != 0) return -1;
  return openat(work.get(), name.data(),
                make && !target->is_directory ? NEW_FILE_FLAGS : entry_flags(*target), 0600);
}

bool give(const Target& target, int holder, const char* name, const Identity& identity) {
  Descriptor entry(open_as(target.parent.get(), name, entry_flags(target), identity));
  return holder >= 0 && entry.is_open() &&
         keep_attributes(holder, entry.get(), path_beside(target, name)) && fsync(entry.get()) == 0;
}

bool give_held(Target* target, const char* name, const Identity& identity) {
  if (!target->closed) return true;
  const char* path = path_beside(*target, name);
  Descriptor holder(open_holder(target, COPY, false));
  return give(*target, holder.get(), name, identity) || report_unable(path, true);
}
