#include "fs/keep.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fs/entry.h"
#include "fs/fd.h"
#include "fs/walk.h"

namespace {

// Owner-only until the copy is complete, like everything it is made in.
constexpr mode_t FILLING_MODE = 0600;
constexpr mode_t MODE_BITS = 07777;
constexpr off_t BLOCK_UNIT = 512;  // the unit of st_blocks
constexpr const char* NOT_KEPT = "It is of a type that no copy can make again";
constexpr const char* DEFAULT_ACL = "system.posix_acl_default";
// What a new entry takes from a default ACL above it; a file only the first.
constexpr char INHERITED[] = "system.posix_acl_access\0system.posix_acl_default";
constexpr std::size_t INHERITED_BY_FILES = sizeof "system.posix_acl_access";
// The kernel's bounds for a list of names and for one value, so that no
// attribute is ever too large to keep.
constexpr std::size_t ATTRIBUTES_SIZE = 65536;

// Nothing here is re-entered: one set of buffers serves every entry.
std::array<char, ATTRIBUTES_SIZE> source_names;
std::array<char, ATTRIBUTES_SIZE> destination_names;
std::array<char, ATTRIBUTES_SIZE> attribute_value;
std::array<char, 65536> copy_buffer;

void report(const char* source, const char* destination, const char* reason) {
  std::printf("Unable to copy %s to %s. %s.\n\n", source, destination, reason);
}

void report_error(const char* source, const char* destination) {
  report(source, destination, failure_reason(errno));
}

// A file with further links, the first of whose links was kept.
struct LinkedFile {
  dev_t device;
  ino_t inode;
  dev_t copy_device;  // what its other links are linked to
  ino_t copy_inode;
  nlink_t unmet;  // its links not met yet; 0 when the slot is free
  Path where;     // below the copy's top
};

// Which attributes of the destination that the source lacks are removed:
// none, those a default ACL above it gave it, or every one.
enum class Extras { KEPT, INHERITED, ALL };

// The one copy running: where it stands in both trees, and its links.
struct Keep {
  int source_top = -1;
  int top = -1;  // the destination's top, from which a link's first copy is reached
  int to = -1;   // the destination directory of the level being read
  std::size_t depth = 0;
  dev_t device = 0;  // the source's file system
  Extras extras = Extras::KEPT;
  int failures = 0;
  const char* left_out = nullptr;
  int holder = -1;
  const KeepWatch* watch = nullptr;
  ShownPath source;
  ShownPath destination;
  Path where;  // the level below the top, "a/b/", as far as it fits
  std::size_t where_hidden = 0;
  int used = 0;
  std::array<LinkedFile, KEPT_LINKS_LIMIT> links;
};
Keep keep;

// Extended attributes are read and written through a descriptor, or for a
// symbolic link, which no descriptor can serve, through a path under
// /proc/self/fd that does not follow it.
struct Holder {
  int fd;
  const char* link;
};

ssize_t list_attributes(const Holder& h, char* list, std::size_t size) {
  return h.link != nullptr ? llistxattr(h.link, list, size) : flistxattr(h.fd, list, size);
}

bool in_list(const char* list, std::size_t length, const char* name) {
  for (const char* entry = list; entry < list + length; entry += std::strlen(entry) + 1) {
    if (std::strcmp(entry, name) == 0) return true;
  }
  return false;
}

void report_attribute(const char* name, const char* source, const char* destination) {
  std::printf("Unable to keep the attribute %s of %s in %s. %s.\n\n", name, source, destination,
              std::strerror(errno));
}

// Gives destination every extended attribute of source, and removes the
// extras it has that source lacks. Reports, naming it, an attribute that
// cannot be kept: the destination's file system may hold none, or not of
// that kind.
bool keep_attribute_list(const Holder& source, const Holder& destination, Extras extras,
                         bool is_directory, const char* source_path, const char* destination_path) {
  ssize_t listed = list_attributes(source, source_names.data(), source_names.size());
  if (listed < 0 && errno != ENOTSUP) {
    report_error(source_path, destination_path);
    return false;
  }
  const std::size_t names = listed < 0 ? 0 : static_cast<std::size_t>(listed);
  for (const char* name = source_names.data(); name < source_names.data() + names;
       name += std::strlen(name) + 1) {
    const ssize_t length =
        source.link != nullptr
            ? lgetxattr(source.link, name, attribute_value.data(), ATTRIBUTES_SIZE)
            : fgetxattr(source.fd, name, attribute_value.data(), ATTRIBUTES_SIZE);
    if (length < 0 && errno == ENODATA) continue;  // removed since it was listed
    const auto size = static_cast<std::size_t>(length);
    if (length < 0 ||
        (destination.link != nullptr
             ? lsetxattr(destination.link, name, attribute_value.data(), size, 0)
             : fsetxattr(destination.fd, name, attribute_value.data(), size, 0)) != 0) {
      report_attribute(name, source_path, destination_path);
      return false;
    }
  }
  if (extras == Extras::KEPT) return true;
  const char* present = INHERITED;
  std::size_t present_length = is_directory ? sizeof INHERITED : INHERITED_BY_FILES;
  if (extras == Extras::ALL) {
    const ssize_t found =
        list_attributes(destination, destination_names.data(), destination_names.size());
    if (found < 0 && errno != ENOTSUP) {
      report_error(source_path, destination_path);
      return false;
    }
    present = destination_names.data();
    present_length = found < 0 ? 0 : static_cast<std::size_t>(found);
  }
  for (const char* name = present; name < present + present_length; name += std::strlen(name) + 1) {
    // A label the system gives every new entry is the system's to keep.
    if (in_list(source_names.data(), names, name) ||
        (std::strncmp(name, "security.", 9) == 0 &&
         std::strcmp(name, "security.capability") != 0)) {
      continue;
    }
    const int removed = destination.link != nullptr ? lremovexattr(destination.link, name)
                                                    : fremovexattr(destination.fd, name);
    if (removed != 0 && errno != ENODATA && errno != ENOTSUP) {
      report_attribute(name, source_path, destination_path);
      return false;
    }
  }
  return true;
}

// The owner first: giving a file away clears its set-user-ID bit and its
// capability. Then the extended attributes, an access ACL among them
// setting the group bits its own way; then the mode, which agrees with that
// ACL; the times last, since every change before touched them.
bool keep_inode(const Holder& source, const Holder& destination, int at, const char* name,
                const struct stat& status, Extras extras, const char* source_path,
                const char* destination_path) {
  const timespec times[2] = {status.st_atim, status.st_mtim};
  const bool by_name = destination.link != nullptr;
  if ((by_name ? fchownat(at, name, status.st_uid, status.st_gid, AT_SYMLINK_NOFOLLOW)
               : fchown(destination.fd, status.st_uid, status.st_gid)) != 0) {
    report_error(source_path, destination_path);
    return false;
  }
  if (!keep_attribute_list(source, destination, extras, S_ISDIR(status.st_mode), source_path,
                           destination_path)) {
    return false;
  }
  // The entry at name is the one just made, where no one else can reach: a
  // mode set through the name lands on it. A link has no mode of its own.
  const mode_t mode = status.st_mode & MODE_BITS;
  if ((by_name ? (!S_ISLNK(status.st_mode) && fchmodat(at, name, mode, 0) != 0)
               : fchmod(destination.fd, mode) != 0) ||
      (by_name ? utimensat(at, name, times, AT_SYMLINK_NOFOLLOW)
               : futimens(destination.fd, times)) != 0) {
    report_error(source_path, destination_path);
    return false;
  }
  return true;
}

bool is_sparse(const struct stat& status) { return status.st_blocks * BLOCK_UNIT < status.st_size; }

// Copies [offset, offset + length) of source to the same place in
// destination: by the kernel, which shares the blocks where the file system
// can, else through a buffer.
bool copy_range(int source, int destination, off_t offset, off_t length) {
  loff_t in = offset;
  loff_t out = offset;
  while (length > 0) {
    ssize_t copied =
        copy_file_range(source, &in, destination, &out, static_cast<std::size_t>(length), 0);
    if (copied < 0 &&
        (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
      copied = pread(source, copy_buffer.data(),
                     std::min(copy_buffer.size(), static_cast<std::size_t>(length)), in);
      if (copied > 0 && pwrite(destination, copy_buffer.data(), static_cast<std::size_t>(copied),
                               out) != copied) {
        return false;
      }
      in += copied;
      out += copied;
    }
    if (copied < 0) return false;
    if (copied == 0) break;  // the file was cut short meanwhile
    length -= copied;
  }
  return true;
}

// Copies the contents; a sparse file by its data alone, so that its holes
// stay holes.
bool copy_data(int source, int destination, const struct stat& status) {
  if (!is_sparse(status)) return copy_range(source, destination, 0, status.st_size);
  for (off_t position = 0;;) {
    const off_t data = lseek(source, position, SEEK_DATA);
    if (data < 0 && errno == ENXIO) break;  // nothing but a hole to the end
    const off_t hole = data < 0 ? -1 : lseek(source, data, SEEK_HOLE);
    if (hole < 0 || !copy_range(source, destination, data, hole - data)) return false;
    position = hole;
  }
  return ftruncate(destination, status.st_size) == 0;
}

// A symbolic link's path under /proc/self/fd, through its directory.
bool link_path(Path* path, int directory, const char* name) {
  const int length =
      std::snprintf(path->data(), path->size(), "/proc/self/fd/%d/%s", directory, name);
  if (length >= 0 && static_cast<std::size_t>(length) < path->size()) return true;
  errno = ENAMETOOLONG;
  return false;
}

// Whether new entries of the directory take ACLs from a default ACL in it.
Extras extras_in(int directory) {
  const bool acls = fgetxattr(directory, DEFAULT_ACL, nullptr, 0) >= 0 ||
                    (errno != ENODATA && errno != ENOTSUP);  // where it cannot be told, look
  return acls ? Extras::INHERITED : Extras::KEPT;
}

LinkedFile* find_linked(const struct stat& status) {
  const auto end = keep.links.begin() + keep.used;
  const auto found = std::find_if(keep.links.begin(), end, [&](const LinkedFile& file) {
    return file.unmet != 0 && file.device == status.st_dev && file.inode == status.st_ino;
  });
  return found != end ? &*found : nullptr;
}

// Notes that the links of status still to come go to the copy just made,
// name in the level being filled. A file whose other links cannot find its
// copy (the table is full, or its place too deep to note) is still kept
// whole, as a file of its own, and named: more such files than the table
// holds, all planted by another user maybe, must not fail the run.
void remember_linked(const struct stat& status, const char* name, const char* source_path,
                     const char* destination_path) {
  LinkedFile* slot = nullptr;
  for (int i = 0; i < keep.used && slot == nullptr; ++i) {
    if (keep.links[i].unmet == 0) slot = &keep.links[i];
  }
  if (slot == nullptr && keep.used < KEPT_LINKS_LIMIT) slot = &keep.links[keep.used++];
  struct stat made {};
  const int length =
      slot == nullptr || keep.where_hidden > 0
          ? -1
          : std::snprintf(slot->where.data(), slot->where.size(), "%s%s", keep.where.data(), name);
  if (length < 0 || static_cast<std::size_t>(length) >= TREE_PATH_LIMIT ||
      fstatat(keep.to, name, &made, AT_SYMLINK_NOFOLLOW) != 0) {
    if (slot != nullptr) slot->unmet = 0;
    std::printf(
        "Copied %s to %s as a file of its own: too many hard links to keep this one as a "
        "link.\n\n",
        source_path, destination_path);
    return;
  }
  slot->device = status.st_dev;
  slot->inode = status.st_ino;
  slot->copy_device = made.st_dev;
  slot->copy_inode = made.st_ino;
  slot->unmet = status.st_nlink - 1;
}

// Links the first copy of a file met again as name in the level being
// filled, reached from the top without following a link; 1 done, 0 not
// met before, -1 failed (errno set).
int link_if_met(const struct stat& status, const char* name) {
  LinkedFile* file = status.st_nlink > 1 ? find_linked(status) : nullptr;
  if (file == nullptr) return 0;
  Path parts = file->where;
  Descriptor held;
  int directory = keep.top;
  char* part = parts.data();
  for (char* slash = std::strchr(part, '/'); slash != nullptr; slash = std::strchr(part, '/')) {
    *slash = '\0';
    held.reset(openat(directory, part, DIRECTORY_FLAGS));
    if (!held.is_open()) return -1;
    directory = held.get();
    part = slash + 1;
  }
  struct stat linked {};
  if (linkat(directory, part, keep.to, name, 0) != 0 ||
      fstatat(keep.to, name, &linked, AT_SYMLINK_NOFOLLOW) != 0) {
    return -1;
  }
  if (linked.st_dev != file->copy_device || linked.st_ino != file->copy_inode) {
    unlinkat(keep.to, name, 0);
    errno = NOT_THE_ENTRY;
    return -1;
  }
  --file->unmet;
  return 1;
}

// Keeps the entry name of the level being read, which is not a directory:
// a file, a link, a FIFO, a socket or a device.
bool keep_other(int from, const char* name, const struct stat& status, const char* source_path,
                const char* destination_path) {
  const int linked = link_if_met(status, name);
  if (linked != 0) {
    if (linked < 0) report_error(source_path, destination_path);
    return linked > 0;
  }
  const Extras extras = keep.extras;
  if (S_ISREG(status.st_mode)) {
    Descriptor source(openat(from, name, READ_FLAGS));
    struct stat opened {};
    if (!source.is_open() || fstat(source.get(), &opened) != 0) {
      report_error(source_path, destination_path);
      return false;
    }
    if (opened.st_ino != status.st_ino || opened.st_dev != status.st_dev) {
      report(source_path, destination_path, failure_reason(NOT_THE_ENTRY));
      return false;
    }
    Descriptor made(openat(keep.to, name, NEW_FILE_FLAGS, FILLING_MODE));
    if (!made.is_open() || !copy_data(source.get(), made.get(), opened)) {
      report_error(source_path, destination_path);
      return false;
    }
    if (!keep_inode(Holder{source.get(), nullptr}, Holder{made.get(), nullptr}, -1, nullptr, opened,
                    extras, source_path, destination_path)) {
      return false;
    }
    if (close(made.release()) != 0) {
      report_error(source_path, destination_path);
      return false;
    }
  } else {
    bool made;
    if (S_ISLNK(status.st_mode)) {
      std::array<char, TREE_PATH_LIMIT * 4> target{};
      const ssize_t length = readlinkat(from, name, target.data(), target.size() - 1);
      made = length >= 0 && symlinkat(target.data(), keep.to, name) == 0;
    } else if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode) || S_ISCHR(status.st_mode) ||
               S_ISBLK(status.st_mode)) {
      made = mknodat(keep.to, name, (status.st_mode & S_IFMT) | FILLING_MODE, status.st_rdev) == 0;
    } else {
      report(source_path, destination_path, NOT_KEPT);
      return false;
    }
    Path source_link;
    Path made_link;
    if (!made || !link_path(&source_link, from, name) || !link_path(&made_link, keep.to, name)) {
      report_error(source_path, destination_path);
      return false;
    }
    if (!keep_inode(Holder{-1, source_link.data()}, Holder{-1, made_link.data()}, keep.to, name,
                    status, extras, source_path, destination_path)) {
      return false;
    }
  }
  if (status.st_nlink > 1) remember_linked(status, name, source_path, destination_path);
  return true;
}

