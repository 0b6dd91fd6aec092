#include "fs/keep.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fs/fd.h"
#include "fs/walk.h"

namespace {

// Owner-only until the copy is complete, like everything it is made in.
constexpr mode_t FILLING_MODE = 0600;
constexpr off_t BLOCK_UNIT = 512;  // of st_blocks
constexpr const char* NOT_KEPT = "It is of a type that no copy can make again";
constexpr const char* DEFAULT_ACL = "system.posix_acl_default";
// What a new entry takes from a default ACL above it; a file only the first.
constexpr char INHERITED[] = "system.posix_acl_access\0system.posix_acl_default";
constexpr std::size_t INHERITED_BY_FILES = sizeof "system.posix_acl_access";
constexpr std::size_t ATTRIBUTES_SIZE = 65536;  // the kernel's bound for a list and a value

// Nothing here is re-entered: one set of buffers serves every entry, and
// messages name the entry being kept and its copy.
std::array<char, ATTRIBUTES_SIZE> source_names;
std::array<char, ATTRIBUTES_SIZE> destination_names;
std::array<char, ATTRIBUTES_SIZE> buffer;  // an attribute's value, or a stretch of a file
struct {
  const char* source;
  const char* destination;
} named;
std::array<Path, 2> joined;

// Each report returns false.
bool report(const char* reason) {
  std::printf("Unable to copy %s to %s. %s.\n\n", named.source, named.destination, reason);
  return false;
}

bool report_error() { return report(failure_reason(errno)); }

bool report_attribute(const char* name) {
  std::printf("Unable to keep the attribute %s of %s in %s. %s.\n\n", name, named.source,
              named.destination, std::strerror(errno));
  return false;
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
std::array<LinkedFile, KEPT_LINKS_LIMIT> links;

// Which attributes the source lacks go from the copy: none, those a default
// ACL above gave it, or all.
enum class Extras { KEPT, INHERITED, ALL };

// The one tree copy running.
struct Keep {
  int top = -1;  // the destination's top, from which a link's first copy is reached
  int to = -1;   // the destination directory of the level being read
  Extras extras = Extras::KEPT;
  const Identity* left_out = nullptr;
  int holder = -1;
  const KeepWatch* watch = nullptr;
  std::size_t depth = 0;
  dev_t device = 0;  // the source's file system
  int failures = 0;
  int used = 0;  // of links
  ShownPath source{};
  ShownPath destination{};
  Path where{};  // the level below the top, "a/b/", as far as it fits
  std::size_t where_hidden = 0;
  bool made_with_known = false;  // the level's directory as it was made, once looked at
  struct stat made_with {};
};
Keep keep;

// An entry's descriptor or, for one no descriptor serves, its directory, its
// name there and its path under /proc/self/fd, which no call follows.
struct Holder {
  int fd;
  const char* link = nullptr;
  const char* name = nullptr;
};

// h's attribute names, none where its file system holds none.
bool list_attributes(const Holder& h, char* list, std::size_t* length) {
  const ssize_t listed = h.link != nullptr ? llistxattr(h.link, list, ATTRIBUTES_SIZE)
                                           : flistxattr(h.fd, list, ATTRIBUTES_SIZE);
  *length = listed < 0 ? 0 : static_cast<std::size_t>(listed);
  return listed >= 0 || errno == ENOTSUP;
}

bool in_list(const char* list, std::size_t length, const char* name) {
  for (const char* entry = list; entry < list + length; entry += std::strlen(entry) + 1) {
    if (std::strcmp(entry, name) == 0) return true;
  }
  return false;
}

// Gives destination source's extended attributes, the extras it has removed.
bool keep_attribute_list(const Holder& source, const Holder& destination, Extras extras,
                         bool is_directory) {
  std::size_t names = 0;
  if (!list_attributes(source, source_names.data(), &names)) return report_error();
  for (const char* name = source_names.data(); name < source_names.data() + names;
       name += std::strlen(name) + 1) {
    const ssize_t length = source.link != nullptr
                               ? lgetxattr(source.link, name, buffer.data(), ATTRIBUTES_SIZE)
                               : fgetxattr(source.fd, name, buffer.data(), ATTRIBUTES_SIZE);
    if (length < 0 && errno == ENODATA) continue;  // removed since it was listed
    const auto size = static_cast<std::size_t>(length);
    if (length < 0 || (destination.link != nullptr
                           ? lsetxattr(destination.link, name, buffer.data(), size, 0)
                           : fsetxattr(destination.fd, name, buffer.data(), size, 0)) != 0) {
      return report_attribute(name);
    }
  }
  const char* present = extras == Extras::ALL ? destination_names.data() : INHERITED;
  std::size_t present_length = is_directory ? sizeof INHERITED : INHERITED_BY_FILES;
  if (extras == Extras::KEPT) return true;
  if (extras == Extras::ALL &&
      !list_attributes(destination, destination_names.data(), &present_length)) {
    return report_error();
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
    if (removed != 0 && errno != ENODATA && errno != ENOTSUP) return report_attribute(name);
  }
  return true;
}

// The owner first: giving a file away clears its set-user-ID bit and its
// capability. Then the extended attributes, an access ACL among them
// setting the group bits its own way; then the mode, which agrees with that
// ACL; the times last, since every change before touched them.
bool keep_inode(const Holder& source, const Holder& destination, const struct stat& status,
                Extras extras, bool owned = false) {
  const timespec times[2] = {status.st_atim, status.st_mtim};
  const bool by_name = destination.link != nullptr;
  const int at = destination.fd;
  const char* name = destination.name;
  if (!owned && (by_name ? fchownat(at, name, status.st_uid, status.st_gid, AT_SYMLINK_NOFOLLOW)
                         : fchown(at, status.st_uid, status.st_gid)) != 0) {
    return report_error();
  }
  if (!keep_attribute_list(source, destination, extras, S_ISDIR(status.st_mode))) return false;
  // The entry at name is the one just made, where no one else can reach.
  const mode_t mode = status.st_mode & ALLPERMS;
  return ((by_name ? (S_ISLNK(status.st_mode) || fchmodat(at, name, mode, 0) == 0)
                   : fchmod(at, mode) == 0) &&
          (by_name ? utimensat(at, name, times, AT_SYMLINK_NOFOLLOW) : futimens(at, times)) == 0) ||
         report_error();
}

// By the kernel, which shares blocks where the file system can.
bool copy_range(int source, int destination, off_t offset, off_t length) {
  loff_t in = offset;
  loff_t out = offset;
  while (length > 0) {
    ssize_t copied =
        copy_file_range(source, &in, destination, &out, static_cast<std::size_t>(length), 0);
    if (copied < 0 &&
        (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
      copied = pread(source, buffer.data(),
                     std::min(buffer.size(), static_cast<std::size_t>(length)), in);
      const ssize_t written =
          copied > 0 ? pwrite(destination, buffer.data(), static_cast<std::size_t>(copied), out)
                     : copied;
      if (written != copied) {
        if (written >= 0) errno = ENOSPC;  // a write cut short says why no more
        return false;
      }
      in += copied;
      out += copied;
    }
    if (copied <= 0) return copied == 0;  // 0: the file was cut short meanwhile
    length -= copied;
  }
  return true;
}

// A sparse file by its data alone, so that its holes stay holes.
bool copy_data(int source, int destination, const struct stat& status) {
  if (status.st_blocks * BLOCK_UNIT >= status.st_size) {
    return copy_range(source, destination, 0, status.st_size);
  }
  for (off_t position = 0;;) {
    const off_t data = lseek(source, position, SEEK_DATA);
    if (data < 0 && errno == ENXIO) break;  // nothing but a hole to the end
    const off_t hole = data < 0 ? -1 : lseek(source, data, SEEK_HOLE);
    if (hole < 0 || !copy_range(source, destination, data, hole - data)) return false;
    position = hole;
  }
  return ftruncate(destination, status.st_size) == 0;
}

// Fills made (closed here) from the regular file source; owned where it
// has source's owner and group already.
bool fill_file(int source, int made, const struct stat& status, Extras extras, bool owned = false) {
  Descriptor to(made);
  if (!copy_data(source, made, status)) return report_error();
  return keep_inode(Holder{source}, Holder{made}, status, extras, owned) &&
         (close(to.release()) == 0 || report_error());
}

bool link_path(Path* path, int directory, const char* name) {
  const int length =
      std::snprintf(path->data(), path->size(), "/proc/self/fd/%d/%s", directory, name);
  if (length >= 0 && static_cast<std::size_t>(length) < path->size()) return true;
  errno = ENAMETOOLONG;
  return false;
}

// A file whose other links cannot be noted (the table full, or too deep) is
// kept as a file of its own and named: another user who plants many links
// must not fail the run.
void remember_linked(const struct stat& status, const char* name) {
  LinkedFile* const end = links.data() + keep.used;
  LinkedFile* slot =
      std::find_if(links.data(), end, [](const LinkedFile& file) { return file.unmet == 0; });
  if (slot == end) slot = keep.used < KEPT_LINKS_LIMIT ? &links[keep.used++] : nullptr;
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
        named.source, named.destination);
    return;
  }
  *slot = {status.st_dev, status.st_ino,       made.st_dev,
           made.st_ino,   status.st_nlink - 1, slot->where};
}

// 1 where name was linked to the copy of a file met before, 0 where none
// was, -1 on failure.
int link_if_met(const struct stat& status, const char* name) {
  LinkedFile* const end = links.data() + keep.used;
  LinkedFile* file = std::find_if(links.data(), end, [&](const LinkedFile& linked) {
    return linked.unmet != 0 && linked.device == status.st_dev && linked.inode == status.st_ino;
  });
  if (status.st_nlink <= 1 || file == end) return 0;
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

// The entry at name, opened, where it is still the one examined: another user
// who may write beside it could have put theirs at its name since.
int open_examined(int from, const char* name, int flags, const struct stat& status,
                  struct stat* opened) {
  Descriptor entry(openat(from, name, flags));
  if (!entry.is_open() || fstat(entry.get(), opened) != 0) return -1;
  if (opened->st_ino == status.st_ino && opened->st_dev == status.st_dev) return entry.release();
  errno = NOT_THE_ENTRY;
  return -1;
}

bool keep_other(int from, const char* name, const struct stat& status) {
  const int linked = link_if_met(status, name);
  if (linked != 0) return linked > 0 || report_error();
  bool kept = false;
  struct stat opened {};
  if (S_ISREG(status.st_mode)) {
    Descriptor source(open_examined(from, name, READ_FLAGS, status, &opened));
    if (!source.is_open()) return report_error();
    // A file made in a directory of the copy takes the owner and group that
    // directory was made with (its own come last): where those are the old
    // file's, it is not given them again.
    if (!keep.made_with_known) keep.made_with_known = fstat(keep.to, &keep.made_with) == 0;
    const bool owned = keep.made_with_known && keep.made_with.st_uid == opened.st_uid &&
                       keep.made_with.st_gid == opened.st_gid;
    const int made = openat(keep.to, name, NEW_FILE_FLAGS, FILLING_MODE);
    kept = made >= 0 ? fill_file(source.get(), made, opened, keep.extras, owned) : report_error();
  } else {
    bool made;
    if (S_ISLNK(status.st_mode)) {
      // Read through the very link examined, or root's copy would lead where
      // the other user chose.
      std::array<char, TREE_PATH_LIMIT * 4> target{};
      Descriptor link(open_examined(from, name, O_PATH | O_NOFOLLOW | O_CLOEXEC, status, &opened));
      made = link.is_open() && readlinkat(link.get(), "", target.data(), target.size() - 1) >= 0 &&
             symlinkat(target.data(), keep.to, name) == 0;
    } else {  // a FIFO, a socket or a device: no other type is left
      made = mknodat(keep.to, name, (status.st_mode & S_IFMT) | FILLING_MODE, status.st_rdev) == 0;
    }
    Path source_link;
    Path made_link;
    kept = made && link_path(&source_link, from, name) && link_path(&made_link, keep.to, name)
               ? keep_inode(Holder{-1, source_link.data()}, Holder{keep.to, made_link.data(), name},
                            status, keep.extras)
               : report_error();
  }
  if (kept && status.st_nlink > 1) remember_linked(status, name);
  return kept;
}

int fail() {
  report_error();
  ++keep.failures;
  return WALK_NEXT;
}

int keep_entry(void*, int from, const char* name, unsigned char) {
  join_path(&joined[0], keep.source.text.data(), name);
  join_path(&joined[1], keep.destination.text.data(), name);
  named = {joined[0].data(), joined[1].data()};
  Identity identity;
  struct stat status {};
  bool mount = false;
  const bool examined = examine(from, name, &status, &identity, &mount);
  if (examined && keep.depth == 0 && keep.left_out != nullptr &&
      same_identity(identity, *keep.left_out)) {
    return WALK_NEXT;
  }
  // Another file system (an overlay gives files their layer's device, a
  // user's FUSE mount bars even root) is not ours to copy: another user's may
  // claim root's files, set-user-ID.
  if (examined ? mount || (S_ISDIR(status.st_mode) && status.st_dev != keep.device)
               : errno == EACCES) {
    std::printf(
        "Left %s as it is: another file system is mounted there. %s holds no copy of it.\n\n",
        named.source, named.destination);
    return WALK_NEXT;
  }
  if (!examined) return fail();
  if (S_ISDIR(status.st_mode)) return mkdirat(keep.to, name, 0700) == 0 ? WALK_ENTER : fail();
  if (!keep_other(from, name, status)) ++keep.failures;
  return WALK_NEXT;
}

int keep_entered(void*, int, int directory, const char* name) {
  Descriptor below(directory >= 0 ? openat(keep.to, name, DIRECTORY_FLAGS) : -1);
  if (!below.is_open()) return fail();  // keep_entry named it
  // No one else may enter the copy: ".." leads back up, one descriptor a level.
  if (keep.to != keep.top) close(keep.to);
  keep.to = below.release();
  keep.made_with_known = false;
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

// A level's copy takes its attributes last: every entry made changed its times.
bool keep_left(void*, int directory) {
  struct stat status {};
  const int to = keep.depth == 0 && keep.holder >= 0 ? keep.holder : keep.to;
  const Extras extras = keep.depth == 0 ? Extras::INHERITED : keep.extras;
  named = {keep.source.text.data(), keep.destination.text.data()};
  if (!(fstat(directory, &status) == 0 ? keep_inode(Holder{directory}, Holder{to}, status, extras)
                                       : report_error())) {
    ++keep.failures;
  }
  if (keep.depth == 0) return true;
  const int above = --keep.depth == 0 ? keep.top : openat(keep.to, "..", DIRECTORY_FLAGS);
  close(keep.to);
  keep.to = above;
  keep.made_with_known = false;
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
              int holder, const Identity* left_out, const KeepWatch* watch) {
  // Where it cannot be told whether new entries take a default ACL, they do.
  const bool acls = fgetxattr(destination, DEFAULT_ACL, nullptr, 0) >= 0 ||
                    (errno != ENODATA && errno != ENOTSUP);
  keep = Keep{destination, destination, acls ? Extras::INHERITED : Extras::KEPT,
              left_out,    holder,      watch};
  shown_start(&keep.source, source_path);
  shown_start(&keep.destination, destination_path);
  struct stat top {};
  const bool examined = fstat(source, &top) == 0;
  keep.device = top.st_dev;
  const WalkVisitor visitor{keep_entry, keep_entered, keep_left, nullptr};
  if (!examined || !walk_tree(source, visitor)) {
    named = {keep.source.text.data(), keep.destination.text.data()};
    fail();
  }
  if (keep.to != keep.top) close(keep.to);
  return keep.failures;
}

bool keep_file(int source, const char* source_path, int destination, const char* destination_path) {
  Descriptor to(destination);
  struct stat status {};
  named = {source_path, destination_path};
  if (fstat(source, &status) != 0) return report_error();
  return S_ISREG(status.st_mode) ? fill_file(source, to.release(), status, Extras::ALL)
                                 : report(NOT_KEPT);
}

bool keep_attributes(int source, int destination, const char* path) {
  struct stat status {};
  named = {path, path};
  if (fstat(source, &status) != 0) return report_error();
  return keep_inode(Holder{source}, Holder{destination}, status, Extras::ALL);
}
