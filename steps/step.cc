#include "steps/step.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fs/fd.h"
#include "fs/walk.h"
#include "steps/holder.h"

bool find_entry(int directory, const char* preferred, const Identity& identity, char* name) {
  if (holds_entry(directory, preferred, identity)) {
    std::snprintf(name, NAME_BUFFER_SIZE, "%s", preferred);
    return true;
  }
  bool moved = false;
  // Walked to its end, the walk met it nowhere.
  if (for_each_entry(directory, [&](const char* entry, unsigned char) {
        moved = holds_entry(directory, entry, identity);
        if (moved) std::snprintf(name, NAME_BUFFER_SIZE, "%s", entry);
        return !moved;
      })) {
    errno = ENOENT;
  }
  return moved;
}

int open_as(int directory, const char* name, int flags, const Identity& identity) {
  Descriptor entry(openat(directory, name, flags));
  return entry.is_open() && holds_entry(entry.get(), "", identity) ? entry.release() : -1;
}

bool report_unable(const char* path, bool putting_back) {
  std::printf(
      putting_back ? "Unable to put back %s. %s.\n\n" : "Unable to install %s in place. %s.\n\n",
      path, failure_reason(errno));
  return false;
}

void report_left_alone(const char* path) {
  std::printf("Left %s alone: it is not what the interrupted installation made there.\n\n", path);
}

namespace {

constexpr int NOWHERE = 0;
constexpr int AT_FROM = 1;
constexpr int AT_AT = 2;
constexpr int AT_TO = 3;

int locate(const Step& step, Seen* seen, const Identity& identity) {
  const std::array<const Slot*, 3> slots{&step.at, &step.from, &step.to};
  constexpr std::array<int, 3> places{AT_AT, AT_FROM, AT_TO};
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (seen->looked[i] == 0) {
      seen->looked[i] =
          examine(slots[i]->directory, slots[i]->name, nullptr, &seen->found[i]) ? 1 : -1;
    }
    if (seen->looked[i] == 1 && same_identity(seen->found[i], identity)) return places[i];
  }
  return NOWHERE;
}

// Always STEP_FAILED. One level down, an entry where the step's must go is
// another's.
int report(const Step& step, const Slot& from, const Slot& to, bool forward) {
  if (step.told == TOLD_IN_PLACE) {
    if (errno == EEXIST) errno = NOT_THE_ENTRY;
    report_unable(step.at.path, !forward);
  } else {
    std::printf("Unable to rename %s to %s. %s.\n\n", from.path, to.path, failure_reason(errno));
  }
  return STEP_FAILED;
}