// What another file system holds is not ours to copy: its owner and modes
// are whatever it reports, and another user's may claim to be root's and
// set-user-ID. It stays where it is, named.
void report_left(const char* source, const char* destination) {
  std::printf("Left %s as it is: another file system is mounted there. %s holds no copy of it.\n\n",
              source, destination);
}

// The status of an entry of the walk, and whether it is another mount's
// root: where the kernel says so, a directory on another file system than
// the top's (an overlay gives its files their layer's device), or one that
// even root may not look at (a user's FUSE mount).
bool examine_kept(int from, const char* name, struct stat* status, bool* mount) {
  if (!examine(from, name, status, nullptr, mount)) {
    *mount = errno == EACCES;
    return *mount;
  }
  *mount = *mount || (S_ISDIR(status->st_mode) && status->st_dev != keep.device);
  return true;
}

int keep_entry(void*, int from, const char* name, unsigned char) {
  if (keep.depth == 0 && keep.left_out != nullptr && std::strcmp(name, keep.left_out) == 0) {
    return WALK_NEXT;
  }
  Path source_path;
  Path destination_path;
  join_path(&source_path, keep.source.text.data(), name);
  join_path(&destination_path, keep.destination.text.data(), name);
  struct stat status {};
  bool mount = false;
  if (!examine_kept(from, name, &status, &mount)) {
    report_error(source_path.data(), destination_path.data());
  } else if (mount) {
    report_left(source_path.data(), destination_path.data());
    return WALK_NEXT;
  } else if (S_ISDIR(status.st_mode)) {
    if (mkdirat(keep.to, name, 0700) == 0) return WALK_ENTER;
    report_error(source_path.data(), destination_path.data());
  } else if (keep_other(from, name, status, source_path.data(), destination_path.data())) {
    return WALK_NEXT;
  }
  ++keep.failures;
  return WALK_NEXT;
}

