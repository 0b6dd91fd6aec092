// What a run would do with each target, found without changing anything:
// every look here only reads.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "fs/copy.h"
#include "fs/fd.h"
#include "fs/walk.h"
#include "installer/installer.h"

namespace {

// Whether the directory name of parent is on an overlay and lies in one of
// its lower layers, which the overlay will not rename (unless it was
// mounted with redirect_dir=on): a run then installs it in place.
bool in_lower_layer(int parent, const char* name) {
  struct statfs file_system {};
  MountLine mount{};
  std::array<char, 64> link{};
  std::array<char, PATH_MAX> where{};
  std::snprintf(link.data(), link.size(), "/proc/self/fd/%d", parent);
  const ssize_t length = readlink(link.data(), where.data(), where.size() - 1);
  if (fstatfs(parent, &file_system) != 0 || file_system.f_type != OVERLAYFS_SUPER_MAGIC ||
      length <= 0 || !find_mount(parent, "", &mount) || std::strcmp(mount.type, "overlay") != 0) {
    return false;
  }
  std::string_view below(where.data());
  if (!below.starts_with(mount.point)) return false;
  below.remove_prefix(std::strcmp(mount.point, "/") == 0 ? 0 : std::strlen(mount.point));
  bool lower = false;
  for (char* options = mount.options; options != nullptr && *options != '\0';) {
    char* layers = strsep(&options, ",");
    const std::string_view option(layers);
    if (option == "redirect_dir=on") return false;
    if (!option.starts_with("lowerdir=") && !option.starts_with("lowerdir+=")) continue;
    for (layers = std::strchr(layers, '=') + 1; layers != nullptr && *layers != '\0';) {
      char* layer = strsep(&layers, ":");
      // The layer as the mount table escapes it; the path below as it is.
      std::array<char, std::size_t{2} * PATH_MAX> candidate{};
      if (std::strlen(layer) >= candidate.size()) continue;
      unescape_mount_text(layer);
      const int written = std::snprintf(candidate.data(), candidate.size(), "%s%.*s/%s", layer,
                                        static_cast<int>(below.size()), below.data(), name);
      struct stat status {};
      lower = lower || (written > 0 && static_cast<std::size_t>(written) < candidate.size() &&
                        lstat(candidate.data(), &status) == 0 && S_ISDIR(status.st_mode));
    }
  }
  return lower;
}

// What a run needs on one file system.
struct Room {
  dev_t device = 0;
  const char* path = nullptr;  // a target on it, for the message
  unsigned long long block = 1;
  unsigned long long free_blocks = 0;
  unsigned long long free_entries = 0;  // or none counted, where no limit is told
  unsigned long long blocks = 0;
  unsigned long long entries = 0;
};

// One more entry of size bytes, in whole blocks.
void add_entry(Room* room, unsigned long long size) {
  ++room->entries;
  room->blocks += (size + room->block - 1) / room->block;
}

// Adds what the target takes on its file system, from the entry name of
// directory (a file or a directory, without another file system below it)
// to room: the package's part, and in place the copy of the old contents,
// which is never reached through a link.
bool count_part(int directory_fd, const char* name, bool directory, Room* room) {
  const int flags = directory_fd == AT_FDCWD ? O_RDONLY | O_NONBLOCK | O_CLOEXEC : READ_FLAGS;
  Descriptor opened(openat(directory_fd, name, (directory ? O_DIRECTORY : 0) | flags));
  struct stat status {};
  if (!opened.is_open() || fstat(opened.get(), &status) != 0) return false;
  add_entry(room, status.st_size);
  struct Counting {
    Room* room;
    dev_t device;
  } counting{room, status.st_dev};
  const WalkVisitor visitor{
      [](void* context, int level, const char* listed, unsigned char) {
        auto& count = *static_cast<Counting*>(context);
        struct stat entry {};
        // Gone since it was listed, or a mount that lets no one look, as
        // the run passes it by.
        if (fstatat(level, listed, &entry, AT_SYMLINK_NOFOLLOW) != 0) {
          return errno == ENOENT || errno == EACCES ? WALK_NEXT : WALK_STOP;
        }
        add_entry(count.room, S_ISREG(entry.st_mode) ? entry.st_size : 1);
        return S_ISDIR(entry.st_mode) && entry.st_dev == count.device ? WALK_ENTER : WALK_NEXT;
      },
      nullptr, nullptr, &counting};
  return !directory || walk_tree(opened.get(), visitor);
}

// The room of the file system that holds the open fd, among rooms, where
// the first not yet used is added for it; null where it cannot be told.
Room* room_of(Room* rooms, int fd, const char* path) {
  struct stat status {};
  struct statvfs space {};
  if (fstat(fd, &status) != 0 || fstatvfs(fd, &space) != 0) return nullptr;
  Room* room = rooms;
  while (room->path != nullptr && room->device != status.st_dev) ++room;
  if (room->path == nullptr) {
    *room = Room{status.st_dev, path, space.f_frsize > 0 ? space.f_frsize : 1, space.f_bavail,
                 space.f_files == 0 ? ~0ULL : space.f_favail};
  }
  return room;
}

}  // namespace

