#include "steps/target.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "fs/keep.h"
#include "fs/walk.h"
#include "steps/plan.h"
#include "steps/step.h"

bool repairing = false;

namespace {

constexpr std::array<const char*, ROLES> ROLE_NAMES{"staged", "copy", "kept"};
constexpr std::array<const char*, 4> PHASE_NAMES{"stage", "swap", "back", "done"};

void report_record_failure() {
  std::printf("Unable to write %s. %s.\n\n", RECORD_PATH, std::strerror(errno));
}

void report_in_place(const Target& target) {
  std::printf(
      target.undoing ? "Unable to put back %s. %s.\n\n" : "Unable to install %s in place. %s.\n\n",
      target.path, failure_reason(errno));
}

int where_made(const Target& target, const Made& made) {
  return made.inside ? target.inside.get() : target.parent.get();
}

// Whether the entry a killed run named but whose identity it never logged
// is the one it made then: root's own, as made (closed to others, empty),
// born no earlier than its name was logged. Another user can make none
// such, and no call can set a birth time.
bool made_when_named(int directory, const char* name, const struct stat& status,
                     const Identity& identity, const Made& made) {
  const mode_t mode = made.directory ? 0700 : 0600;
  Descriptor opened(
      made.directory && S_ISDIR(status.st_mode) ? openat(directory, name, DIRECTORY_FLAGS) : -1);
  const bool empty = opened.is_open() &&
                     for_each_entry(opened.get(), [](const char*, unsigned char) { return false; });
  return status.st_uid == geteuid() && (status.st_mode & 07777) == mode &&
         (made.directory
              ? empty
              : S_ISREG(status.st_mode) && status.st_size == 0 && status.st_nlink == 1) &&
         (!identity.born || identity.seconds > made.intended.tv_sec ||
          (identity.seconds == made.intended.tv_sec &&
           identity.nanoseconds >= made.intended.tv_nsec));
}

// The target itself, which must be what the log knows stands there.
int open_live(const Target& target) {
  Descriptor live(target.inside.is_open()
                      ? fcntl(target.inside.get(), F_DUPFD_CLOEXEC, 0)
                      : openat(target.parent.get(), target.name, DIRECTORY_FLAGS));
  Identity found;
  if (!live.is_open() || !examine(live.get(), "", nullptr, &found)) return -1;
  if (!same_identity(found, target.old_identity)) {
    errno = NOT_THE_ENTRY;
    return -1;
  }
  return live.release();
}

bool record_target(const char* word, std::size_t index) {
  LogLine line;
  add_word(&line, word);
  add_number(&line, static_cast<std::int64_t>(index));
  return append_record(line);
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
  Identity found;
  if (!copy.made ||
      (examine(to.directory, to.name, nullptr, &found) && same_identity(found, copy.identity))) {
    return true;
  }
  // Put back, a copy no longer at NAME.old went back, or with what was made.
  if (!forward && !(examine(from.directory, from.name, nullptr, &found) &&
                    same_identity(found, copy.identity))) {
    return true;
  }
  if (move_entry(from.directory, from.name, to.directory, to.name) &&
      examine(to.directory, to.name, nullptr, &found) && same_identity(found, copy.identity) &&
      fsync(target->parent.get()) == 0) {
    return true;
  }
  if (errno == 0) errno = NOT_THE_ENTRY;
  std::printf("Unable to rename %s to %s. %s.\n\n", from.path, to.path, failure_reason(errno));
  return false;
}

}  // namespace

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

namespace {

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
    copied =
        append_record(line) &&
        keep_tree(live, target->path, copy.get(), backup_path.data(), holder.get(),
                  target->made[STAGED].inside ? target->made[STAGED].name : nullptr, &watch) == 0 &&
        watching.logged;
  } else {
    Descriptor kept(make_entry(target, index, KEPT, false, false));
    Descriptor old(openat(target->parent.get(), target->name, READ_FLAGS));
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
  if (syncfs(target->parent.get()) != 0 || syncfs(live) != 0) {
    report_in_place(*target);
    return false;
  }
  target->copied = true;
  return record_target("copied", index) && make_durable();
}

