#include "steps/holder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>

#include "fs/fd.h"
#include "fs/keep.h"
#include "fs/walk.h"
#include "steps/step.h"

namespace {

constexpr const char* ORIGIN = "user.langext.origin";

// The identity as an attribute's value, then the owner, group and mode
// the stand-in holds back: eight numbers of eight bytes (the release before
// this one wrote the first five alone, and held nothing back).
using OriginValue = std::array<std::uint64_t, 8>;
constexpr std::size_t EARLIER_ORIGIN_SIZE = 5 * sizeof(std::uint64_t);

// False, errno set (ENODATA: it names none), where it names no entry;
// *held null where it holds nothing back. Either may be null.
bool get_origin(int directory, Identity* identity, const OriginValue** held = nullptr) {
  static OriginValue value;
  const ssize_t length = fgetxattr(directory, ORIGIN, value.data(), sizeof value);
  if (length != sizeof value && length != EARLIER_ORIGIN_SIZE) {
    if (length >= 0) errno = ENODATA;
    return false;
  }
  if (held != nullptr) *held = length == sizeof value ? &value : nullptr;
  if (identity == nullptr) return true;
  *identity = Identity{static_cast<dev_t>(value[0]), static_cast<ino_t>(value[1]), value[2] != 0,
                       static_cast<std::int64_t>(value[3]), static_cast<std::uint32_t>(value[4])};
  return true;
}

// Gives a stand-in the owner, group and mode its origin holds back, and
// keeps the identity alone, for a merge.
bool give_back_held(void*, int directory) {
  const OriginValue* held = nullptr;
  if (!get_origin(directory, nullptr, &held)) return errno == ENODATA;
  return held == nullptr ||
         (fchown(directory, static_cast<uid_t>((*held)[5]), static_cast<gid_t>((*held)[6])) == 0 &&
          fchmod(directory, static_cast<mode_t>((*held)[7]) & 07777) == 0 &&
          fsetxattr(directory, ORIGIN, held->data(), EARLIER_ORIGIN_SIZE, 0) == 0);
}

int enter_directories(void*, int directory, const char* name, unsigned char type) {
  struct stat status {};
  if (type == DT_UNKNOWN && fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
    return S_ISDIR(status.st_mode) ? WALK_ENTER : WALK_NEXT;
  }
  return type == DT_DIR ? WALK_ENTER : WALK_NEXT;
}

struct MoveContents {
  bool back;              // into the live tree
  const timespec* since;  // taking out: when the copy began
  bool touched;
  int held;  // putting back: a stand-in that holds its attributes back
  std::size_t depth;
  std::array<int, PLAN_DEPTH_LIMIT> to;  // a descriptor a level, the top the caller's
};
MoveContents moving;

bool stands_in_for(int holder, const char* name, const Identity& identity) {
  const Descriptor made(openat(holder, name, DIRECTORY_FLAGS));
  Identity origin;
  return made.is_open() && get_origin(made.get(), &origin) && same_identity(identity, origin);
}

// Taking out, an entry changed, removed or swapped meanwhile stops the
// walk: what went out goes back, and the directory stays.
int touched() {
  moving.touched = true;
  return WALK_STOP;
}

int move_one(void*, int directory, const char* name, unsigned char) {
  const int to = moving.to[moving.depth];
  struct stat status {};
  Identity identity;
  if (!examine(directory, name, &status, &identity)) {
    return !moving.back && errno == ENOENT ? touched() : WALK_STOP;
  }
  const bool is_directory = S_ISDIR(status.st_mode);
  if (moving.back) {
    Descriptor stand_in(is_directory ? openat(directory, name, DIRECTORY_FLAGS) : -1);
    const OriginValue* held = nullptr;
    if (is_directory && (!stand_in.is_open() ||
                         (!get_origin(stand_in.get(), nullptr, &held) && errno != ENODATA))) {
      return WALK_STOP;
    }
    // It and every stand-in below get back what they hold while still in
    // the holder, where no one else reaches them; this walk stops for that
    // and goes on afresh, as a walk holds no other.
    if (held != nullptr) {
      moving.held = stand_in.release();
      return WALK_STOP;
    }
    if (move_entry(directory, name, to, name)) {
      return !is_directory || forget_origin(stand_in.get()) ? WALK_NEXT : WALK_STOP;
    }
    if (errno != EEXIST) return WALK_STOP;
    // Where its name is taken, a stand-in goes on only into the very
    // directory it stands in for; one that holds nothing (made, and not yet
    // named, when a run was killed) gives nothing back, and goes.
    Identity there;
    if (!is_directory || !examine(to, name, nullptr, &there) ||
        !stands_in_for(directory, name, there)) {
      if (is_directory && unlinkat(directory, name, AT_REMOVEDIR) == 0) return WALK_NEXT;
      errno = NOT_THE_ENTRY;
      return WALK_STOP;
    }
  } else {
    // Out of the live tree a directory is emptied, whether or not it could
    // move whole, so that each entry below it is looked at as it goes; one
    // met again, emptied, has one standing in for it already. Taken out,
    // anything else goes only untouched since the copy began: what another
    // user wrote meanwhile stays, and the directory with it.
    const bool met = is_directory && stands_in_for(to, name, identity);
    if (moving.since != nullptr && !met && !earlier(status.st_ctim, *moving.since)) {
      return touched();
    }
    if (!is_directory) {
      if (!move_entry(directory, name, to, name)) return errno == ENOENT ? touched() : WALK_STOP;
      // What moved must be what was looked at, as it was. An overlay copies
      // a file of its lower layer up as it moves, with a birth time of its
      // own, but keeps its number, size and times. Another entry swapped in
      // for it goes back; its name taken again meanwhile, beside it under a
      // name of its own: nothing of another's stays among what went out.
      struct stat moved {};
      if (examine(to, name, &moved, nullptr) && moved.st_ino == status.st_ino &&
          moved.st_dev == status.st_dev && moved.st_mode == status.st_mode &&
          moved.st_size == status.st_size && !earlier(moved.st_mtim, status.st_mtim) &&
          !earlier(status.st_mtim, moved.st_mtim)) {
        return WALK_NEXT;
      }
      if (move_entry(to, name, directory, name)) return touched();
      std::array<char, NAME_BUFFER_SIZE> aside{};
      make_staging_name(aside.data(), name, NAME_MAX);
      return move_entry(to, name, directory, aside.data()) ? touched() : WALK_STOP;
    }
    if (!met) {
      const Descriptor source(open_as(directory, name, DIRECTORY_FLAGS, identity));
      if (!source.is_open()) {
        return errno == NOT_THE_ENTRY || errno == ENOENT ? touched() : WALK_STOP;
      }
      const Descriptor made(make_stand_in(to, name, source.get(), identity, name));
      if (!made.is_open()) return WALK_STOP;
    }
  }
  // Emptied (the walk comes back to read its parent again), it goes.
  if (unlinkat(directory, name, AT_REMOVEDIR) == 0) return WALK_NEXT;
  if (errno == ENOTEMPTY || errno == EEXIST) return WALK_ENTER;
  return !moving.back && errno == ENOENT ? touched() : WALK_STOP;
}

// Going down, the level opened by name must be the directory the stand-in
// names: its owner may have swapped another in since it was looked at.
int move_entered(void*, int, int directory, const char* name) {
  Identity origin;
  const int above = moving.to[moving.depth];
  Descriptor below;
  if (directory < 0) return !moving.back && errno == ENOENT ? touched() : WALK_STOP;
  if (moving.back) {
    if (get_origin(directory, &origin)) below.reset(open_as(above, name, DIRECTORY_FLAGS, origin));
  } else {
    below.reset(openat(above, name, DIRECTORY_FLAGS));
    if (below.is_open() &&
        !(get_origin(below.get(), &origin) && holds_entry(directory, "", origin))) {
      return touched();
    }
  }
  if (!below.is_open()) return WALK_STOP;
  if (moving.depth + 1 >= moving.to.size()) {
    errno = ELOOP;
    return WALK_STOP;
  }
  moving.to[++moving.depth] = below.release();
  return WALK_ENTER;
}

bool move_left(void*, int) {
  if (moving.depth > 0) close(moving.to[moving.depth--]);
  return true;
}

}  // namespace

