#include "steps/plan.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fs/copy.h"
#include "fs/fd.h"
#include "fs/walk.h"
#include "steps/log.h"
#include "steps/step.h"

namespace {

Attributes attributes_of(const struct stat& status) {
  return Attributes{status.st_uid, status.st_gid, status.st_mode & 07777, status.st_atim,
                    status.st_mtim};
}

// The old directories the copy saw, by target and place; open addressing.
struct OldDirectory {
  std::uint64_t key;
  Identity identity;
};
std::array<OldDirectory, std::size_t{1} << 16> old_directories;

std::uint64_t place_key(int target, const char* place) {
  std::uint64_t key = 1469598103934665603ULL ^ static_cast<std::uint64_t>(target + 1);
  for (const char* byte = place; *byte != '\0'; ++byte) {
    key = (key ^ static_cast<unsigned char>(*byte)) * 1099511628211ULL;
  }
  return key | 1;  // 0 marks a free slot
}

// The slot that holds key, or the free one it would take; none in a full table.
OldDirectory* slot_of(std::uint64_t key) {
  for (std::size_t tries = 0; tries < old_directories.size(); ++tries) {
    OldDirectory& slot = old_directories[(key + tries) % old_directories.size()];
    if (slot.key == 0 || slot.key == key) return &slot;
  }
  return nullptr;
}

// Installing, the other tree's directory at this level; an undo follows
// the installation's plans with the copy of NAME.old there, the live
// directory beside, its attributes now (old) and those it was found with.
struct Level {
  Descriptor other;
  Descriptor live;
  char name[NAME_BUFFER_SIZE];
  Identity identity;  // the live directory's
  Attributes old;
  Attributes found;
};

// One plan being written: a walk down one tree, the other followed beside.
struct Planning {
  int target;
  Path place;    // the level's place below the target, "a/b/"
  bool swaps;    // the second plan: down the staged tree; else down the live one
  bool overlay;  // the live tree is an overlay's
  long* slot;
  const Identity* left_out;
  std::array<std::array<char, 32>, 3> work_names;
  std::size_t depth;
  bool failed;
  ShownPath shown;
  std::array<Level, PLAN_DEPTH_LIMIT> levels;
};
Planning planning;

// A line of a plan: a directory entered or left, or a step ("swap" or
// "out"), which takes the next slot for the name of what goes out. A swap
// names what it swaps with, or "-" where its name is free.
void record(const char* kind, const char* name, const Identity& identity, const Identity* out,
            const Attributes* first = nullptr, const Attributes* second = nullptr) {
  LogLine line;
  add_word(&line, kind);
  add_string(&line, name);
  add_identity(&line, identity);
  if (kind[0] == 's' && out != nullptr) add_identity(&line, *out);
  if (kind[0] == 's' && out == nullptr) add_word(&line, "-");
  if (kind[0] == 's' || kind[0] == 'o') add_number(&line, (*planning.slot)++);
  if (first != nullptr) add_attributes(&line, *first);
  if (second != nullptr) add_attributes(&line, *second);
  if (planning.failed || log_append(line)) return;
  std::printf("Unable to write %s. %s.\n\n", RECORD_PATH, std::strerror(errno));
  planning.failed = true;
}

bool plan_failed(const char* name) {
  Path path;
  join_path(&path, planning.shown.text.data(), name);
  planning.failed = true;
  return report_unable(path.data(), false);
}

int walk_failed(const char* name) {
  plan_failed(name);
  return WALK_STOP;
}

// Whether the live directory name is the old one the copy took there, at
// "name/" added to the place, where the walk goes in next (or stops).
bool known_directory(const char* name, const Identity& identity) {
  Path& place = planning.place;
  const std::size_t length = std::strlen(place.data());
  const int added = std::snprintf(place.data() + length, place.size() - length, "%s/", name);
  if (added < 0 || static_cast<std::size_t>(added) >= place.size() - length) {
    errno = ENAMETOOLONG;
    return false;
  }
  const OldDirectory* known = slot_of(place_key(planning.target, place.data()));
  if (known != nullptr && known->key != 0 && same_identity(identity, known->identity)) return true;
  errno = NOT_THE_ENTRY;
  return false;
}

int plan_entry(void*, int directory, const char* name, unsigned char type) {
  Level& level = planning.levels[planning.depth];
  if (planning.depth == 0 &&
      ((planning.left_out != nullptr && holds_entry(directory, name, *planning.left_out)) ||
       (planning.swaps &&
        std::any_of(planning.work_names.begin(), planning.work_names.end(),
                    [&](const auto& work) { return std::strcmp(name, work.data()) == 0; })))) {
    return WALK_NEXT;
  }
  const int live = planning.swaps ? level.other.get() : directory;
  const int staged = planning.swaps ? directory : level.other.get();
  struct stat now {};
  struct stat fresh {};
  Identity now_identity;
  Identity fresh_identity;
  bool in_mount = false;
  const bool in_package = examine(staged, name, &fresh, &fresh_identity);
  // The first plan passes by an old file the package holds as a file too
  // (the second swaps it): the type its directory lists says so without a
  // look, but on an overlay, where each old file is settled first.
  if (!planning.swaps && !planning.overlay && in_package && !S_ISDIR(fresh.st_mode) &&
      type != DT_DIR && type != DT_UNKNOWN) {
    return WALK_NEXT;
  }
  bool in_live = examine(live, name, &now, &now_identity, &in_mount);
  // A mount that lets no one else look, root included: a user's FUSE mount.
  if (!in_live && errno == EACCES) in_live = in_mount = true;
  // An old file of an overlay's lower layer is copied up now, after the
  // copy of the old contents, which kept its links and holes: a rename
  // would copy it up under another identity.
  if ((!in_live && errno != ENOENT) || (in_live && planning.overlay && !S_ISDIR(now.st_mode) &&
                                        !settle(live, name, &now_identity))) {
    return walk_failed(name);
  }
  const bool mount = in_live && in_mount;
  const bool both_directories =
      in_live && in_package && S_ISDIR(now.st_mode) && S_ISDIR(fresh.st_mode);
  // Another mount is left as it is by the first plan (the copy named it);
  // what the package swaps, or goes into, is the second plan's.
  if (!planning.swaps && (mount || (in_package && S_ISDIR(now.st_mode) == S_ISDIR(fresh.st_mode) &&
                                    !both_directories))) {
    return WALK_NEXT;
  }
  if (mount) errno = EBUSY;
  if (mount || (both_directories && !known_directory(name, now_identity))) return walk_failed(name);
  const Attributes old = attributes_of(now);
  if (both_directories) {
    record("enter", name, now_identity, nullptr, &old);
    return WALK_ENTER;
  }
  if (!planning.swaps) {
    record("out", name, now_identity, nullptr, S_ISDIR(now.st_mode) ? &old : nullptr);
    return WALK_NEXT;
  }
  const bool swapped = in_live && !S_ISDIR(now.st_mode) && !S_ISDIR(fresh.st_mode);
  record("swap", name, fresh_identity, swapped ? &now_identity : nullptr);
  return WALK_NEXT;
}

int plan_entered(void*, int, int directory, const char* name) {
  Level& above = planning.levels[planning.depth];
  if (directory < 0 || planning.depth + 1 >= planning.levels.size()) return walk_failed(name);
  Level& below = planning.levels[++planning.depth];
  below.other.reset(openat(above.other.get(), name, DIRECTORY_FLAGS));
  std::snprintf(below.name, sizeof below.name, "%s", name);
  struct stat status {};
  const int live = planning.swaps ? below.other.get() : directory;
  if (!below.other.is_open() || !examine(live, "", &status, &below.identity)) {
    return walk_failed(name);
  }
  below.old = attributes_of(status);
  shown_enter(&planning.shown, name);
  return WALK_ENTER;
}

bool plan_left(void*, int directory) {
  Level& level = planning.levels[planning.depth];
  const char* name = planning.depth == 0 ? "." : level.name;
  struct stat staged {};
  if (planning.swaps && fstat(directory, &staged) != 0) return plan_failed(name);
  // Each directory the package keeps ends as one the installation makes.
  const Attributes made{geteuid(), getegid(), CREATED_DIRECTORY_MODE, staged.st_atim,
                        staged.st_mtim};
  record("leave", name, level.identity, nullptr, &level.old, planning.swaps ? &made : nullptr);
  if (planning.depth > 0) {
    level.other.reset();
    --planning.depth;
    shown_leave(&planning.shown);
    planning.place[std::strlen(planning.place.data()) - std::strlen(level.name) - 1] = '\0';
  }
  return !planning.failed;
}

// The line that opens or closes a plan; where its steps begin or end.
bool mark(const char* word, const char* which, off_t* at) {
  LogLine line = target_line(word, static_cast<std::size_t>(planning.target));
  add_word(&line, which);
  if (word[4] == 'n') *at = log_offset();
  if (!log_append(line)) return false;
  if (word[4] != 'n') *at = log_offset();
  return true;
}

void undo_up() {
  planning.levels[planning.depth].other.reset();
  planning.levels[planning.depth--].live.reset();
}

// Writes the undo's line for one of the installation's; false, errno set,
// where a directory, or an old entry in the copy, cannot be opened.
bool undo_record(LogFields* fields) {
  const std::string_view kind = fields->word(0);
  std::array<char, NAME_BUFFER_SIZE> name{};
  fields->string(1, name.data(), name.size());
  const Identity identity = fields->identity(2);
  std::size_t& depth = planning.depth;
  if (kind == "enter" && std::strcmp(name.data(), ".") != 0) {
    if (depth + 1 >= PLAN_DEPTH_LIMIT) {
      errno = ELOOP;
      return false;
    }
    const Level& up = planning.levels[depth++];
    planning.levels[depth].other.reset(openat(up.other.get(), name.data(), DIRECTORY_FLAGS));
    planning.levels[depth].live.reset(openat(up.live.get(), name.data(), DIRECTORY_FLAGS));
  }
  Level& level = planning.levels[depth];
  if (kind == "enter") {
    struct stat status {};
    if (!level.other.is_open() || !level.live.is_open() || fstat(level.live.get(), &status) != 0) {
      return false;
    }
    level.old = attributes_of(status);
    level.found = fields->attributes(3);
    record("enter", name.data(), identity, nullptr, &level.old);
  } else if (kind == "leave") {
    // Each directory gets back what the installation found it with.
    record("leave", name.data(), identity, nullptr, &level.old, &level.found);
    if (depth > 0) undo_up();
  } else if ((kind == "swap" && fields->word(3) != "-") ||
             (kind == "out" && !holds_entry(level.live.get(), name.data(), identity))) {
    // What went out comes back from the copy; written in since the copy
    // began, it stayed, and stays.
    Identity copied;
    if (!examine(level.other.get(), name.data(), nullptr, &copied)) return false;
    record("swap", name.data(), copied, kind == "swap" ? &identity : nullptr);
  } else if (kind == "swap") {
    record("out", name.data(), identity, nullptr);
  }
  return true;
}

// Any change of attributes copies a directory up; its access time set to
// what it is changes nothing else. A file is left in its layer: copied up,
// it would lose its other links and its holes.
int settle_entry(void*, int directory, const char* name, unsigned char type) {
  struct stat status {};
  bool mount = false;
  if (type != DT_DIR && type != DT_UNKNOWN) return WALK_NEXT;
  if (!examine(directory, name, &status, nullptr, &mount)) return WALK_STOP;
  const timespec times[2] = {status.st_atim, {0, UTIME_OMIT}};
  if (!S_ISDIR(status.st_mode) || mount) return WALK_NEXT;
  return utimensat(directory, name, times, AT_SYMLINK_NOFOLLOW) == 0 ? WALK_ENTER : WALK_STOP;
}

}  // namespace