// The entry coming in, or the one going out, is not where the log left it.
int report_missing(const Step& step, bool in, bool forward) {
  if (step.told != TOLD_AS_REPAIR) {
    errno = NOT_THE_ENTRY;
    return report(step, in ? step.from : step.at, in ? step.at : step.to, forward);
  }
  struct stat status {};
  if (in && fstatat(step.from.directory, step.from.name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
    report_left_alone(step.from.path);
  }
  std::printf(
      "The %s contents of %s are no longer where the interrupted installation left them.\n\n",
      in ? "new" : "old", step.at.path);
  return STEP_FAILED;
}

// Moves the entry of identity from one slot to another, never over anything
// (or exchanges the two, bringing it out of to), and checks it came: another
// entry that took its name between the look and the rename goes back.
bool move_checked(const Slot& from, const Slot& to, const Identity& identity,
                  bool exchange = false) {
  const Slot& came = exchange ? from : to;
  const Slot& left = exchange ? to : from;
  if (!move_entry(from.directory, from.name, to.directory, to.name, exchange)) return false;
  if (holds_entry(came.directory, came.name, identity)) return true;
  move_entry(came.directory, came.name, left.directory, left.name, exchange);
  errno = NOT_THE_ENTRY;
  return false;
}

struct Frame {
  Descriptor live;
  Descriptor staged;
  Descriptor copy;
  Attributes old;
  bool has_old = false;
};

// The plan being run: a frame a directory it is in.
struct Running {
  const Target* target;
  int out;          // the out directory
  bool installing;  // an old entry goes only untouched since the copy began
  bool forward;
  std::size_t depth;
  int skipping;  // levels of a directory that cannot be put back, passed by
  bool whole;
  ShownPath shown;
  std::array<Frame, PLAN_DEPTH_LIMIT> frames;
};
Running running;

Frame& frame() { return running.frames[running.depth]; }

bool apply(int directory, const Attributes& attributes, bool times) {
  const timespec both[2] = {attributes.access, attributes.modification};
  return fchown(directory, attributes.user, attributes.group) == 0 &&
         fchmod(directory, attributes.mode) == 0 && (!times || futimens(directory, both) == 0);
}

bool report_entry(const char* path) { return report_unable(path, !running.forward); }

// Taking stops at a failure; putting back goes on, and the plan is not whole.
bool go_on(bool done) {
  running.whole = running.whole && done;
  return done || !running.forward;
}

// Goes into the directory name, which must be the one the plan names.
bool enter(const char* name, const Identity& identity) {
  Frame& above = frame();
  if (running.depth + 1 >= running.frames.size()) {
    errno = ELOOP;
    return false;
  }
  Frame& below = running.frames[++running.depth];
  shown_enter(&running.shown, name);
  below.live.reset(open_as(above.live.get(), name, DIRECTORY_FLAGS, identity));
  below.staged.reset(openat(above.staged.get(), name, DIRECTORY_FLAGS));
  below.copy.reset(above.copy.is_open() ? openat(above.copy.get(), name, DIRECTORY_FLAGS) : -1);
  return below.live.is_open();
}

// Leaving the target itself closes it too.
void leave() {
  Frame& left = frame();
  left.live.reset();
  left.staged.reset();
  left.copy.reset();
  if (running.depth == 0) return;
  --running.depth;
  shown_leave(&running.shown);
}

// A file changed since the copy began only as the run moved another of its
// names, or only in the moment the copy began, holds what its copy holds,
// as its copy keeps it.
bool untouched_file(const struct stat& now, const char* name) {
  if (earlier(now.st_ctim, running.target->mark)) return true;
  struct stat kept {};
  if (!frame().copy.is_open() ||
      fstatat(frame().copy.get(), name, &kept, AT_SYMLINK_NOFOLLOW) != 0 ||
      kept.st_mode != now.st_mode || kept.st_uid != now.st_uid || kept.st_gid != now.st_gid ||
      kept.st_size != now.st_size || kept.st_mtim.tv_sec != now.st_mtim.tv_sec ||
      kept.st_mtim.tv_nsec != now.st_mtim.tv_nsec) {
    return false;
  }
  if (!S_ISREG(now.st_mode)) return true;
  Descriptor one(openat(frame().live.get(), name, READ_FLAGS));
  Descriptor other(openat(frame().copy.get(), name, READ_FLAGS));
  std::array<char, 8192> first;
  std::array<char, 8192> second;
  for (off_t at = 0; one.is_open() && other.is_open();) {
    const ssize_t length = pread(one.get(), first.data(), first.size(), at);
    if (length < 0 || pread(other.get(), second.data(), second.size(), at) != length) break;
    if (length == 0) return true;
    if (std::memcmp(first.data(), second.data(), static_cast<std::size_t>(length)) != 0) break;
    at += length;
  }
  return false;
}

// Whether every entry below the directory name of directory is as the copy
// of the old contents took it: each changed before the copy began, which no
// call can fake (a write, a rename, a new link each set the change time to
// now), and none another mount.
int untouched_entry(void*, int directory, const char* name, unsigned char) {
  struct stat status {};
  bool mount = false;
  if (!examine(directory, name, &status, nullptr, &mount) ||
      !earlier(status.st_ctim, running.target->mark) || mount) {
    return WALK_STOP;
  }
  return S_ISDIR(status.st_mode) ? WALK_ENTER : WALK_NEXT;
}

bool untouched_below(int directory, const char* name) {
  const Descriptor tree(openat(directory, name, DIRECTORY_FLAGS));
  const WalkVisitor visitor{untouched_entry, nullptr, nullptr, nullptr};
  return tree.is_open() && walk_tree(tree.get(), visitor);
}

bool untouched(int directory, const char* name, const struct stat& status) {
  if (!S_ISDIR(status.st_mode)) return untouched_file(status, name);
  return earlier(status.st_ctim, running.target->mark) && mount_at(directory, name) == 0 &&
         untouched_below(directory, name);
}

// Takes the old entry name out of the frame's directory, into the out
// directory under slot: only where it is the entry the plan names and,
// installing, untouched since the copy; anything else stays.
bool take_out(const char* name, const Identity& identity, const char* slot, const char* path,
              const Attributes* attributes) {
  const Slot live{frame().live.get(), name, path};
  const Slot out{running.out, slot, path};
  struct stat status {};
  struct stat held {};
  Identity found;
  const bool there =
      examine(live.directory, name, &status, &found) && same_identity(found, identity);
  if (running.forward) {
    if (!there || holds_entry(out.directory, slot, identity)) return true;
    // A killed run began to empty it into its holder: what went out goes
    // back, and it stays, changed as it is by that run's own moves.
    if (fstatat(out.directory, slot, &held, AT_SYMLINK_NOFOLLOW) == 0) {
      return refill(out, live, identity) || report_entry(path);
    }
    if (running.installing && !untouched(live.directory, name, status)) return true;
    if (move_checked(live, out, identity)) {
      // Written in meanwhile, it goes back, and stays; where its name was
      // taken meanwhile, the run fails, and it waits with what went out.
      if (running.installing && S_ISDIR(status.st_mode) && !untouched_below(out.directory, slot) &&
          !move_checked(out, live, identity)) {
        if (errno == EEXIST) errno = NOT_THE_ENTRY;
        return report_entry(path);
      }
      return true;
    }
    if (errno != EXDEV || !S_ISDIR(status.st_mode)) return report_entry(path);
    const Descriptor from(open_as(live.directory, name, DIRECTORY_FLAGS, identity));
    const Descriptor holder(
        from.is_open() ? make_stand_in(out.directory, slot, from.get(), identity, path) : -1);
    const timespec* since = running.installing ? &running.target->mark : nullptr;
    bool touched = false;
    if (holder.is_open() && move_contents(from.get(), holder.get(), false, since, &touched) &&
        unlinkat(live.directory, name, AT_REMOVEDIR) == 0) {
      return true;
    }
    // Written in meanwhile, what went out goes back, and it stays.
    return (holder.is_open() && (touched || (since != nullptr && errno == ENOTEMPTY)) &&
            refill(out, live, identity)) ||
           report_entry(path);
  }
  if (fstatat(out.directory, slot, &held, AT_SYMLINK_NOFOLLOW) != 0) return true;
  bool back;
  if (there) {
    back = refill(out, live, identity);  // it stood in for a directory that could not move
  } else {
    // A holder gets back what it holds back before it goes; the very
    // directory, which went whole, is as it was, whatever its attributes say.
    const bool holder = S_ISDIR(held.st_mode) && !holds_entry(out.directory, slot, identity);
    const Descriptor whole(holder ? openat(out.directory, slot, DIRECTORY_FLAGS) : -1);
    back = (!holder || (whole.is_open() && open_up(whole.get()))) &&
           move_entry(out.directory, slot, live.directory, name) &&
           (!holder || forget_origin(whole.get()));
    if (!back && errno == EEXIST) errno = NOT_THE_ENTRY;  // another entry took its name
  }
  if (back && attributes != nullptr) {
    const timespec times[2] = {attributes->access, attributes->modification};
    back = utimensat(live.directory, name, times, AT_SYMLINK_NOFOLLOW) == 0;
  }
  return back || report_entry(path);
}

// Runs one record of the plan; false, reported, where it fails.
bool run_record(LogFields& fields) {
  const std::string_view kind = fields.word(0);
  std::array<char, NAME_BUFFER_SIZE> name{};
  fields.string(1, name.data(), name.size());
  const bool entering = (kind == "enter") == running.forward;
  if (running.skipping > 0) {
    if (kind == "enter" || kind == "leave") running.skipping += entering ? 1 : -1;
    return true;
  }
  Path path;
  join_path(&path, running.shown.text.data(), name.data());
  const Identity identity = fields.identity(2);
  if (kind == "enter" || kind == "leave") {
    if (entering) {
      if (std::strcmp(name.data(), ".") != 0 && !enter(name.data(), identity)) {
        leave();
        running.skipping = 1;
        return go_on(report_entry(path.data()));
      }
      frame().has_old = fields.count > 3;
      if (frame().has_old) frame().old = fields.attributes(3);
      // Put back, a directory gets its owner and mode as soon as it is
      // entered, its times once all it holds is back.
      return running.forward || !frame().has_old || apply(frame().live.get(), frame().old, false) ||
             go_on(report_entry(running.shown.text.data()));
    }
    const bool applied =
        running.forward ? fields.count <= 4 || apply(frame().live.get(), fields.attributes(4), true)
                        : !frame().has_old || apply(frame().live.get(), frame().old, true);
    if (!applied) report_entry(running.shown.text.data());
    leave();
    return go_on(applied);
  }
  std::array<char, 24> slot{};
  std::snprintf(slot.data(), slot.size(), "%lld",
                static_cast<long long>(fields.number(kind == "out" ? 3 : 4)));
  if (!fields.good) {
    errno = EBADMSG;
    return report_entry(path.data());
  }
  if (kind == "out") {
    const Attributes attributes = fields.count > 4 ? fields.attributes(4) : Attributes{};
    return go_on(take_out(name.data(), identity, slot.data(), path.data(),
                          fields.count > 4 ? &attributes : nullptr));
  }
  const Step step{{frame().staged.get(), name.data(), path.data()},
                  {frame().live.get(), name.data(), path.data()},
                  {running.out, slot.data(), path.data()},
                  identity,
                  fields.word(3) == "-" ? Identity{} : fields.identity(3),
                  TOLD_IN_PLACE};
  struct stat now {};
  Seen seen;
  // Only the very file the copy took goes out, untouched since: what
  // another user wrote at its name since (an upload) stays, and the run
  // fails. The step locates it from this same look.
  if (running.installing && step.out.inode != 0) {
    seen.looked[0] = examine(step.at.directory, name.data(), &now, &seen.found[0]) ? 1 : -1;
    if (seen.looked[0] == 1 && same_identity(seen.found[0], step.out)) {
      if (!untouched_file(now, name.data())) {
        errno = NOT_THE_ENTRY;
        return report_entry(path.data());
      }
      // Not taken yet, so the entry coming in is where the log left it:
      // in the staged tree, which no one else may enter.
      seen.looked[1] = 1;
      seen.found[1] = step.in;
    }
  }
  const int taken = take_step(step, running.forward, seen);
  if (taken == STEP_UNMOVABLE) report_entry(path.data());
  return go_on(taken == STEP_DONE);
}

}  // namespace