int keep_entered(void*, int, int directory, const char* name) {
  Descriptor below(directory >= 0 ? openat(keep.to, name, DIRECTORY_FLAGS) : -1);
  if (!below.is_open()) {
    Path source_path;
    Path destination_path;
    join_path(&source_path, keep.source.text.data(), name);
    join_path(&destination_path, keep.destination.text.data(), name);
    report_error(source_path.data(), destination_path.data());
    ++keep.failures;
    return WALK_NEXT;
  }
  // The copy is made where no one else may enter, so the directory above is
  // reached again through "..": one descriptor a level.
  if (keep.to != keep.top) close(keep.to);
  keep.to = below.release();
  ++keep.depth;
  shown_enter(&keep.source, name);
  shown_enter(&keep.destination, name);
  const std::size_t length = std::strlen(keep.where.data());
  if (keep.where_hidden > 0 || length + std::strlen(name) + 2 > keep.where.size()) {
    ++keep.where_hidden;
  } else {
    std::snprintf(keep.where.data() + length, keep.where.size() - length, "%s/", name);
    if (keep.watch != nullptr) {
      keep.watch->directory(keep.watch->context, keep.where.data(), directory);
    }
  }
  return WALK_ENTER;
}

// Gives the directory made for the level the walk leaves its source's
// attributes, its times last since every entry made in it changed them,
// and goes back up.
bool keep_left(void*, int directory) {
  struct stat status {};
  const int to = keep.depth == 0 && keep.holder >= 0 ? keep.holder : keep.to;
  if (fstat(directory, &status) != 0) {
    report_error(keep.source.text.data(), keep.destination.text.data());
    ++keep.failures;
  } else if (!keep_inode(Holder{directory, nullptr}, Holder{to, nullptr}, -1, nullptr, status,
                         keep.depth == 0 ? Extras::INHERITED : keep.extras, keep.source.text.data(),
                         keep.destination.text.data())) {
    ++keep.failures;
  }
  if (keep.depth == 0) return true;
  const int above = openat(keep.to, "..", DIRECTORY_FLAGS);
  close(keep.to);
  keep.to = --keep.depth == 0 ? keep.top : above;
  if (keep.depth == 0 && above >= 0) close(above);
  if (keep.to < 0) return false;
  shown_leave(&keep.source);
  shown_leave(&keep.destination);
  if (keep.where_hidden > 0) {
    --keep.where_hidden;
  } else {
    std::size_t length = std::strlen(keep.where.data());
    if (length > 0) keep.where[--length] = '\0';
    while (length > 0 && keep.where[length - 1] != '/') keep.where[--length] = '\0';
  }
  return true;
}

}  // namespace

