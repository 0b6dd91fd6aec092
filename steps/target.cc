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

// A mode but for the set-group-ID bit, which a directory takes from its
// parent.
constexpr mode_t PERMISSIONS = 07777 & ~S_ISGID;

constexpr std::array<const char*, ROLES> ROLE_NAMES{"staged", "copy", "kept"};
constexpr std::array<const char*, 4> PHASE_NAMES{"stage", "swap", "back", "done"};

bool record_failed() {
  std::printf("Unable to write %s. %s.\n\n", RECORD_PATH, std::strerror(errno));
  return false;
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
  // A directory killed before it got its mode has none.
  const mode_t mode = made.directory ? ((status.st_mode & PERMISSIONS) == 0 ? 0 : 0700) : 0600;
  Descriptor opened(
      made.directory && S_ISDIR(status.st_mode) ? openat(directory, name, DIRECTORY_FLAGS) : -1);
  const bool empty = opened.is_open() &&
                     for_each_entry(opened.get(), [](const char*, unsigned char) { return false; });
  return status.st_uid == geteuid() && (status.st_mode & PERMISSIONS) == mode &&
         (made.directory
              ? empty
              : S_ISREG(status.st_mode) && status.st_size == 0 && status.st_nlink == 1) &&
         (!identity.born || identity.seconds > made.intended.tv_sec ||
          (identity.seconds == made.intended.tv_sec &&
           identity.nanoseconds >= made.intended.tv_nsec));
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

bool append_record(const LogLine& line) { return log_append(line) || record_failed(); }

bool make_durable() { return log_sync() || record_failed(); }

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
    // A directory is made with no permissions at all, which no directory
    // of root's has, and given its own once opened: between the two calls
    // another user may have put one of theirs at the name, or one of root's
    // they may move (lost+found, in a volume's root).
    Descriptor entry(
        directory
            ? (mkdirat(where, made.name, 0) == 0 ? openat(where, made.name, DIRECTORY_FLAGS) : -1)
            : openat(where, made.name, NEW_FILE_FLAGS, 0600));
    if (!entry.is_open() && errno == EEXIST) continue;
    struct stat status {};
    if (!entry.is_open() || !examine(entry.get(), "", &status, &made.identity)) return -1;
    if (status.st_uid != geteuid() || (status.st_mode & (directory ? PERMISSIONS : 077)) != 0) {
      errno = NOT_THE_ENTRY;
      return -1;
    }
    if (directory && fchmod(entry.get(), 0700 | (status.st_mode & S_ISGID)) != 0) return -1;
    // An entry made inside the target changes its times, which its copy at
    // NAME.old must keep.
    const timespec kept[2] = {times.st_atim, times.st_mtim};
    if (inside && futimens(where, kept) != 0) return -1;
    // Known by its identity before anything changes it.
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
  return open_as(where_made(*target, made), name.data(), flags, made.identity);
}

bool remove_made(Target* target, int role) {
  Made& made = target->made[role];
  if (!made.named) return true;
  const int where = where_made(*target, made);
  const char* path = path_beside(*target, made.name, made.inside);
  std::array<char, NAME_BUFFER_SIZE> name{};
  struct stat status {};
  Identity found;
  bool ours = false;  // inside a target that is not there, it went with it
  if (where >= 0 && made.made) {
    ours = find_entry(where, made.name, made.identity, name.data());
    // Where the run put it in the target's place, it is the target's now.
    if (ours && !made.inside &&
        (std::strcmp(name.data(), target->name) == 0 ||
         std::strcmp(name.data(), target->backup) == 0)) {
      made = Made{};
      return true;
    }
    if (!ours && errno != ENOENT) {
      std::printf("Unable to examine %s. %s.\n\n", path, std::strerror(errno));
      return false;
    }
    // Gone: removed by a killed run, or moved away by someone else.
    if (!ours && !repairing) {
      std::printf(
          "The contents staged for %s were moved away from %s by someone else; they are "
          "left where they are.\n\n",
          target->path, path);
    }
  } else if (where >= 0 && examine(where, made.name, &status, &found)) {
    ours = made_when_named(where, made.name, status, found, made);
    if (!ours) report_left_alone(path);
    std::snprintf(name.data(), name.size(), "%s", made.name);
  }
  if (ours && !remove_tree(where, name.data(), made.made ? &made.identity : &found)) {
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

bool sync_targets(Target* targets, std::size_t count, bool whole) {
  bool synced = true;
  std::array<struct stat, 2 * TARGETS_LIMIT> done{};
  std::size_t done_count = 0;
  for (std::size_t i = 0; i < count; ++i) {
    for (int directory : {targets[i].parent.get(), whole ? targets[i].inside.get() : -1}) {
      struct stat status {};
      if (directory < 0) continue;
      if (fstat(directory, &status) != 0) {
        synced = false;
        continue;
      }
      if (std::any_of(done.begin(), done.begin() + done_count, [&](const struct stat& seen) {
            return seen.st_dev == status.st_dev && (whole || seen.st_ino == status.st_ino);
          })) {
        continue;
      }
      done[done_count++] = status;
      if ((whole ? syncfs(directory) : fsync(directory)) != 0) synced = false;
    }
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
    const auto* known = std::find(PHASE_NAMES.begin(), PHASE_NAMES.end(), fields.word(1));
    if (kind == "phase" && known != PHASE_NAMES.end()) {
      *phase = static_cast<int>(known - PHASE_NAMES.begin());
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
    } else if (kind == "back") {
      target.put_back = true;
    } else if (kind == "given") {
      target.given = true;
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
      if (fields.count > 6) {
        target.digest_key.half[0] = fields.hex(6);
        target.digest_key.half[1] = fields.hex(7);
      }
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

int read_receipt(Target* targets, char (*paths)[PATH_BUFFER_SIZE], std::size_t* count) {
  const char* kind = "";
  const int found = log_open(true, &kind);
  if (found == LOG_NONE) {
    std::printf("There is no installation to undo: %s does not exist.\n\n", RECEIPT_PATH);
    return RECEIPT_NONE;
  }
  int phase = PHASE_STAGE;
  bool committed = false;
  if (found == LOG_UNREADABLE || !read_targets(true, targets, paths, count, &phase, &committed) ||
      !committed || std::strcmp(kind, "install") != 0) {
    if (found != LOG_UNREADABLE) errno = EBADMSG;
    report_unusable(RECEIPT_PATH, "receipt");
    return RECEIPT_UNUSABLE;
  }
  return RECEIPT_READ;
}