int make_stand_in(int directory, const char* name, int source, const Identity& identity,
                  const char* path) {
  struct stat status {};
  if (mkdirat(directory, name, 0700) != 0 || fstat(source, &status) != 0) return -1;
  Descriptor made(openat(directory, name, DIRECTORY_FLAGS));
  const OriginValue value{identity.device,         identity.inode,
                          identity.born ? 1U : 0U, static_cast<std::uint64_t>(identity.seconds),
                          identity.nanoseconds,    status.st_uid,
                          status.st_gid,           status.st_mode};
  // Root's and closed to others while it holds what went out: whoever
  // reached it by ".." from a directory passing through could write there.
  // Closed first, so that it is never root's and open.
  if (!made.is_open() || !keep_attributes(source, made.get(), path) ||
      fsetxattr(made.get(), ORIGIN, value.data(), sizeof value, 0) != 0 ||
      fchmod(made.get(), 0700) != 0 || fchown(made.get(), geteuid(), getegid()) != 0) {
    return -1;
  }
  return made.release();
}

bool forget_origin(int directory) {
  return fremovexattr(directory, ORIGIN) == 0 || errno == ENODATA;
}

bool open_up(int directory) {
  const OriginValue* held = nullptr;
  if (!get_origin(directory, nullptr, &held)) return errno == ENODATA;
  const WalkVisitor visitor{enter_directories, nullptr, give_back_held, nullptr};
  return held == nullptr || walk_tree(directory, visitor);
}

bool move_contents(int from, int to, bool back, const timespec* since, bool* touched) {
  moving.back = back;
  moving.since = since;
  moving.touched = false;
  const WalkVisitor visitor{move_one, move_entered, move_left, nullptr, true};
  for (;;) {
    moving.held = -1;
    moving.depth = 0;
    moving.to[0] = to;
    const bool moved = walk_tree(from, visitor);
    while (moving.depth > 0) close(moving.to[moving.depth--]);
    if (touched != nullptr) *touched = moving.touched;
    if (moving.held < 0) return moved;
    const Descriptor held(moving.held);
    if (!open_up(held.get())) return false;
  }
}

bool refill(const Slot& out, const Slot& live, const Identity& identity) {
  const Descriptor holder(openat(out.directory, out.name, DIRECTORY_FLAGS));
  const Descriptor into(open_as(live.directory, live.name, DIRECTORY_FLAGS, identity));
  return holder.is_open() && into.is_open() && move_contents(holder.get(), into.get(), true) &&
         unlinkat(out.directory, out.name, AT_REMOVEDIR) == 0;
}
