#include "stage/target.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <ctime>

bool examine_at(int directory, const char* name, struct stat* status, EntryIdentity* identity) {
  struct statx found {};
  const int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | (name[0] == '\0' ? AT_EMPTY_PATH : 0);
  if (statx(directory, name, flags, STATX_BASIC_STATS | STATX_BTIME, &found) != 0) return false;
  const dev_t device = makedev(found.stx_dev_major, found.stx_dev_minor);
  if (status != nullptr) {
    *status = {};
    status->st_dev = device;
    status->st_ino = found.stx_ino;
    status->st_mode = found.stx_mode;
    status->st_nlink = found.stx_nlink;
    status->st_uid = found.stx_uid;
    status->st_gid = found.stx_gid;
    status->st_size = static_cast<off_t>(found.stx_size);
    status->st_atim = {found.stx_atime.tv_sec, found.stx_atime.tv_nsec};
    status->st_mtim = {found.stx_mtime.tv_sec, found.stx_mtime.tv_nsec};
    status->st_ctim = {found.stx_ctime.tv_sec, found.stx_ctime.tv_nsec};
  }
  if (identity != nullptr) {
    *identity = {device, found.stx_ino, (found.stx_mask & STATX_BTIME) != 0, 0, 0};
    if (identity->born) {
      identity->birth_seconds = found.stx_btime.tv_sec;
      identity->birth_nanoseconds = found.stx_btime.tv_nsec;
    }
  }
  return true;
}

bool identity_at(int directory, const char* name, EntryIdentity* identity) {
  return examine_at(directory, name, nullptr, identity);
}

bool same_identity(EntryIdentity now, EntryIdentity known) {
  if (known.inode == 0 || now.inode != known.inode) return false;
  if (now.born && known.born) {
    return now.birth_seconds == known.birth_seconds &&
           now.birth_nanoseconds == known.birth_nanoseconds;
  }
  // A birth time known once is told again by the same entry: one found
  // now without it is on another file system, whatever its numbers.
  return !known.born && !now.born && now.device == known.device;
}

bool settled_identity_at(int directory, const char* name, EntryIdentity* identity) {
  struct statfs file_system {};
  if (fstatfs(directory, &file_system) != 0) return false;
  if (file_system.f_type != OVERLAYFS_SUPER_MAGIC) return identity_at(directory, name, identity);
  // Any change of attributes copies the entry up; its access time set to
  // what it is changes nothing else (a change of owner, even to the same
  // one, would take a file's set-user-ID bit and capabilities).
  struct stat status {};
  if (!examine_at(directory, name, &status, nullptr)) return false;
  const std::array<timespec, 2> times{status.st_atim, timespec{0, UTIME_OMIT}};
  if (S_ISREG(status.st_mode) || S_ISDIR(status.st_mode)) {
    Descriptor entry(
        name[0] == '\0'
            ? -1
            : openat(directory, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    const int settled = name[0] == '\0' ? directory : entry.get();
    return settled >= 0 && futimens(settled, times.data()) == 0 &&
           identity_at(settled, "", identity);
  }
  return utimensat(directory, name, times.data(), AT_SYMLINK_NOFOLLOW) == 0 &&
         identity_at(directory, name, identity);
}

// Not an exact mode: in a set-group-ID directory a new directory is
// set-group-ID too, and a default ACL may show in the group bits.
bool closed_to_others(const struct stat& status) {
  return status.st_uid == geteuid() && (status.st_mode & 022) == 0;
}