void note_old_directory(int target, const char* place, const Identity& identity) {
  const std::uint64_t key = place_key(target, place);
  OldDirectory* slot = slot_of(key);
  if (slot != nullptr) *slot = OldDirectory{key, identity};  // full: unknown, and not entered
}

bool plan_install(Target* target, std::size_t index, int live, int staged) {
  const Made& staging = target->made[STAGED];
  planning.target = static_cast<int>(index);
  planning.slot = &target->slot;
  planning.left_out = staging.inside ? &staging.identity : nullptr;
  for (std::size_t i = 0; i < planning.work_names.size(); ++i) {
    make_work_name(planning.work_names[i].data(), planning.work_names[i].size(), staging.name,
                   "ohm"[i]);
  }
  for (const bool swaps : {false, true}) {
    planning.place[0] = '\0';
    planning.swaps = swaps;
    planning.depth = 0;
    planning.failed = false;
    shown_start(&planning.shown, target->path);
    Level& top = planning.levels[0];
    struct stat status {};
    top.other.reset(fcntl(swaps ? live : staged, F_DUPFD_CLOEXEC, 0));
    if (!top.other.is_open() || !examine(live, "", &status, &top.identity)) return plan_failed(".");
    top.old = attributes_of(status);
    struct statfs file_system {};
    planning.overlay =
        fstatfs(live, &file_system) == 0 && file_system.f_type == OVERLAYFS_SUPER_MAGIC;
    const char* which = swaps ? "B" : "A";
    off_t* range = target->plans[swaps ? 1 : 0];
    if (!mark("plan", which, &range[0])) return false;
    record("enter", ".", top.identity, nullptr, &top.old);
    const WalkVisitor visitor{plan_entry, plan_entered, plan_left, nullptr};
    if (!walk_tree(swaps ? staged : live, visitor)) {
      if (!planning.failed) plan_failed(".");
      while (planning.depth > 0) planning.levels[planning.depth--].other.reset();
      return false;
    }
    if (planning.failed || !mark("planned", which, &range[1])) return false;
  }
  return true;
}