int keep_tree(int source, const char* source_path, int destination, const char* destination_path,
              int holder, const char* left_out, const KeepWatch* watch) {
  struct stat top {};
  keep.source_top = source;
  keep.top = keep.to = destination;
  keep.depth = 0;
  keep.failures = 0;
  keep.left_out = left_out;
  keep.holder = holder;
  keep.watch = watch;
  keep.where[0] = '\0';
  keep.where_hidden = 0;
  keep.used = 0;
  keep.extras = extras_in(destination);
  shown_start(&keep.source, source_path);
  shown_start(&keep.destination, destination_path);
  if (fstat(source, &top) != 0) {
    report_error(source_path, destination_path);
    return 1;
  }
  keep.device = top.st_dev;
  const WalkVisitor visitor{keep_entry, keep_entered, keep_left, nullptr};
  if (!walk_tree(source, visitor)) {
    report_error(keep.source.text.data(), keep.destination.text.data());
    ++keep.failures;
  }
  if (keep.to != keep.top) close(keep.to);
  return keep.failures;
}

bool keep_file(int source, const char* source_path, int destination, const char* destination_path) {
  Descriptor to(destination);
  struct stat status {};
  if (fstat(source, &status) == 0 && !S_ISREG(status.st_mode)) {
    report(source_path, destination_path, NOT_KEPT);
    return false;
  }
  if (!S_ISREG(status.st_mode) || !copy_data(source, to.get(), status)) {
    report_error(source_path, destination_path);
    return false;
  }
  if (!keep_inode(Holder{source, nullptr}, Holder{to.get(), nullptr}, -1, nullptr, status,
                  Extras::ALL, source_path, destination_path)) {
    return false;
  }
  if (close(to.release()) != 0) {
    report_error(source_path, destination_path);
    return false;
  }
  return true;
}

bool keep_attributes(int source, int destination, const char* path) {
  struct stat status {};
  if (fstat(source, &status) != 0) {
    report_error(path, path);
    return false;
  }
  return keep_inode(Holder{source, nullptr}, Holder{destination, nullptr}, -1, nullptr, status,
                    Extras::ALL, path, path);
}
