#include "fs/entry.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/random.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "fs/fd.h"

namespace {

constexpr std::string_view NAME_LETTERS =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::size_t RANDOM_LETTERS = 8;
constexpr const char* STAGING_MARK = ".langext-";
constexpr const char* CUT = "/...";
constexpr std::size_t CUT_LENGTH = 4;
// A shown path keeps room for the mark of what was cut, and its NUL.
constexpr std::size_t SHOWN_ROOM = TREE_PATH_LIMIT - CUT_LENGTH - 1;

int at_flags(const char* name) {
  return AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | (name[0] == '\0' ? AT_EMPTY_PATH : 0);
}

// The name only has to make taking it first pointless: it is created
// exclusively and never through a link, so a name taken costs one more try.
void fill_random(unsigned char* bytes, std::size_t count) {
  if (getrandom(bytes, count, GRND_NONBLOCK) == static_cast<ssize_t>(count)) return;
  static unsigned long counter = 0;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  unsigned long mix = static_cast<unsigned long>(now.tv_nsec) ^
                      (static_cast<unsigned long>(getpid()) << 20) ^ (++counter * 2654435761UL);
  for (std::size_t i = 0; i < count; ++i, mix = mix * 6364136223846793005UL + 1) {
    bytes[i] = static_cast<unsigned char>(mix >> 33);
  }
}

// Shows directory as far as it fits in whole components, then the mark.
void cut_to_fit(Path* shown, const char* directory) {
  std::size_t kept = std::min(std::strlen(directory), SHOWN_ROOM);
  while (kept > 0 && directory[kept] != '/' && directory[kept] != '\0') --kept;
  std::snprintf(shown->data(), shown->size(), "%.*s%s", static_cast<int>(kept), directory, CUT);
}

bool cut_short(const char* path) {
  for (const char* cut = std::strstr(path, CUT); cut != nullptr; cut = std::strstr(cut + 1, CUT)) {
    if (cut[CUT_LENGTH] == '\0' || cut[CUT_LENGTH] == '/') return true;
  }
  return false;
}

// Which mount the entry is on, from what the kernel holds (Linux 2.6.39
// on), without asking its file system anything.
bool mount_id_at(int directory, const char* name, int* mount) {
  struct {
    file_handle handle;
    unsigned char bytes[MAX_HANDLE_SZ];  // cppcheck-suppress unusedStructMember
  } buffer{};
  buffer.handle.handle_bytes = MAX_HANDLE_SZ;
  return name_to_handle_at(directory, name, &buffer.handle, mount,
                           name[0] == '\0' ? AT_EMPTY_PATH : 0) == 0;
}

// mount_at for the entry found at name. Where the kernel does not tell
// (before Linux 5.8), another mount than the directory's.
int mount_root(int directory, const char* name, const struct statx& found) {
  if ((found.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0) {
    return (found.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0 ? 1 : 0;
  }
  int entry = 0;
  int parent = 0;
  if (mount_id_at(directory, name, &entry) && mount_id_at(directory, "", &parent)) {
    return entry != parent ? 1 : 0;
  }
  struct stat above {};
  if (fstat(directory, &above) != 0) return -1;
  return makedev(found.stx_dev_major, found.stx_dev_minor) != above.st_dev ? 1 : 0;
}

}  // namespace

bool examine(int directory, const char* name, struct stat* status, Identity* identity,
             bool* mount) {
  struct statx found {};
  if (statx(directory, name, at_flags(name), STATX_BASIC_STATS | STATX_BTIME, &found) != 0) {
    return false;
  }
  if (mount != nullptr) *mount = mount_root(directory, name, found) == 1;
  const dev_t device = makedev(found.stx_dev_major, found.stx_dev_minor);
  if (status != nullptr) {
    *status = {};
    status->st_dev = device;
    status->st_ino = found.stx_ino;
    status->st_mode = found.stx_mode;
    status->st_nlink = found.stx_nlink;
    status->st_uid = found.stx_uid;
    status->st_gid = found.stx_gid;
    status->st_rdev = makedev(found.stx_rdev_major, found.stx_rdev_minor);
    status->st_size = static_cast<off_t>(found.stx_size);
    status->st_blocks = static_cast<blkcnt_t>(found.stx_blocks);
    status->st_atim = {found.stx_atime.tv_sec, found.stx_atime.tv_nsec};
    status->st_mtim = {found.stx_mtime.tv_sec, found.stx_mtime.tv_nsec};
    status->st_ctim = {found.stx_ctime.tv_sec, found.stx_ctime.tv_nsec};
  }
  if (identity != nullptr) {
    const bool born = (found.stx_mask & STATX_BTIME) != 0;
    *identity = {device, found.stx_ino, born, born ? found.stx_btime.tv_sec : 0,
                 born ? found.stx_btime.tv_nsec : 0};
  }
  return true;
}

bool same_identity(const Identity& now, const Identity& known) {
  if (known.inode == 0 || now.inode != known.inode) return false;
  if (now.born && known.born) {
    return now.seconds == known.seconds && now.nanoseconds == known.nanoseconds;
  }
  // An entry once told its birth time tells it again: one that does not now
  // is on another file system, whatever its numbers.
  return !known.born && !now.born && now.device == known.device;
}

bool holds_entry(int directory, const char* name, const Identity& identity) {
  Identity found;
  if (directory < 0 || name == nullptr || !examine(directory, name, nullptr, &found)) return false;
  if (same_identity(found, identity)) return true;
  errno = NOT_THE_ENTRY;
  return false;
}

bool settle(int directory, const char* name, Identity* identity) {
  struct statfs file_system {};
  struct stat status {};
  if (fstatfs(directory, &file_system) != 0 || !examine(directory, name, &status, nullptr)) {
    return false;
  }
  // The access time set to what it is copies the entry up and changes
  // nothing else (a change of owner would take a set-user-ID bit).
  const timespec times[2] = {status.st_atim, {0, UTIME_OMIT}};
  if (file_system.f_type == OVERLAYFS_SUPER_MAGIC &&
      (name[0] == '\0' ? futimens(directory, times)
                       : utimensat(directory, name, times, AT_SYMLINK_NOFOLLOW)) != 0) {
    return false;
  }
  return examine(directory, name, nullptr, identity);
}

void unescape_mount_text(char* text) {
  char* to = text;
  for (const char* from = text; *from != '\0'; ++to) {
    if (from[0] == '\\' && from[1] >= '0' && from[1] <= '3' && from[2] >= '0' && from[2] <= '7' &&
        from[3] >= '0' && from[3] <= '7') {
      *to = static_cast<char>((from[1] - '0') * 64 + (from[2] - '0') * 8 + (from[3] - '0'));
      from += 4;
    } else {
      *to = *from++;
    }
  }
  *to = '\0';
}

bool find_mount(int directory, const char* name, MountLine* found) {
  int id = 0;
  struct statx mount {};
  if (!mount_id_at(directory, name, &id)) {
    if (statx(directory, name, at_flags(name), STATX_MNT_ID, &mount) != 0 ||
        (mount.stx_mask & STATX_MNT_ID) == 0) {
      return false;
    }
    id = static_cast<int>(mount.stx_mnt_id);
  }
  std::array<char, 32> wanted{};
  std::snprintf(wanted.data(), wanted.size(), "%d ", id);
  const Stream table(std::fopen("/proc/self/mountinfo", "re"));
  static std::array<char, 65536> line;
  // A line too long for the buffer is none: its rest must not pass for one.
  for (bool whole = true;
       table && std::fgets(line.data(), static_cast<int>(line.size()), table.get()) != nullptr;) {
    const bool at_start = whole;
    whole = std::strchr(line.data(), '\n') != nullptr;
    // ID PARENT MAJOR:MINOR ROOT POINT OPTIONS [TAGS] - TYPE SOURCE SUPER,
    // every space inside a field escaped.
    char* tail = std::strstr(line.data(), " - ");
    if (!at_start || !whole || tail == nullptr ||
        !std::string_view(line.data()).starts_with(wanted.data())) {
      continue;
    }
    *tail = '\0';
    tail += 3;
    char* head = line.data();
    for (int skipped = 0; skipped < 4; ++skipped) strsep(&head, " ");
    char* point = strsep(&head, " ");
    found->type = strsep(&tail, " ");
    strsep(&tail, " ");  // the source
    found->options = strsep(&tail, " \n");
    if (point == nullptr || found->options == nullptr) return false;
    unescape_mount_text(point);
    found->point = point;
    return true;
  }
  return false;
}

int mount_at(int directory, const char* name) {
  struct statx found {};
  if (statx(directory, name, at_flags(name), STATX_BASIC_STATS, &found) != 0) {
    return errno == EACCES ? 1 : -1;
  }
  return mount_root(directory, name, found);
}

bool move_entry(int from, const char* from_name, int to, const char* to_name, bool exchange) {
  if (renameat2(from, from_name, to, to_name, exchange ? RENAME_EXCHANGE : RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (exchange || !cannot_exchange(errno)) return false;
  // Without RENAME_NOREPLACE, the name is tested first.
  struct stat status {};
  if (fstatat(to, to_name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return false;
  }
  return errno == ENOENT && renameat(from, from_name, to, to_name) == 0;
}

bool cannot_exchange(int error) { return error == EINVAL || error == ENOSYS; }

bool cannot_move(int error) { return error == EXDEV || error == EBUSY; }

void make_staging_name(char* name, const char* base, long name_limit) {
  std::array<unsigned char, RANDOM_LETTERS> random{};
  fill_random(random.data(), random.size());
  std::array<char, RANDOM_LETTERS + 1> letters{};
  for (std::size_t i = 0; i < RANDOM_LETTERS; ++i) {
    letters[i] = NAME_LETTERS[random[i] % NAME_LETTERS.size()];
  }
  const int length =
      std::snprintf(name, NAME_BUFFER_SIZE, ".%s%s%s", base, STAGING_MARK, letters.data());
  if (length < 0 || length > name_limit || static_cast<std::size_t>(length) >= NAME_BUFFER_SIZE) {
    std::snprintf(name, NAME_BUFFER_SIZE, "%s%s", STAGING_MARK, letters.data());
  }
}

void make_work_name(char* name, std::size_t size, const char* staging, char kind) {
  const std::size_t length = std::strlen(staging);
  const char* letters = staging + (length > RANDOM_LETTERS ? length - RANDOM_LETTERS : 0);
  std::snprintf(name, size, "%s%s.%c", STAGING_MARK, letters, kind);
}

bool is_dot_or_dot_dot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

bool earlier(const timespec& first, const timespec& second) {
  return first.tv_sec < second.tv_sec ||
         (first.tv_sec == second.tv_sec && first.tv_nsec < second.tv_nsec);
}

const char* failure_reason(int error) {
  return error == NOT_A_REGULAR_FILE ? "It is not a regular file or a link to one"
         : error == NOT_THE_ENTRY    ? "Another entry has taken its place"
                                     : std::strerror(error);
}

bool join_path(Path* joined, const char* directory, const char* name) {
  const bool cut = cut_short(directory);
  const int length = std::snprintf(joined->data(), joined->size(), "%s/%s", directory, name);
  if (length >= 0 && static_cast<std::size_t>(length) < joined->size() && !cut) return true;
  if (cut && std::strlen(directory) < joined->size()) {
    std::snprintf(joined->data(), joined->size(), "%s", directory);
  } else {
    cut_to_fit(joined, directory);
  }
  return false;
}

void shown_start(ShownPath* shown, const char* path) {
  shown->hidden = std::strlen(path) <= SHOWN_ROOM ? 0 : 1;
  if (shown->hidden == 0) {
    std::snprintf(shown->text.data(), shown->text.size(), "%s", path);
  } else {
    cut_to_fit(&shown->text, path);  // and so it stays
  }
}

void shown_enter(ShownPath* shown, const char* name) {
  const std::size_t length = std::strlen(shown->text.data());
  if (shown->hidden == 0 && length + 1 + std::strlen(name) <= SHOWN_ROOM) {
    std::snprintf(shown->text.data() + length, shown->text.size() - length, "/%s", name);
  } else if (shown->hidden++ == 0) {
    std::snprintf(shown->text.data() + length, shown->text.size() - length, "%s", CUT);
  }
}

void shown_leave(ShownPath* shown) {
  if (shown->hidden > 0) {
    if (--shown->hidden == 0) shown->text[std::strlen(shown->text.data()) - CUT_LENGTH] = '\0';
    return;
  }
  char* slash = std::strrchr(shown->text.data(), '/');
  if (slash != nullptr) *slash = '\0';
}

int open_parent_directory(const char* path, Path* buffer, const char** name) {
  std::size_t length = std::strlen(path);
  if (length == 0 || length >= buffer->size()) {
    errno = length == 0 ? ENOENT : ENAMETOOLONG;
    return -1;
  }
  std::memcpy(buffer->data(), path, length + 1);
  while (length > 1 && (*buffer)[length - 1] == '/') (*buffer)[--length] = '\0';
  char* slash = std::strrchr(buffer->data(), '/');
  *name = slash == nullptr ? buffer->data() : slash[1] == '\0' ? "." : slash + 1;
  const char* parent = slash == nullptr ? "." : slash == buffer->data() ? "/" : buffer->data();
  if (slash != nullptr && slash != buffer->data()) *slash = '\0';
  return open(parent, O_RDONLY | O_DIRECTORY | O_CLOEXEC);  // the path's links are the admin's
}