// Gives the file target the contents and attributes of source, rewritten
// in place, durably. A reader may see it partly written for that moment.
bool rewrite(const Target& target, int source, const char* source_path) {
  Descriptor live(openat(target.parent.get(), target.name,
                         O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  Identity found;
  if (!live.is_open() || !examine(live.get(), "", nullptr, &found)) return false;
  if (!same_identity(found, target.old_identity)) {
    errno = NOT_THE_ENTRY;
    return false;
  }
  const int written = dup(live.get());
  return written >= 0 && ftruncate(live.get(), 0) == 0 && lseek(source, 0, SEEK_SET) == 0 &&
         keep_file(source, source_path, written, target.path) && fsync(live.get()) == 0;
}

}  // namespace

bool open_parent(Target* target) {
  const std::size_t length = std::strlen(target->path);
  if (!target->is_directory && length > 0 && target->path[length - 1] == '/') {
    errno = EISDIR;  // a name with a slash at its end is no file's name
    return false;
  }
  Path buffer;
  const char* name = nullptr;
  target->parent.reset(open_parent_directory(target->path, &buffer, &name));
  if (!target->parent.is_open()) return false;
  if (is_dot_or_dot_dot(name)) {
    errno = EINVAL;
    return false;
  }
  Identity found;
  const bool known = target->parent_identity.inode != 0;
  if (!(known ? examine(target->parent.get(), "", nullptr, &found)
              : settle(target->parent.get(), "", &found))) {
    return false;
  }
  if (known && !same_identity(found, target->parent_identity)) {
    target->parent.reset();
    errno = ESTALE;
    return false;
  }
  target->parent_identity = found;
  std::snprintf(target->name, sizeof target->name, "%s", name);
  std::snprintf(target->backup, sizeof target->backup, "%s.old", name);
  return true;
}

const char* path_beside(const Target& target, const char* name, bool inside) {
  // Four in turn, so that one step can name three of them.
  static std::array<std::array<char, PATH_BUFFER_SIZE + NAME_BUFFER_SIZE>, 4> paths;
  static std::size_t turn = 0;
  auto& path = paths[turn++ % paths.size()];
  const char* slash = std::strrchr(target.path, '/');
  const int prefix = inside             ? static_cast<int>(std::strlen(target.path))
                     : slash == nullptr ? 0
                                        : static_cast<int>(slash - target.path + 1);
  std::snprintf(path.data(), path.size(), "%.*s%s%s", prefix, target.path, inside ? "/" : "", name);
  return path.data();
}

bool append_record(const LogLine& line) {
  if (log_append(line)) return true;
  report_record_failure();
  return false;
}

bool make_durable() {
  if (log_sync()) return true;
  report_record_failure();
  return false;
}

LogLine target_line(const char* kind, std::size_t index) {
  LogLine line;
  add_word(&line, kind);
  add_number(&line, static_cast<std::int64_t>(index));
  return line;
}

bool record_phase(int phase) {
  LogLine line;
  add_word(&line, "phase");
  add_word(&line, PHASE_NAMES[phase]);
  return append_record(line) && make_durable();
}

int make_entry(Target* target, std::size_t index, int role, bool inside, bool directory) {
  Made& made = target->made[role];
  const int where = inside ? target->inside.get() : target->parent.get();
  long name_limit = fpathconf(where, _PC_NAME_MAX);
  if (name_limit <= 0) name_limit = NAME_MAX;
  struct stat times {};
  if (inside && fstat(where, &times) != 0) return -1;
  for (int attempt = 0; attempt < 100; ++attempt) {
    made = Made{};
    made.named = true;
    made.inside = inside;
    made.directory = directory;
    make_staging_name(made.name, target->name, name_limit);
    clock_gettime(CLOCK_REALTIME_COARSE, &made.intended);
    LogLine line = target_line("make", index);
    add_word(&line, ROLE_NAMES[role]);
    add_string(&line, made.name);
    add_number(&line, inside ? 1 : 0);
    add_number(&line, directory ? 1 : 0);
    add_time(&line, made.intended);
    if (!append_record(line)) return -1;
    // What is made inside the target goes with the times it has now, until
    // a run says what they must be once it has gone.
    if (inside && target->inside_times.modification.tv_sec == 0) {
      target->inside_times = Attributes{0, 0, 0, times.st_atim, times.st_mtim};
      LogLine kept = target_line("times", index);
      add_attributes(&kept, target->inside_times);
      if (!append_record(kept)) return -1;
    }
    if (!make_durable()) return -1;
    Descriptor entry(directory ? (mkdirat(where, made.name, 0700) == 0
                                      ? openat(where, made.name, DIRECTORY_FLAGS)
                                      : -1)
                               : openat(where, made.name, NEW_FILE_FLAGS, 0600));
    if (!entry.is_open() && errno == EEXIST) continue;
    struct stat status {};
    if (!entry.is_open() || !examine(entry.get(), "", &status, &made.identity)) return -1;
    // Between the two calls another user may have put a directory of
    // theirs at the name.
    if (status.st_uid != geteuid() || (status.st_mode & 077) != 0) {
      errno = NOT_THE_ENTRY;
      return -1;
    }
    // An entry made inside the target changes its times, which its copy at
    // NAME.old must keep.
    const timespec kept[2] = {times.st_atim, times.st_mtim};
    if (inside && futimens(where, kept) != 0) return -1;
    // Known by its identity before anything changes it from how it was
    // made.
    LogLine identity = target_line("made", index);
    add_word(&identity, ROLE_NAMES[role]);
    add_identity(&identity, made.identity);
    if (!append_record(identity) || !make_durable()) return -1;
    made.made = true;
    return entry.release();
  }
  errno = EEXIST;
  return -1;
}

int open_made(Target* target, int role, int flags) {
  Made& made = target->made[role];
  std::array<char, NAME_BUFFER_SIZE> name{};
  if (!made.made) {
    errno = ENOENT;
    return -1;
  }
  if (!find_entry(where_made(*target, made), made.name, made.identity, name.data())) return -1;
  Descriptor entry(openat(where_made(*target, made), name.data(), flags));
  Identity found;
  if (!entry.is_open() || !examine(entry.get(), "", nullptr, &found)) return -1;
  if (!same_identity(found, made.identity)) {
    errno = NOT_THE_ENTRY;
    return -1;
  }
  return entry.release();
}

bool remove_made(Target* target, int role) {
  Made& made = target->made[role];
  if (!made.named) return true;
  const int where = where_made(*target, made);
  const char* path = path_beside(*target, made.name, made.inside);
  std::array<char, NAME_BUFFER_SIZE> name{};
  struct stat status {};
  Identity found;
  bool ours = false;
  if (where < 0) {
    ours = false;  // inside a target that is not there: gone with it
  } else if (made.made) {
    ours = find_entry(where, made.name, made.identity, name.data());
    // Where the run put it in the target's place, it is the target's now.
    if (ours && !made.inside &&
        (std::strcmp(name.data(), target->name) == 0 ||
         std::strcmp(name.data(), target->backup) == 0)) {
      made = Made{};
      return true;
    }
    if (!ours && errno == ENOENT) {
      // Removed by a killed run, or moved away by someone else.
      if (!repairing) {
        std::printf(
            "The contents staged for %s were moved away from %s by someone else; they are "
            "left where they are.\n\n",
            target->path, path);
      }
    } else if (!ours) {
      std::printf("Unable to examine %s. %s.\n\n", path, std::strerror(errno));
      return false;
    }
  } else if (examine(where, made.name, &status, &found)) {
    ours = made_when_named(where, made.name, status, found, made);
    if (!ours) report_left_alone(path);
    std::snprintf(name.data(), name.size(), "%s", made.name);
  }
  if (ours && !remove_tree(where, name.data())) {
    std::printf("Unable to remove %s. %s.\n\n", path, failure_reason(errno));
    return false;
  }
  // Inside the target, what was made and removed changed its times, which
  // its old contents keep (and a killed run may have removed it already).
  const timespec times[2] = {target->inside_times.access, target->inside_times.modification};
  if ((ours || (made.made && errno == ENOENT)) && made.inside && where >= 0 &&
      target->inside_times.modification.tv_sec != 0 &&
      (futimens(where, times) != 0 || fsync(where) != 0)) {
    std::printf("Unable to remove %s. %s.\n\n", path, std::strerror(errno));
    return false;
  }
  made = Made{};
  return true;
}

bool sync_file_systems(Target* targets, std::size_t count) {
  bool synced = true;
  std::array<dev_t, 2 * TARGETS_LIMIT> done{};
  std::size_t done_count = 0;
  for (std::size_t i = 0; i < count; ++i) {
    for (int directory : {targets[i].parent.get(), targets[i].inside.get()}) {
      struct stat status {};
      if (directory < 0) continue;
      if (fstat(directory, &status) != 0) {
        synced = false;
        continue;
      }
      bool seen = false;
      for (std::size_t j = 0; j < done_count; ++j) seen = seen || done[j] == status.st_dev;
      if (seen) continue;
      done[done_count++] = status.st_dev;
      if (syncfs(directory) != 0) synced = false;
    }
  }
  return synced;
}

bool sync_parents(Target* targets, std::size_t count) {
  bool synced = true;
  for (std::size_t i = 0; i < count; ++i) {
    struct stat status {};
    bool seen = false;
    if (!targets[i].parent.is_open() || fstat(targets[i].parent.get(), &status) != 0) continue;
    for (std::size_t j = 0; j < i; ++j) {
      struct stat other {};
      seen = seen || (targets[j].parent.is_open() && fstat(targets[j].parent.get(), &other) == 0 &&
                      other.st_dev == status.st_dev && other.st_ino == status.st_ino);
    }
    if (!seen && fsync(targets[i].parent.get()) != 0) synced = false;
  }
  return synced;
}

bool read_targets(bool receipt, Target* targets, char (*paths)[PATH_BUFFER_SIZE],
                  std::size_t* count, int* phase, bool* committed) {
  LogFields fields;
  off_t offset = 0;
  *count = 0;
  *phase = PHASE_STAGE;
  *committed = false;
  log_next(receipt, &offset, &fields);  // the header, checked as the log was opened
  while (log_next(receipt, &offset, &fields)) {
    const std::string_view kind = fields.word(0);
    if (kind == "phase") {
      for (int known = PHASE_STAGE; known <= PHASE_DONE; ++known) {
        if (fields.word(1) == PHASE_NAMES[known]) *phase = known;
      }
      continue;
    }
    if (kind == "commit") *committed = true;
    if (kind == "phase" || kind == "commit" || kind == "enter" || kind == "leave" ||
        kind == "swap" || kind == "out") {
      continue;
    }
    const std::int64_t index = fields.number(1);
    if (!fields.good || index < 0 || static_cast<std::size_t>(index) > *count ||
        index >= static_cast<std::int64_t>(TARGETS_LIMIT)) {
      break;
    }
    Target& target = targets[index];
    if (kind == "target") {
      fields.string(3, paths[index], PATH_BUFFER_SIZE);
      target.path = paths[index];
      target.is_directory = fields.word(2) == "directory";
      target.replaces = fields.number(4) == 1;
      target.mount = fields.number(5) == 1;
      target.in_place = target.mount;
      target.parent_identity = fields.identity(6);
      target.old_identity = fields.identity(7);
      if (fields.count > 8) target.kept_identity = fields.identity(8);
      *count = static_cast<std::size_t>(index) + 1;
      continue;
    }
    if (static_cast<std::size_t>(index) >= *count) break;
    int role = 0;
    while (role < ROLES && fields.word(2) != ROLE_NAMES[role]) ++role;
    if (kind == "make" && role < ROLES) {
      Made& made = target.made[role];
      made = Made{};
      fields.string(3, made.name, sizeof made.name);
      made.named = std::strchr(made.name, '/') == nullptr && !is_dot_or_dot_dot(made.name);
      made.inside = fields.number(4) == 1;
      made.directory = fields.number(5) == 1;
      made.intended = fields.time(6);
      if (!made.named) fields.good = false;
    } else if (kind == "made" && role < ROLES) {
      target.made[role].identity = fields.identity(3);
      target.made[role].made = true;
    } else if (kind == "inplace") {
      target.in_place = true;
    } else if (kind == "mark") {
      target.mark = fields.time(2);
    } else if (kind == "directory") {
      std::array<char, TREE_PATH_LIMIT> place{};
      fields.string(2, place.data(), place.size());
      note_old_directory(static_cast<int>(index), place.data(), fields.identity(3));
    } else if (kind == "times") {
      target.inside_times = fields.attributes(2);
    } else if (kind == "copied") {
      target.copied = true;
    } else if (kind == "closed") {
      target.closed = true;
    } else if (kind == "plan" || kind == "planned") {
      const int which = fields.word(2) == "B" ? 1 : 0;
      target.plans[which][kind == "plan" ? 0 : 1] = kind == "plan" ? fields.end : fields.start;
      target.planned[which] = kind == "planned";
    } else if (kind == "digest") {
      target.digested = true;
      target.installed_identity = fields.identity(2);
      target.installed_digest = fields.hex(3);
      target.kept_identity = fields.identity(4);
      target.kept_digest = fields.hex(5);
    } else {
      fields.good = false;
    }
    if (!fields.good) break;
  }
  if (!fields.good || offset < log_end(receipt)) {
    errno = EBADMSG;
    return false;
  }
  return true;
}

namespace {

// Where the kernel will not move the target, its contents are swapped one
// level down: installing, a complete copy of the old contents is made
// first and becomes NAME.old; put back, what went out comes back, and the
// copy goes back under its own name.
bool put_back_in_place(Target* target) {
  const bool undoing = target->undoing;
  bool whole = true;
  if (target->is_directory && (undoing || (target->planned[0] && target->planned[1]))) {
    // The staged tree, which holds what went out, goes only once all is
    // back: where it is gone, a killed run had put everything back. (No one
    // else can move it out of its directory: it is root's, and not theirs
    // to write.)
    Descriptor staged(open_made(target, STAGED, DIRECTORY_FLAGS));
    if (!staged.is_open() && errno == ENOENT && !undoing) return keep_copy(target, false);
    Descriptor live(staged.is_open() ? open_live(*target) : -1);
    whole = live.is_open() &&
            run_plans(target, live.get(), staged.get(), -1, false, false, false) &&
            syncfs(live.get()) == 0;
    if (!live.is_open()) {
      std::printf("Unable to put back %s. %s.\n\n", target->path, failure_reason(errno));
    }
  } else if (!target->is_directory && (undoing || target->copied)) {
    Descriptor kept(open_made(target, KEPT, READ_FLAGS));
    if (!kept.is_open() && errno == ENOENT && !undoing) return keep_copy(target, false);
    whole = kept.is_open() &&
            rewrite(*target, kept.get(), path_beside(*target, target->made[KEPT].name));
    if (!whole) std::printf("Unable to put back %s. %s.\n\n", target->path, failure_reason(errno));
  }
  if (whole) return undoing || keep_copy(target, false);
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
                      target->made[STAGED].inside ? target->made[STAGED].name : nullptr,
                      target->made[STAGED].name, target->path, &target->slot, target->plans) ||
        !make_durable()) {
      return false;
    }
    target->planned[0] = target->planned[1] = true;
  }
  Descriptor copy(undoing ? -1 : openat(target->parent.get(), target->backup, DIRECTORY_FLAGS));
  if (!run_plans(target, live.get(), staged.get(), copy.get(), false, true, !undoing)) {
    return false;
  }
  if (syncfs(live.get()) == 0) return true;
  report_in_place(*target);
  return false;
}

}  // namespace

