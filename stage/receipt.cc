#include "stage/receipt.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "copy/copy.h"
#include "copy/descriptor.h"
#include "stage/record.h"

namespace {

constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// How deep the digest goes: a stream a level. A tree as deep as another
// user may make one counts below that only as being there.
constexpr int DIGEST_DEPTH_LIMIT = static_cast<int>(TREE_PATH_LIMIT / 2);

struct Walk {
  dev_t device = 0;
  std::uint64_t sum = 0;
};

void mix(std::uint64_t* hash, std::int64_t value) {
  for (int byte = 0; byte < 8; ++byte) {
    *hash = (*hash ^ ((static_cast<std::uint64_t>(value) >> (8 * byte)) & 0xff)) * 1099511628211ULL;
  }
}

// An entry's place in the tree, however deep: its directory's place and
// its name.
std::uint64_t place_of(std::uint64_t directory, const char* name) {
  std::uint64_t place = directory;
  for (const char* byte = name; *byte != '\0'; ++byte) {
    place = (place ^ static_cast<unsigned char>(*byte)) * 1099511628211ULL;
  }
  return (place ^ '/') * 1099511628211ULL;
}

// The entries are summed, so that the order a directory lists them in,
// which a file system may change, does not count.
void add_entry(Walk* walk, std::uint64_t place, const struct stat& status, EntryIdentity identity,
               bool top) {
  std::uint64_t hash = place;
  mix(&hash, status.st_mode);
  if (status.st_dev != walk->device) {
    walk->sum += hash;  // another file system's: only that it is there
    return;
  }
  for (std::int64_t value :
       {static_cast<std::int64_t>(status.st_uid), static_cast<std::int64_t>(status.st_gid),
        static_cast<std::int64_t>(status.st_size), static_cast<std::int64_t>(status.st_ino),
        static_cast<std::int64_t>(identity.born), identity.birth_seconds,
        static_cast<std::int64_t>(identity.birth_nanoseconds)}) {
    mix(&hash, value);
  }
  if (!(top && S_ISDIR(status.st_mode))) {
    for (std::int64_t value : {static_cast<std::int64_t>(status.st_mtim.tv_sec),
                               static_cast<std::int64_t>(status.st_mtim.tv_nsec),
                               static_cast<std::int64_t>(status.st_ctim.tv_sec),
                               static_cast<std::int64_t>(status.st_ctim.tv_nsec)}) {
      mix(&hash, value);
    }
  }
  walk->sum += hash;
}

bool digest_entry(Walk* walk, int directory, const char* name, std::uint64_t place, int depth,
                  const struct stat* top = nullptr) {
  struct stat status {};
  EntryIdentity identity;
  if (!examine_at(directory, name, &status, &identity)) return false;
  if (depth == 0) walk->device = status.st_dev;
  if (top != nullptr) {
    status.st_uid = top->st_uid;
    status.st_gid = top->st_gid;
    status.st_mode = (status.st_mode & S_IFMT) | (top->st_mode & 07777);
  }
  add_entry(walk, place, status, identity, depth == 0);
  // What another user owns is theirs to change, and an undo never enters
  // it: only that it is there, as it is, counts.
  if (!S_ISDIR(status.st_mode) || status.st_dev != walk->device || status.st_uid != geteuid() ||
      depth >= DIGEST_DEPTH_LIMIT) {
    return true;
  }
  Descriptor opened(openat(directory, name, DIRECTORY_FLAGS));
  struct stat now {};
  if (!opened.is_open() || fstat(opened.get(), &now) != 0) return false;
  if (!same_file(now, status)) {
    errno = ESTALE;
    return false;
  }
  DirectoryStream stream(open_directory_stream(opened.release()));
  return stream && for_each_listed(stream.get(), [&](const dirent& entry) {
           return digest_entry(walk, dirfd(stream.get()), entry.d_name,
                               place_of(place, entry.d_name), depth + 1);
         });
}

// What the receipt keeps of a target.
std::array<StagedTarget, RECORD_TARGETS> receipt_targets;

}  // namespace

bool tree_digest(int directory, const char* name, std::uint64_t* digest, const struct stat* top) {
  static Walk walk;
  walk = Walk{};
  if (!digest_entry(&walk, directory, name, 1469598103934665603ULL, 0, top)) return false;
  *digest = walk.sum;
  return true;
}

bool keep_receipt(const StagedTarget* targets, std::size_t count) {
  for (std::size_t i = 0; i < count && i < RECORD_TARGETS; ++i) {
    const StagedTarget& target = targets[i];
    StagedTarget& kept = receipt_targets[i];
    kept.path = target.path;
    kept.is_directory = target.is_directory;
    kept.replaces = target.replaces;
    kept.in_place = target.in_place;
    kept.staged_inside = target.staged_inside;
    kept.parent_identity = target.parent_identity;
    kept.old_identity = {};
    kept.kept_digest = 0;
    const int parent = target.parent.get();
    if (!identity_at(parent, target.name, &kept.staged_identity) ||
        !tree_digest(parent, target.name, &kept.installed_digest) ||
        (target.replaces && (!identity_at(parent, target.backup, &kept.old_identity) ||
                             !tree_digest(parent, target.backup, &kept.kept_digest)))) {
      std::printf("Unable to write %s. %s.\n\n", RECEIPT_PATH, std::strerror(errno));
      return false;
    }
  }
  if (write_receipt(receipt_targets.data(), count)) return true;
  std::printf("Unable to write %s. %s.\n\n", RECEIPT_PATH, std::strerror(errno));
  return false;
}
