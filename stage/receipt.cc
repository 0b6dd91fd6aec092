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
// One descriptor a level, as a removal holds.
constexpr int DIGEST_DEPTH_LIMIT = static_cast<int>(TREE_PATH_LIMIT / 2);

struct Walk {
  std::array<char, TREE_PATH_LIMIT> place{};  // the entry's path within the tree
  std::size_t length = 0;
  dev_t device = 0;
  std::uint64_t sum = 0;
};

void mix(std::uint64_t* hash, std::int64_t value) {
  for (int byte = 0; byte < 8; ++byte) {
    *hash = (*hash ^ ((static_cast<std::uint64_t>(value) >> (8 * byte)) & 0xff)) * 1099511628211ULL;
  }
}

// The entries are summed, so that the order a directory lists them in,
// which a file system may change, does not count.
void add_entry(Walk* walk, const struct stat& status, EntryIdentity identity, bool top) {
  std::uint64_t hash = checksum(walk->place.data(), walk->length + 1);
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

bool digest_entry(Walk* walk, int directory, const char* name, int depth) {
  struct stat status {};
  EntryIdentity identity;
  if (!examine_at(directory, name, &status, &identity)) return false;
  if (depth == 0) walk->device = status.st_dev;
  add_entry(walk, status, identity, depth == 0);
  // What another user owns is theirs to change, and an undo never enters
  // it: only that it is there, as it is, counts.
  if (!S_ISDIR(status.st_mode) || status.st_dev != walk->device || status.st_uid != geteuid()) {
    return true;
  }
  if (depth >= DIGEST_DEPTH_LIMIT) {
    errno = ENAMETOOLONG;
    return false;
  }
  Descriptor opened(openat(directory, name, DIRECTORY_FLAGS));
  struct stat now {};
  if (!opened.is_open() || fstat(opened.get(), &now) != 0) return false;
  if (!same_file(now, status)) {
    errno = ESTALE;
    return false;
  }
  DirectoryStream stream(open_directory_stream(opened.release()));
  if (!stream) return false;
  const std::size_t length = walk->length;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(stream.get());
    if (entry == nullptr) return errno == 0;
    if (is_dot_or_dot_dot(entry->d_name)) continue;
    const int added = std::snprintf(walk->place.data() + length, walk->place.size() - length, "/%s",
                                    entry->d_name);
    if (added < 0 || static_cast<std::size_t>(added) >= walk->place.size() - length) {
      errno = ENAMETOOLONG;
      return false;
    }
    walk->length = length + static_cast<std::size_t>(added);
    const bool digested = digest_entry(walk, dirfd(stream.get()), entry->d_name, depth + 1);
    walk->length = length;
    walk->place[length] = '\0';
    if (!digested) return false;
  }
}

// What the receipt keeps of a target.
std::array<StagedTarget, RECORD_TARGETS> receipt_targets;

}  // namespace

bool tree_digest(int directory, const char* name, std::uint64_t* digest) {
  static Walk walk;
  walk = Walk{};
  if (!digest_entry(&walk, directory, name, 0)) return false;
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