int take_step(const Step& step, bool forward, Seen seen) {
  const bool has_out = step.out.inode != 0;
  int in = locate(step, &seen, step.in);
  int out = has_out ? locate(step, &seen, step.out) : NOWHERE;
  if (forward) {
    if (in != AT_AT && in != AT_FROM) return report_missing(step, true, true);
    if (in == AT_FROM && has_out && out == AT_AT) {
      const bool exchanged = move_checked(step.from, step.at, step.out, true);
      if (!exchanged && cannot_move(errno)) return STEP_UNMOVABLE;
      // A file system that cannot exchange two names takes two renames.
      if (!exchanged && (!cannot_exchange(errno) || !move_checked(step.at, step.to, step.out))) {
        return cannot_move(errno) ? STEP_UNMOVABLE : report(step, step.at, step.to, true);
      }
      in = exchanged ? AT_AT : AT_FROM;
      out = exchanged ? AT_FROM : AT_TO;
    }
    if (in == AT_FROM) {
      if (has_out && out != AT_TO) return report_missing(step, false, true);
      if (move_checked(step.from, step.at, step.in)) return STEP_DONE;
      return cannot_move(errno) && !has_out ? STEP_UNMOVABLE
                                            : report(step, step.from, step.at, true);
    }
    if (!has_out || step.told == TOLD_IN_PLACE || out == AT_TO) return STEP_DONE;
    // The entry that stood there is gone from where the exchange left it:
    // moved away, or (an overlay's copy mounted again without its origin)
    // no longer the entry the log names. Nothing is finished on a guess.
    if (out != AT_FROM) return report_missing(step, false, true);
    return move_checked(step.from, step.to, step.out) ? STEP_DONE
                                                      : report(step, step.at, step.to, true);
  }
  if (has_out ? out == AT_AT : in != AT_AT) return STEP_DONE;
  if (has_out && out == NOWHERE) return report_missing(step, false, false);
  const Slot& held = out == AT_TO ? step.to : step.from;
  if (in == AT_AT) {
    if (has_out && move_checked(held, step.at, step.in, true)) {
      return out != AT_TO || move_checked(step.to, step.from, step.in)
                 ? STEP_DONE
                 : report(step, step.to, step.from, false);
    }
    if ((has_out && !cannot_exchange(errno)) || !move_checked(step.at, step.from, step.in)) {
      return report(step, step.at, step.from, false);
    }
  }
  return !has_out || move_checked(held, step.at, step.out) ? STEP_DONE
                                                           : report(step, held, step.at, false);
}

