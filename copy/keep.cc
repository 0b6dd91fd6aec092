#include "copy/keep.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "copy/copy.h"
#include "copy/descriptor.h"
#include "copy/walk.h"

namespace {

constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int FILE_FLAGS = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
constexpr int NEW_FILE_FLAGS = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
// Owner-only until the copy is complete, like everything it is made in.
constexpr mode_t FILLING_MODE = 0600;
constexpr mode_t MODE_BITS = 07777;
constexpr off_t BLOCK_UNIT = 512;  // the unit of st_blocks
// No type that a Linux file system holds today: FIFOs, sockets and devices
// are made again.
constexpr const char* NOT_KEPT = "It is of a type that no copy can make again";
constexpr const char* DEFAULT_ACL = "system.posix_acl_default";
// What a new entry takes from a default ACL above it; a file only the first.
constexpr char INHERITED[] = "system.posix_acl_access\0system.posix_acl_default";
constexpr std::size_t INHERITED_BY_FILES = sizeof "system.posix_acl_access";
// The kernel's bounds for a list of names and for one value (XATTR_LIST_MAX,
// XATTR_SIZE_MAX), so that no attribute is ever too large to keep.
constexpr std::size_t ATTRIBUTES_SIZE = 65536;

using Path = std::array<char, TREE_PATH_LIMIT>;

// Nothing here is re-entered: one set of buffers serves every entry.
std::array<char, ATTRIBUTES_SIZE> source_names;
std::array<char, ATTRIBUTES_SIZE> destination_names;
std::array<char, ATTRIBUTES_SIZE> attribute_value;

void report(const char* source, const char* destination, const char* reason) {
  std::printf("Unable to copy %s to %s. %s.\n\n", source, destination, reason);
}

void report_error(const char* source, const char* destination) {
  report(source, destination, failure_reason(errno));
}

// A file with further links, the first of whose links has been kept.
struct LinkedFile {
  dev_t key_device;  // the entry being kept (or, in a put-back, the kept one)
  ino_t key_inode;
  dev_t copy_device;  // what its other links are linked to
  ino_t copy_inode;
  nlink_t unmet;  // its links not met yet; 0 when the slot is free
  Path where;     // below the root
};

struct Links {
  bool active;
  bool unreachable;  // the root's path does not fit: nothing below it can be noted
  int root;
  Path root_path;
  std::size_t root_length;
  // Slots past used have not been touched, nor their memory.
  std::size_t used;
  std::array<LinkedFile, KEPT_LINKS_LIMIT> files;
};
Links links;

// The source device from which copy_file_range was last refused: its files
// go straight to the byte loop, and save the call.
struct {
  bool refused;
  dev_t device;
} kernel_copy;

const char* below_root(const char* path) {
  if (std::strncmp(path, links.root_path.data(), links.root_length) != 0 ||
      path[links.root_length] != '/') {
    return nullptr;
  }
  return path + links.root_length + 1;
}

LinkedFile* find_linked(const struct stat& status) {
  const auto end = links.files.begin() + static_cast<std::ptrdiff_t>(links.used);
  const auto found = std::find_if(links.files.begin(), end, [&](const LinkedFile& file) {
    return file.unmet != 0 && file.key_device == status.st_dev && file.key_inode == status.st_ino;
  });
  return found != end ? &*found : nullptr;
}

// Notes that the links of key still to come go to the entry copy, at path.
// Returns false where it cannot: the table is full, or the path too deep to
// note or cut short for a message; then the links still to come cannot find
// this one.
bool remember_linked(const struct stat& key, const struct stat& copy, const char* path) {
  const char* where = links.unreachable || cut_short(path) ? nullptr : below_root(path);
  const auto end = links.files.begin() + static_cast<std::ptrdiff_t>(links.used);
  const auto slot = std::find_if(links.files.begin(), end,
                                 [](const LinkedFile& file) { return file.unmet == 0; });
  const bool fresh = slot == end;
  LinkedFile* free = !fresh                            ? &*slot
                     : links.used < links.files.size() ? &links.files[links.used]
                                                       : nullptr;
  const int length = where != nullptr && free != nullptr
                         ? std::snprintf(free->where.data(), free->where.size(), "%s", where)
                         : -1;
  if (length < 0 || static_cast<std::size_t>(length) >= TREE_PATH_LIMIT) return false;
  if (fresh) ++links.used;
  free->key_device = key.st_dev;
  free->key_inode = key.st_ino;
  free->copy_device = copy.st_dev;
  free->copy_inode = copy.st_ino;
  free->unmet = key.st_nlink - 1;
  return true;
}

// A file whose other links cannot find its copy is still kept whole, as a
// file of its own, and named: more files with links still to come than the
// table holds, all planted by another user maybe, must not fail the run.
void remember_or_name(const struct stat& key, const struct stat& copy, const char* source_path,
                      const char* destination_path) {
  if (!remember_linked(key, copy, destination_path)) {
    std::printf(
        "Copied %s to %s as a file of its own: too many hard links to keep this one as a "
        "link.\n\n",
        source_path, destination_path);
  }
}

// Links the first copy of file as new_name in destination, reached from the
// root without following a link, and makes sure it is still that copy.
bool link_first(LinkedFile* file, int destination, const char* new_name) {
  Path parts = file->where;
  Descriptor held;
  int directory = links.root;
  char* name = parts.data();
  for (char* slash = std::strchr(name, '/'); slash != nullptr; slash = std::strchr(name, '/')) {
    *slash = '\0';
    const int next = openat(directory, name, DIRECTORY_FLAGS);
    held.reset(next);
    if (next < 0) return false;
    directory = next;
    name = slash + 1;
  }
  struct stat linked {};
  if (linkat(directory, name, destination, new_name, 0) != 0 ||
      fstatat(destination, new_name, &linked, AT_SYMLINK_NOFOLLOW) != 0) {
    return false;
  }
  if (linked.st_dev != file->copy_device || linked.st_ino != file->copy_inode) {
    // Someone else's entry stood there; should its removal fail, the
    // failure is reported all the same.
    unlinkat(destination, new_name, 0);
    errno = NOT_THE_STAGED_ENTRY;
    return false;
  }
  --file->unmet;
  return true;
}

enum class LinkStep { COPY, LINKED, FAILED };

// For an entry with further links: links it to its first copy where one
// was kept, else lets it be copied. Reports what fails.
LinkStep link_if_met(const struct stat& status, int destination, const char* new_name,
                     const char* source_path, const char* destination_path) {
  if (!links.active || status.st_nlink < 2) return LinkStep::COPY;
  LinkedFile* file = find_linked(status);
  if (file == nullptr) return LinkStep::COPY;
  if (link_first(file, destination, new_name)) return LinkStep::LINKED;
  report_error(source_path, destination_path);
  return LinkStep::FAILED;
}

// Extended attributes are read and written through a descriptor, or for a
// symbolic link, which no descriptor can serve, through a path under
// /proc/self/fd that does not follow it.
struct Holder {
  int fd;
  const char* link;
};

ssize_t list_attributes(const Holder& holder, char* list, std::size_t size) {
  return holder.link != nullptr ? llistxattr(holder.link, list, size)
                                : flistxattr(holder.fd, list, size);
}

ssize_t get_attribute(const Holder& holder, const char* name, void* value, std::size_t size) {
  return holder.link != nullptr ? lgetxattr(holder.link, name, value, size)
                                : fgetxattr(holder.fd, name, value, size);
}

int set_attribute(const Holder& holder, const char* name, const void* value, std::size_t size) {
  return holder.link != nullptr ? lsetxattr(holder.link, name, value, size, 0)
                                : fsetxattr(holder.fd, name, value, size, 0);
}

int remove_attribute(const Holder& holder, const char* name) {
  return holder.link != nullptr ? lremovexattr(holder.link, name) : fremovexattr(holder.fd, name);
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

// Which attributes of the destination that the source lacks are removed:
// none, those a default ACL above it gave it, or every one.
enum class Extras { KEPT, INHERITED, ALL };

// What an entry made in a directory of the destination is born with.
struct Birth {
  bool acls;   // ACLs, from a default ACL above it
  bool as_us;  // our own user and group, which need no change to stay
};

uid_t our_user;
gid_t our_group;

// A directory whose group is ours gives it to what is made in it, whether
// it passes its own group down (set-group-ID, or mounted grpid) or not.
Birth birth_in(int directory) {
  our_user = geteuid();
  our_group = getegid();
  struct stat status {};
  const bool acls = fgetxattr(directory, DEFAULT_ACL, nullptr, 0) >= 0 ||
                    (errno != ENODATA && errno != ENOTSUP);  // where it cannot be told, look
  return Birth{acls, fstat(directory, &status) == 0 && status.st_gid == our_group};
}

// Gives destination every extended attribute of source. Reports, naming
// it, an attribute that cannot be kept: the destination's file system may
// hold none, or not of that kind.
bool keep_attribute_list(const Holder& source, const Holder& destination, Extras extras,
                         bool is_directory, const char* source_path, const char* destination_path) {
  ssize_t listed = list_attributes(source, source_names.data(), source_names.size());
  if (listed < 0) {
    if (errno != ENOTSUP) {
      report_error(source_path, destination_path);
      return false;
    }
    listed = 0;  // a file system without them
  }
  const std::size_t names = static_cast<std::size_t>(listed);
  for (const char* name = source_names.data(); name < source_names.data() + names;
       name += std::strlen(name) + 1) {
    const ssize_t length =
        get_attribute(source, name, attribute_value.data(), attribute_value.size());
    if (length < 0 && errno == ENODATA) continue;  // removed since it was listed
    if (length < 0 || set_attribute(destination, name, attribute_value.data(),
                                    static_cast<std::size_t>(length)) != 0) {
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
    if (!in_list(source_names.data(), names, name) && remove_attribute(destination, name) != 0 &&
        errno != ENODATA && errno != ENOTSUP) {
      report_attribute(name, source_path, destination_path);
      return false;
    }
  }
  return true;
}

// The owner first: giving a file away clears its set-user-ID bit and its
// capability. Then the extended attributes, an access ACL among them
// setting the group bits its own way; then the mode, which agrees with
// that ACL; the times last, since every change before touched them.
bool keep_inode(int source, int destination, const struct stat& status, const Birth& birth,
                const char* source_path, const char* destination_path) {
  const std::array<timespec, 2> times{status.st_atim, status.st_mtim};
  const bool owned = birth.as_us && status.st_uid == our_user && status.st_gid == our_group;
  if (!owned && fchown(destination, status.st_uid, status.st_gid) != 0) {
    report_error(source_path, destination_path);
    return false;
  }
  if (!keep_attribute_list(Holder{source, nullptr}, Holder{destination, nullptr},
                           birth.acls ? Extras::INHERITED : Extras::KEPT, S_ISDIR(status.st_mode),
                           source_path, destination_path)) {
    return false;
  }
  if (fchmod(destination, status.st_mode & MODE_BITS) != 0 ||
      futimens(destination, times.data()) != 0) {
    report_error(source_path, destination_path);
    return false;
  }
  return true;
}

enum class Copied { DONE, FAILED, REFUSED };

// Copies the bytes at [offset, offset + length) of source to the same place
// in destination, in the kernel, which shares the blocks where the file
// system can.
Copied copy_range(int source, int destination, off_t offset, off_t length) {
  loff_t in = offset;
  loff_t out = offset;
  for (bool first = true; length > 0; first = false) {
    const ssize_t copied =
        copy_file_range(source, &in, destination, &out, static_cast<std::size_t>(length), 0);
    if (copied < 0) {
      const bool refused =
          errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP;
      return first && refused ? Copied::REFUSED : Copied::FAILED;
    }
    if (copied == 0) break;  // the file was cut short meanwhile
    length -= copied;
  }
  return Copied::DONE;
}

bool is_sparse(const struct stat& status) { return status.st_blocks * BLOCK_UNIT < status.st_size; }

// Copies the contents by copy_file_range; a sparse file by its data alone,
// so that its holes stay holes.
Copied copy_in_kernel(int source, int destination, const struct stat& status) {
  if (!is_sparse(status)) return copy_range(source, destination, 0, status.st_size);
  for (off_t position = 0;;) {
    const off_t data = lseek(source, position, SEEK_DATA);
    if (data < 0 && errno == ENXIO) break;  // nothing but a hole to the end
    const off_t hole = data < 0 ? -1 : lseek(source, data, SEEK_HOLE);
    if (hole < 0) return Copied::FAILED;
    const Copied copied = copy_range(source, destination, data, hole - data);
    if (copied == Copied::REFUSED && position != 0) return Copied::FAILED;
    if (copied != Copied::DONE) return copied;
    position = hole;
  }
  return ftruncate(destination, status.st_size) == 0 ? Copied::DONE : Copied::FAILED;
}

// The byte loop, where the kernel will not copy (another file system, an
// old kernel); then a sparse file's holes are made holes again.
bool copy_by_bytes(int source, int destination, const struct stat& status) {
  // copy_contents starts where the offsets stand, which only looking for a
  // sparse file's data moves, and closes what it is given.
  if (is_sparse(status) && lseek(source, 0, SEEK_SET) != 0) return false;
  const int from = dup(source);
  const int to = from >= 0 ? dup(destination) : -1;
  if (to < 0) {
    if (from >= 0) close(from);
    return false;
  }
  if (copy_contents(from, to, FILLING_MODE) == 0) return false;
  if (!is_sparse(status)) return true;
  for (off_t position = 0; position < status.st_size;) {
    const off_t hole = lseek(source, position, SEEK_HOLE);
    if (hole < 0) return errno == ENXIO;  // cut short meanwhile
    if (hole >= status.st_size) break;
    off_t data = lseek(source, hole, SEEK_DATA);
    if (data < 0 && errno != ENXIO) return false;
    if (data < 0) data = status.st_size;  // a hole to the end
    if (fallocate(destination, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, hole, data - hole) !=
        0) {
      return false;
    }
    position = data;
  }
  return true;
}

bool copy_data(int source, int destination, const struct stat& status) {
  if (status.st_size == 0) return true;
  if (!kernel_copy.refused || kernel_copy.device != status.st_dev) {
    const Copied copied = copy_in_kernel(source, destination, status);
    if (copied != Copied::REFUSED) return copied == Copied::DONE;
    kernel_copy.refused = true;
    kernel_copy.device = status.st_dev;
  }
  return copy_by_bytes(source, destination, status);
}

// Fills the open, empty file destination from the regular file source, and
// gives it source's attributes.
bool keep_contents(int source, int destination, const struct stat& status, const Birth& birth,
                   const char* source_path, const char* destination_path) {
  if (!copy_data(source, destination, status)) {
    report_error(source_path, destination_path);
    return false;
  }
  return keep_inode(source, destination, status, birth, source_path, destination_path);
}

// The one walk running: the levels between the top and the directory
// being read, each holding its source directory's descriptor.
struct Walk {
  dev_t device;  // the top's file system
  bool mount_id_known;
  int mount_id;  // the top's mount, where the kernel gives it
  std::size_t depth;
  ShownPath source;
  ShownPath destination;
  EntryReader reader;
  std::array<int, WALK_DEPTH_LIMIT> levels;
};
Walk walk;

void begin_walk(int top, const struct stat& status) {
  walk.device = status.st_dev;
  walk.mount_id_known = mount_id_at(top, "", &walk.mount_id);
  walk.depth = 0;
}

// Whether the entry is on another mount than the walk's top, where the
// kernel tells; errno is kept for the caller's message.
bool on_other_mount(int directory, const char* name) {
  const int error = errno;
  int mount = 0;
  const bool other =
      walk.mount_id_known && mount_id_at(directory, name, &mount) && mount != walk.mount_id;
  errno = error;
  return other;
}

// Whether the entry the walk could not look at is another mount's root: a
// user's FUSE mount lets no one else in, root included (EACCES).
bool denied_mount(int directory, const char* name) {
  return errno == EACCES && on_other_mount(directory, name);
}

// Examines the entry name of directory ("" for directory itself) without
// following a link, as fstatat does, and tells in *mount whether it is the
// root of another mount: where the kernel says so (from Linux 5.8), or a
// directory on another file system than the top (an overlay gives its
// files the device of their layer, so only its directories are uniform);
// before 5.8, where the mount it is on differs from the top's.
bool examine(int directory, const char* name, struct stat* status, bool* mount) {
  struct statx found {};
  const int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | (name[0] == '\0' ? AT_EMPTY_PATH : 0);
  if (statx(directory, name, flags, STATX_BASIC_STATS, &found) != 0) return false;
  *status = {};
  status->st_dev = makedev(found.stx_dev_major, found.stx_dev_minor);
  status->st_ino = found.stx_ino;
  status->st_mode = found.stx_mode;
  status->st_nlink = found.stx_nlink;
  status->st_uid = found.stx_uid;
  status->st_gid = found.stx_gid;
  status->st_rdev = makedev(found.stx_rdev_major, found.stx_rdev_minor);
  status->st_size = static_cast<off_t>(found.stx_size);
  status->st_blksize = static_cast<blksize_t>(found.stx_blksize);
  status->st_blocks = static_cast<blkcnt_t>(found.stx_blocks);
  status->st_atim = timespec{found.stx_atime.tv_sec, found.stx_atime.tv_nsec};
  status->st_mtim = timespec{found.stx_mtime.tv_sec, found.stx_mtime.tv_nsec};
  status->st_ctim = timespec{found.stx_ctime.tv_sec, found.stx_ctime.tv_nsec};
  const bool told = (found.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0;
  const bool elsewhere = status->st_dev != walk.device;
  const bool is_directory = S_ISDIR(status->st_mode);
  if (told) {
    *mount = (found.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0 || (is_directory && elsewhere);
  } else {
    *mount = (is_directory && elsewhere) ||
             ((is_directory || elsewhere) && on_other_mount(directory, name));
  }
  return true;
}

// What another file system holds is not ours to copy: its owner and modes
// are whatever it reports, and another user's may claim to be root's and
// set-user-ID. It stays where it is, named.
void report_left(const char* source, const char* destination) {
  std::printf("Left %s as it is: another file system is mounted there. %s holds no copy of it.\n\n",
              source, destination);
}

bool keep_regular(int source, const char* name, int destination, const char* new_name,
                  const char* source_path, const char* destination_path, const Birth& birth) {
  Descriptor from(openat(source, name, FILE_FLAGS));
  struct stat status {};
  bool mount = false;
  if (!from.is_open() && denied_mount(source, name)) mount = true;
  if (!mount && (!from.is_open() || !examine(from.get(), "", &status, &mount))) {
    report_error(source_path, destination_path);
    return false;
  }
  if (mount) {
    report_left(source_path, destination_path);
    return true;
  }
  if (!S_ISREG(status.st_mode)) {
    // Another entry took the name since it was looked at.
    report(source_path, destination_path, failure_reason(NOT_THE_STAGED_ENTRY));
    return false;
  }
  const LinkStep step = link_if_met(status, destination, new_name, source_path, destination_path);
  if (step != LinkStep::COPY) return step == LinkStep::LINKED;
  Descriptor to(openat(destination, new_name, NEW_FILE_FLAGS, FILLING_MODE));
  if (!to.is_open()) {
    report_error(source_path, destination_path);
    return false;
  }
  if (!keep_contents(from.get(), to.get(), status, birth, source_path, destination_path)) {
    return false;
  }
  struct stat made {};
  if ((links.active && status.st_nlink > 1 && fstat(to.get(), &made) != 0) ||
      close(to.release()) != 0) {
    report_error(source_path, destination_path);
    return false;
  }
  if (links.active && status.st_nlink > 1) {
    remember_or_name(status, made, source_path, destination_path);
  }
  return true;
}

// A symbolic link's path under /proc/self/fd, through its directory's
// descriptor.
bool link_path(Path* path, int directory, const char* name) {
  const int length =
      std::snprintf(path->data(), path->size(), "/proc/self/fd/%d/%s", directory, name);
  if (length >= 0 && static_cast<std::size_t>(length) < path->size()) return true;
  errno = ENAMETOOLONG;
  return false;
}

// Gives the entry new_name, just made in destination from the entry name of
// source, the owner, attributes, mode (but a link's, which has none) and
// times of status, through their names: no descriptor of ours can serve a
// link, a FIFO, a socket or a device.
bool keep_by_name(int source, const char* name, const struct stat& status, int destination,
                  const char* new_name, Extras extras, const char* source_path,
                  const char* destination_path) {
  Path from;
  Path to;
  if (fchownat(destination, new_name, status.st_uid, status.st_gid, AT_SYMLINK_NOFOLLOW) != 0 ||
      !link_path(&from, source, name) || !link_path(&to, destination, new_name)) {
    report_error(source_path, destination_path);
    return false;
  }
  if (!keep_attribute_list(Holder{-1, from.data()}, Holder{-1, to.data()}, extras, false,
                           source_path, destination_path)) {
    return false;
  }
  // The entry at new_name is the one just made, where no one else can
  // reach: a mode set through the name lands on it.
  const std::array<timespec, 2> times{status.st_atim, status.st_mtim};
  struct stat made {};
  if ((!S_ISLNK(status.st_mode) &&
       fchmodat(destination, new_name, status.st_mode & MODE_BITS, 0) != 0) ||
      utimensat(destination, new_name, times.data(), AT_SYMLINK_NOFOLLOW) != 0 ||
      (links.active && status.st_nlink > 1 &&
       fstatat(destination, new_name, &made, AT_SYMLINK_NOFOLLOW) != 0)) {
    report_error(source_path, destination_path);
    return false;
  }
  if (links.active && status.st_nlink > 1) {
    remember_or_name(status, made, source_path, destination_path);
  }
  return true;
}

bool keep_symlink(int source, const char* name, const struct stat& status, int destination,
                  const char* new_name, const char* source_path, const char* destination_path) {
  const LinkStep step = link_if_met(status, destination, new_name, source_path, destination_path);
  if (step != LinkStep::COPY) return step == LinkStep::LINKED;
  std::array<char, TREE_PATH_LIMIT * 4> target{};
  const ssize_t length = readlinkat(source, name, target.data(), target.size());
  if (length >= 0 && static_cast<std::size_t>(length) >= target.size()) errno = ENAMETOOLONG;
  if (length < 0 || static_cast<std::size_t>(length) >= target.size() ||
      symlinkat(target.data(), destination, new_name) != 0) {
    report_error(source_path, destination_path);
    return false;
  }
  return keep_by_name(source, name, status, destination, new_name, Extras::KEPT, source_path,
                      destination_path);
}

// A FIFO, a socket or a device, made again as cp -a makes it: of the same
// type and device number, then owned, moded and timed as its original. Only
// root can make a device, so one in the tree is root's own.
bool keep_special(int source, const char* name, const struct stat& status, int destination,
                  const char* new_name, const char* source_path, const char* destination_path,
                  const Birth& birth) {
  const LinkStep step = link_if_met(status, destination, new_name, source_path, destination_path);
  if (step != LinkStep::COPY) return step == LinkStep::LINKED;
  if (mknodat(destination, new_name, (status.st_mode & S_IFMT) | FILLING_MODE, status.st_rdev) !=
      0) {
    report_error(source_path, destination_path);
    return false;
  }
  return keep_by_name(source, name, status, destination, new_name,
                      birth.acls ? Extras::INHERITED : Extras::KEPT, source_path, destination_path);
}

// Keeps an entry that is not a directory, examined as status.
bool keep_other(int source, const char* name, const struct stat& status, int destination,
                const char* new_name, const char* source_path, const char* destination_path,
                const Birth& birth) {
  if (S_ISREG(status.st_mode)) {
    return keep_regular(source, name, destination, new_name, source_path, destination_path, birth);
  }
  if (S_ISLNK(status.st_mode)) {
    return keep_symlink(source, name, status, destination, new_name, source_path, destination_path);
  }
  if (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode) || S_ISCHR(status.st_mode) ||
      S_ISBLK(status.st_mode)) {
    return keep_special(source, name, status, destination, new_name, source_path, destination_path,
                        birth);
  }
  report(source_path, destination_path, NOT_KEPT);
  return false;
}

// The directory source opened as an entry of the walk, when it is the
// directory examined and no other mount's root; -1 where it is not (*left
// then, when another mount took its place), with errno set.
int open_below(int source, const char* name, bool* left) {
  Descriptor directory(openat(source, name, DIRECTORY_FLAGS));
  struct stat status {};
  bool mount = false;
  if (!directory.is_open()) {
    *left = denied_mount(source, name);
    return -1;
  }
  if (!examine(directory.get(), "", &status, &mount)) return -1;
  *left = mount;
  return mount ? -1 : directory.release();
}

// Keeps the entry name of source as new_name in destination, but a
// directory, which it opens and hands back in *below for the walk to go
// down into (-1 otherwise). Another mount is left where it is, and named.
// Returns false, reported, when the entry cannot be kept.
bool keep_listed(int source, const char* name, unsigned char type, int destination,
                 const char* new_name, const char* source_path, const char* destination_path,
                 const Birth& birth, int* below) {
  *below = -1;
  if (type == DT_REG) {
    return keep_regular(source, name, destination, new_name, source_path, destination_path, birth);
  }
  struct stat status {};
  bool mount = false;
  bool left = false;
  if (!examine(source, name, &status, &mount)) {
    left = denied_mount(source, name);
  } else if (!S_ISDIR(status.st_mode)) {
    if (!mount) {
      return keep_other(source, name, status, destination, new_name, source_path, destination_path,
                        birth);
    }
    left = true;
  } else if (!mount) {
    *below = open_below(source, name, &left);
    if (*below >= 0) return true;
  } else {
    left = true;
  }
  if (left) {
    report_left(source_path, destination_path);
    return true;
  }
  report_error(source_path, destination_path);
  return false;
}

// Gives the directory made at the level the walk leaves the attributes of
// its source, born with own: its times last, since every entry made in it
// changed them.
bool keep_level(int source, int destination, const Birth& own) {
  struct stat status {};
  if (fstat(source, &status) != 0) {
    report_error(walk.source.text.data(), walk.destination.text.data());
    return false;
  }
  return keep_inode(source, destination, status, own, walk.source.text.data(),
                    walk.destination.text.data());
}

// Goes down from the level being read into its directory below, which the
// destination gets too, made at name; the level will read on past entry.
// Takes below; returns false, reported, where it cannot.
// Who is told of each directory that keep_tree_closed copies.
const KeptDirectoryWatch* watching = nullptr;

bool go_down(int from, const dirent64* entry, int below, int to, Descriptor* held,
             const char* source_path, const char* destination_path) {
  Descriptor source(below);
  if (walk.depth + 1 >= walk.levels.size()) {
    errno = EMFILE;
    report_error(source_path, destination_path);
    return false;
  }
  if (watching != nullptr && !watching->kept(watching->context, source.get(), source_path)) {
    return false;
  }
  const char* name = entry->d_name;
  Descriptor made(mkdirat(to, name, 0700) == 0 ? openat(to, name, DIRECTORY_FLAGS) : -1);
  if (!made.is_open() || !read_past(&walk.reader, from, entry)) {
    report_error(source_path, destination_path);
    return false;
  }
  shown_enter(&walk.source, name);
  shown_enter(&walk.destination, name);
  walk.levels[++walk.depth] = source.release();
  held->reset(made.release());
  return true;
}

// Comes back up from the level being read to the one above it, once the
// directory made for it has its attributes. The copy is made where no one
// else may enter, so its ".." is the directory it was made in.
bool go_up(int top, Descriptor* to) {
  const int above = walk.depth == 1 ? top : openat(to->get(), "..", DIRECTORY_FLAGS);
  if (above < 0) return false;
  // A directory only read loses nothing should its close fail.
  close(walk.levels[walk.depth--]);
  shown_leave(&walk.source);
  shown_leave(&walk.destination);
  if (walk.depth == 0) {
    to->reset();
  } else {
    to->reset(above);
  }
  return true;
}

// Copies everything in the open directory source but the entry left_out
// (null for none) into the open, empty directory destination, whose entries
// are born with birth, and gives it (or attributes_to, where they wait for
// it) source's attributes (it was born with own). Each level holds the descriptor of its source
// directory alone, the directory made for it being reached again through "..", so a tree is kept
// however deep, as far as descriptors allow.
void keep_walk(int source, const char* source_path, int destination, const char* destination_path,
               int* failures, const char* left_out, const Birth& birth, const Birth& own,
               int attributes_to = -1) {
  struct stat top {};
  if (fstat(source, &top) != 0) {
    report_error(source_path, destination_path);
    ++*failures;
    return;
  }
  begin_walk(source, top);
  shown_start(&walk.source, source_path);
  shown_start(&walk.destination, destination_path);
  if (!read_again(&walk.reader, source)) {
    report_error(source_path, destination_path);
    ++*failures;
    return;
  }
  Descriptor held;  // the directory made for the level being read, below the top
  Path source_entry;
  Path destination_entry;
  for (;;) {
    const int from = walk.depth == 0 ? source : walk.levels[walk.depth];
    const int to = walk.depth == 0 ? destination : held.get();
    errno = 0;
    const dirent64* entry = read_entry(&walk.reader, from);
    if (entry != nullptr) {
      const char* name = entry->d_name;
      if (walk.depth == 0 && left_out != nullptr && std::strcmp(name, left_out) == 0) continue;
      join_for_message(&source_entry, walk.source.text.data(), name);
      join_for_message(&destination_entry, walk.destination.text.data(), name);
      int below = -1;
      if (!keep_listed(from, name, entry->d_type, to, name, source_entry.data(),
                       destination_entry.data(), birth, &below) ||
          (below >= 0 && !go_down(from, entry, below, to, &held, source_entry.data(),
                                  destination_entry.data()))) {
        ++*failures;
      }
      continue;
    }
    if (errno != 0) {
      report_error(walk.source.text.data(), walk.destination.text.data());
      ++*failures;
    }
    if (walk.depth == 0) {
      if (!keep_level(from, attributes_to >= 0 ? attributes_to : to, own)) ++*failures;
      return;
    }
    if (!keep_level(from, to, birth)) ++*failures;
    if (!go_up(destination, &held)) {
      // Without the way back up nothing more can be kept where it belongs.
      report_error(walk.source.text.data(), walk.destination.text.data());
      ++*failures;
      while (walk.depth > 0) close(walk.levels[walk.depth--]);
      return;
    }
  }
}

// Keeps the entry name of source as new_name in destination; type is its
// d_type, DT_UNKNOWN when it must be looked at.
bool keep_one(int source, const char* name, unsigned char type, int destination,
              const char* new_name, const char* source_path, const char* destination_path,
              const Birth& birth, int* failures) {
  struct stat top {};
  if (fstat(source, &top) != 0) {
    report_error(source_path, destination_path);
    return false;
  }
  begin_walk(source, top);
  int below = -1;
  if (!keep_listed(source, name, type, destination, new_name, source_path, destination_path, birth,
                   &below)) {
    return false;
  }
  if (below < 0) return true;
  Descriptor from(below);
  Descriptor to(mkdirat(destination, new_name, 0700) == 0
                    ? openat(destination, new_name, DIRECTORY_FLAGS)
                    : -1);
  if (!to.is_open()) {
    report_error(source_path, destination_path);
    return false;
  }
  // Made under a default ACL, it has one of its own, which its entries
  // take; and with our group, it gives that to them.
  keep_walk(from.get(), source_path, to.get(), destination_path, failures, nullptr, birth, birth);
  return true;  // what failed inside has been counted there
}

}  // namespace

KeptLinks::KeptLinks(int root, const char* root_path) : began_(!links.active) {
  if (!began_) return;
  links.active = true;
  links.root = root;
  const int length = std::snprintf(links.root_path.data(), links.root_path.size(), "%s", root_path);
  // A root path too long to hold leaves nothing below it to be found: every
  // link that would need it is kept as a file of its own.
  links.unreachable = length < 0 || static_cast<std::size_t>(length) >= links.root_path.size();
  links.root_length = links.unreachable ? 0 : static_cast<std::size_t>(length);
  links.used = 0;
  kernel_copy.refused = false;
}

KeptLinks::~KeptLinks() {
  if (began_) links.active = false;
}

bool keep_entry(int source, const char* name, int destination, const char* new_name,
                const char* source_path, const char* destination_path, int* failures) {
  return keep_one(source, name, DT_UNKNOWN, destination, new_name, source_path, destination_path,
                  birth_in(destination), failures);
}

bool keep_attributes(int destination, const struct stat& status) {
  // The owner first: giving a file away clears its set-user-ID bit.
  const std::array<timespec, 2> times{status.st_atim, status.st_mtim};
  return fchown(destination, status.st_uid, status.st_gid) == 0 &&
         fchmod(destination, status.st_mode & MODE_BITS) == 0 &&
         futimens(destination, times.data()) == 0;
}

bool keep_extended_attributes(int source, const char* source_path, int destination,
                              const char* destination_path) {
  return keep_attribute_list(Holder{source, nullptr}, Holder{destination, nullptr}, Extras::ALL,
                             false, source_path, destination_path);
}

int keep_tree(int source, const char* source_path, int destination, const char* destination_path,
              int* failures, const char* left_out) {
  const KeptLinks kept_links(destination, destination_path);
  const int before = *failures;
  // The caller made destination, perhaps under a default ACL, and not
  // necessarily with our group.
  keep_walk(source, source_path, destination, destination_path, failures, left_out,
            birth_in(destination), Birth{true, false});
  return *failures - before;
}

int keep_tree_closed(int source, const char* source_path, int destination,
                     const char* destination_path, int holder, const KeptDirectoryWatch* watch,
                     int* failures, const char* left_out) {
  const KeptLinks kept_links(destination, destination_path);
  const int before = *failures;
  watching = watch;
  keep_walk(source, source_path, destination, destination_path, failures, left_out,
            birth_in(destination), Birth{true, false}, holder);
  watching = nullptr;
  return *failures - before;
}

bool keep_held_attributes(int holder, int destination, const char* destination_path) {
  struct stat status {};
  if (fstat(holder, &status) != 0) {
    report_error(destination_path, destination_path);
    return false;
  }
  if (!keep_extended_attributes(holder, destination_path, destination, destination_path)) {
    return false;
  }
  // The owner first, the mode after the ACLs (it sets their mask), the
  // times last.
  if (!keep_attributes(destination, status)) {
    report_error(destination_path, destination_path);
    return false;
  }
  return true;
}

int keep_file(int source, const char* source_path, int destination, const char* destination_path) {
  Descriptor to(destination);
  struct stat status {};
  if (fstat(source, &status) != 0) {
    report_error(source_path, destination_path);
    return 0;
  }
  if (!S_ISREG(status.st_mode)) {
    report(source_path, destination_path, NOT_KEPT);
    return 0;
  }
  // The caller made destination, perhaps under a default ACL, and not
  // necessarily with our group; the byte loop reads from where source stands.
  if (lseek(source, 0, SEEK_SET) != 0) {
    report_error(source_path, destination_path);
    return 0;
  }
  if (!keep_contents(source, to.get(), status, Birth{true, false}, source_path, destination_path)) {
    return 0;
  }
  if (close(to.release()) != 0) {
    report_error(source_path, destination_path);
    return 0;
  }
  return 1;
}

bool keep_standing_link(const struct stat& kept, const struct stat& standing, int directory,
                        const char* name, const char* path, int passage_directory,
                        const char* passage_name) {
  const bool same = (kept.st_mode == standing.st_mode) && kept.st_uid == standing.st_uid &&
                    kept.st_gid == standing.st_gid && kept.st_size == standing.st_size &&
                    kept.st_mtim.tv_sec == standing.st_mtim.tv_sec &&
                    kept.st_mtim.tv_nsec == standing.st_mtim.tv_nsec;
  if (!links.active || S_ISDIR(kept.st_mode) || kept.st_nlink < 2 || !same) return true;
  LinkedFile* file = find_linked(kept);
  if (file == nullptr) {
    // Where it cannot be noted, its other links come back as files of
    // their own, as the copy may have kept them.
    static_cast<void>(remember_linked(kept, standing, path));
    return true;
  }
  if (file->copy_device == standing.st_dev && file->copy_inode == standing.st_ino) {
    --file->unmet;
    return true;
  }
  // Another of its links was kept before this one was met: this one joins it.
  return (unlinkat(passage_directory, passage_name, 0) == 0 || errno == ENOENT) &&
         link_first(file, passage_directory, passage_name) &&
         renameat(passage_directory, passage_name, directory, name) == 0;
}