bool plan_undo(Target* target, std::size_t index, int live, int copy, const Target& receipt) {
  planning.target = static_cast<int>(index);
  planning.slot = &target->slot;
  planning.failed = false;
  // The installation's swaps (its second plan) are undone first, then what
  // it took out (its first) comes back.
  for (int i = 0; i < 2; ++i) {
    const char* which = i == 0 ? "A" : "B";
    planning.depth = 0;
    planning.levels[0].other.reset(fcntl(copy, F_DUPFD_CLOEXEC, 0));
    planning.levels[0].live.reset(fcntl(live, F_DUPFD_CLOEXEC, 0));
    LogFields fields;
    bool planned = mark("plan", which, &target->plans[i][0]);
    off_t offset = receipt.plans[1 - i][0];
    const off_t end = receipt.plans[1 - i][1];
    while (planned && offset < end) {
      planned = log_next(true, &offset, &fields) && undo_record(&fields);
      if (planned && !fields.good) errno = EBADMSG;
      planned = planned && fields.good && !planning.failed;
    }
    planned = planned && offset >= end && mark("planned", which, &target->plans[i][1]);
    if (!planned) report_unable(target->path, true);
    while (planning.depth > 0) undo_up();
    if (!planned) return false;
  }
  return true;
}

bool settle_tree(int directory) {
  struct statfs file_system {};
  if (fstatfs(directory, &file_system) != 0) return false;
  if (file_system.f_type != OVERLAYFS_SUPER_MAGIC) return true;
  const WalkVisitor visitor{settle_entry, nullptr, nullptr, nullptr};
  return walk_tree(directory, visitor);
}