bool run_plans(const Target& target, int live, int staged, bool forward) {
  running.target = &target;
  running.installing = forward && !target.undoing;
  running.forward = forward;
  // NAME.old, beside the target, is the copy the run made only where it
  // holds the copy's identity: another user may write there.
  const Descriptor copy(running.installing ? open_as(target.parent.get(), target.backup,
                                                     DIRECTORY_FLAGS, target.made[COPY].identity)
                                           : -1);
  std::array<char, 32> out_name{};
  make_work_name(out_name.data(), out_name.size(), target.made[STAGED].name, 'o');
  const Descriptor out((!running.installing || copy.is_open()) &&
                               (mkdirat(staged, out_name.data(), 0700) == 0 || errno == EEXIST)
                           ? openat(staged, out_name.data(), DIRECTORY_FLAGS)
                           : -1);
  if (!out.is_open()) return report_unable(target.path, !forward);
  running.out = out.get();
  bool ran = true;
  for (int i = 0; i < 2 && (ran || !forward); ++i) {
    const off_t begin = target.plans[forward ? i : 1 - i][0];
    const off_t end = target.plans[forward ? i : 1 - i][1];
    running.depth = 0;
    running.skipping = 0;
    running.whole = true;
    shown_start(&running.shown, target.path);
    Frame& top = running.frames[0];
    top.live.reset(fcntl(live, F_DUPFD_CLOEXEC, 0));
    top.staged.reset(fcntl(staged, F_DUPFD_CLOEXEC, 0));
    top.copy.reset(copy.is_open() ? fcntl(copy.get(), F_DUPFD_CLOEXEC, 0) : -1);
    LogFields fields;
    bool read = true;
    for (off_t offset = forward ? begin : end; read && (forward ? offset < end : offset > begin);) {
      read = forward ? log_next(false, &offset, &fields) : log_previous(false, &offset, &fields);
      if (!read) {
        errno = EBADMSG;
        report_unable(target.path, !forward);
      }
      read = read && run_record(fields);
    }
    while (running.depth > 0) leave();
    leave();
    ran = read && running.whole && ran;
  }
  return ran;
}