bool describe_run(const Target* targets, std::size_t count) {
  std::array<Room, 2 * TARGETS_LIMIT> rooms{};  // a target's, and the one beside it
  bool proceeds = true;
  std::printf("\n");  // after the prompt, which input from a pipe ends with no line end
  for (std::size_t i = 0; i < count; ++i) {
    const Target& target = targets[i];
    Path buffer;
    const char* name = nullptr;
    Descriptor parent(open_parent_directory(target.path, &buffer, &name));
    if (!parent.is_open()) {
      report_copy_failure(target.source, target.path);  // as a run reports it
      proceeds = false;
      continue;
    }
    const int mount = target.replaces ? mount_at(parent.get(), name) : 0;
    const bool lower =
        target.replaces && target.is_directory && mount == 0 && in_lower_layer(parent.get(), name);
    // A mount point's contents are staged on its own file system.
    Descriptor holder(mount == 1 && target.is_directory
                          ? openat(parent.get(), name, O_PATH | O_NOFOLLOW | O_CLOEXEC)
                          : fcntl(parent.get(), F_DUPFD_CLOEXEC, 0));
    Room* room = holder.is_open() ? room_of(rooms.data(), holder.get(), target.path) : nullptr;
    Room* beside = room_of(rooms.data(), parent.get(), target.path);
    const bool rooms_known = room != nullptr && beside != nullptr && mount >= 0;
    const bool in_place = mount == 1 || lower;
    // In place, the copy of the old contents is made beside the target, and
    // a file rewritten in place is kept a second time there, for its
    // put-back.
    if (!rooms_known || !count_part(AT_FDCWD, target.source, target.is_directory, room) ||
        (in_place && (!count_part(parent.get(), name, target.is_directory, beside) ||
                      (!target.is_directory && !count_part(parent.get(), name, false, beside))))) {
      report_copy_failure(target.source, target.path);
      proceeds = false;
    }
    if (!rooms_known) continue;
    if (!target.replaces) {
      std::printf("%s: made from %s; nothing stands there now.\n", target.path, target.source);
    } else if (in_place) {
      std::printf(
          "%s: installed in place, since it is %s, which the kernel will not move; its contents "
          "are copied to %s.old, and then replaced by those of %s.\n",
          target.path,
          lower                 ? "a directory of an overlay's lower layer"
          : target.is_directory ? "a mount point"
                                : "a bind-mounted file",
          target.path, target.source);
    } else {
      std::printf("%s: renamed to %s.old, and %s copied in its place.\n", target.path, target.path,
                  target.source);
    }
  }
  for (const Room& room : rooms) {
    if (room.path == nullptr ||
        (room.blocks <= room.free_blocks && room.entries <= room.free_entries)) {
      continue;
    }
    std::printf(
        "\nNot enough room for %s: a run needs about %llu KiB and %llu entries on its file system, "
        "where %llu KiB are free.\n",
        room.path, room.blocks * room.block / 1024, room.entries,
        room.free_blocks * room.block / 1024);
    proceeds = false;
  }
  std::printf(proceeds ? "\nA run would proceed.\n\n" : "\nA run would not proceed.\n\n");
  return proceeds;
}