bool drive(Target* target, std::size_t index, bool forward, bool repairing) {
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
    const Step step = !target->undoing ? Step{beside, at, backup, staged.identity, old, true, told}
                      : target->replaces
                          ? Step{backup, at, out, target->kept_identity, old, true, told}
                          : Step{at, out, at, target->old_identity, {}, false, told};
    if (target->undoing && !work.is_open()) return false;
    if (!forward && !target->undoing && !staged.made) return true;
    const int taken = take_step(step, forward);
    if (taken != STEP_UNMOVABLE || !forward || target->undoing) {
      return taken == STEP_DONE &&
             (!forward || !target->replaces || !target->undoing || give_held(target, target->name));
    }
    target->in_place = true;
    if (!record_target("inplace", index) || !make_durable()) return false;
  }
  if (!forward) return put_back_in_place(target);
  return install_in_place(target, index) && (!target->undoing || give_held(target, target->name));
}

bool run_plans(Target* target, int live, int staged, int copy, bool receipt, bool forward,
               bool check_untouched) {
  std::array<char, 32> out_name{};
  make_work_name(out_name.data(), out_name.size(), target->made[STAGED].name, 'o');
  if (mkdirat(staged, out_name.data(), 0700) != 0 && errno != EEXIST) {
    std::printf("Unable to install %s in place. %s.\n\n", target->path, std::strerror(errno));
    return false;
  }
  Descriptor out(openat(staged, out_name.data(), DIRECTORY_FLAGS));
  Plan plan{receipt,         0,           0, live, staged, copy, out.get(), target->path,
            check_untouched, target->mark};
  if (!out.is_open()) return false;
  bool ran = true;
  for (int i = 0; i < 2; ++i) {
    const int which = forward ? i : 1 - i;
    plan.begin = target->plans[which][0];
    plan.end = target->plans[which][1];
    // Putting back goes on past a plan that could not be wholly, to put
    // back all it can.
    if (forward && !run_plan(plan, true)) return false;
    if (!forward) ran = run_plan(plan, false) && ran;
  }
  return ran;
}
