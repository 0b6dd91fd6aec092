#include "stage/in_place.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "copy/copy.h"
#include "copy/descriptor.h"
#include "copy/keep.h"
#include "stage/record.h"

namespace {

constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int FILE_FLAGS = O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
constexpr int COPY_ATTEMPTS = 100;

using Path = std::array<char, TREE_PATH_LIMIT>;

// The name through which each new file passes on its way in: beside the
// staging entry, so on the same file system as the target's contents, and
// as random as the staging name.
struct Passage {
  int directory = -1;
  std::array<char, 32> name{};
  const char* staging = "";  // skipped, with the passage, inside the target
  bool inside = false;
};

Passage passage_for(const StagedTarget& target) {
  Passage passage;
  passage.directory = staging_parent(target);
  const std::size_t length = std::strlen(target.staging);
  const char* letters = target.staging + (length > 8 ? length - 8 : 0);
  std::snprintf(passage.name.data(), passage.name.size(), "%s%s.t", STAGING_MARK, letters);
  passage.staging = target.staging;
  passage.inside = target.staged_inside;
  return passage;
}

bool is_work_entry(const Passage& passage, const char* name, bool top) {
  return top && passage.inside &&
         (std::strcmp(name, passage.staging) == 0 || std::strcmp(name, passage.name.data()) == 0);
}

void report_entry(const char* path) {
  std::printf("Unable to install %s in place. %s.\n\n", path, std::strerror(errno));
}

bool join(Path* joined, const char* directory, const char* name) {
  const int length = std::snprintf(joined->data(), joined->size(), "%s/%s", directory, name);
  if (length >= 0 && static_cast<std::size_t>(length) < joined->size()) return true;
  errno = ENAMETOOLONG;
  report_entry(directory);
  return false;
}

// Calls visit for each entry of the directory but "." and ".."; stops at
// the first false answer. A directory that cannot be read is reported.
template <typename Visit>
bool for_each_entry(int directory, const char* path, Visit visit) {
  DirectoryStream stream(fdopendir(openat(directory, ".", DIRECTORY_FLAGS)));
  if (!stream) {
    report_entry(path);
    return false;
  }
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(stream.get());
    if (entry == nullptr) {
      if (errno != 0) report_entry(path);
      return errno == 0;
    }
    if (!is_dot_or_dot_dot(entry->d_name) && !visit(entry->d_name)) return false;
  }
}

// Owned and moded as a directory this program makes.
bool make_like_new(int directory) {
  return fchown(directory, geteuid(), getegid()) == 0 &&
         fchmod(directory, CREATED_DIRECTORY_MODE) == 0;
}

// Renames what the passage holds over name in target.
bool pass_in(const Passage& passage, int target, const char* name) {
  return renameat(passage.directory, passage.name.data(), target, name) == 0;
}

bool clear_passage(const Passage& passage) {
  return unlinkat(passage.directory, passage.name.data(), 0) == 0 || errno == ENOENT;
}

// Puts every entry of the staged tree into target: each file by rename over
// its namesake, each directory made where it is missing.
bool replace_tree(int staged, int target, const char* path, const Passage& passage) {
  return for_each_entry(staged, path, [&](const char* name) {
    Path entry_path;
    if (!join(&entry_path, path, name)) return false;
    struct stat fresh {};
    struct stat old {};
    if (fstatat(staged, name, &fresh, AT_SYMLINK_NOFOLLOW) != 0) {
      report_entry(entry_path.data());
      return false;
    }
    const bool exists = fstatat(target, name, &old, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno != ENOENT) {
      report_entry(entry_path.data());
      return false;
    }
    if (S_ISDIR(fresh.st_mode)) {
      const bool is_directory = exists && S_ISDIR(old.st_mode);
      // An entry of another type goes first, for that entry alone.
      if ((exists && !is_directory && unlinkat(target, name, 0) != 0) ||
          (!is_directory && mkdirat(target, name, CREATED_DIRECTORY_MODE) != 0)) {
        report_entry(entry_path.data());
        return false;
      }
      Descriptor from(openat(staged, name, DIRECTORY_FLAGS));
      Descriptor to(openat(target, name, DIRECTORY_FLAGS));
      if (!from.is_open() || !to.is_open() || !make_like_new(to.get())) {
        report_entry(entry_path.data());
        return false;
      }
      return replace_tree(from.get(), to.get(), entry_path.data(), passage);
    }
    if (exists && same_file(old, fresh)) return true;  // in place already
    if ((exists && S_ISDIR(old.st_mode) && !remove_tree_at(target, name)) ||
        !clear_passage(passage) ||
        linkat(staged, name, passage.directory, passage.name.data(), 0) != 0 ||
        !pass_in(passage, target, name)) {
      report_entry(entry_path.data());
      return false;
    }
    return true;
  });
}

// Removes from target every entry that the staged tree lacks.
bool prune_tree(int staged, int target, const char* path, const Passage& passage, bool top) {
  return for_each_entry(target, path, [&](const char* name) {
    if (is_work_entry(passage, name, top)) return true;
    Path entry_path;
    if (!join(&entry_path, path, name)) return false;
    struct stat fresh {};
    struct stat old {};
    if (fstatat(staged, name, &fresh, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT && remove_tree_at(target, name)) return true;
      report_entry(entry_path.data());
      return false;
    }
    if (!S_ISDIR(fresh.st_mode) || fstatat(target, name, &old, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(old.st_mode)) {
      return true;
    }
    Descriptor from(openat(staged, name, DIRECTORY_FLAGS));
    Descriptor to(openat(target, name, DIRECTORY_FLAGS));
    if (!from.is_open() || !to.is_open()) {
      report_entry(entry_path.data());
      return false;
    }
    return prune_tree(from.get(), to.get(), entry_path.data(), passage, false);
  });
}

int open_or_none(int directory, const char* name, bool wanted) {
  return wanted && directory >= 0 ? openat(directory, name, DIRECTORY_FLAGS) : -1;
}

// Keeps the entry of old as name in target, through the passage where a
// file stands at name, so that it is replaced in one step.
bool restore_entry(int old, int target, const char* name, const char* path, const Passage& passage,
                   bool over) {
  int failures = 0;
  if (!over) return keep_entry(old, name, target, name, path, path, &failures) && failures == 0;
  return clear_passage(passage) &&
         keep_entry(old, name, passage.directory, passage.name.data(), path, path, &failures) &&
         failures == 0 && pass_in(passage, target, name);
}

// Brings target back to what old (the copy made before any change, or -1
// where there was nothing) holds: what came from the staged tree goes, and
// what it replaced or the pruning removed comes back from old. What is
// neither old nor the package's (written meanwhile by someone else) stays.
bool restore_tree(int staged, int target, int old, const char* path, const Passage& passage,
                  bool top) {
  const bool restored = for_each_entry(target, path, [&](const char* name) {
    if (is_work_entry(passage, name, top)) return true;
    Path entry_path;
    if (!join(&entry_path, path, name)) return false;
    struct stat now {};
    struct stat fresh {};
    struct stat before {};
    if (fstatat(target, name, &now, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
    const bool in_package = staged >= 0 && fstatat(staged, name, &fresh, AT_SYMLINK_NOFOLLOW) == 0;
    const bool was_there = old >= 0 && fstatat(old, name, &before, AT_SYMLINK_NOFOLLOW) == 0;
    bool done = true;
    if (S_ISDIR(now.st_mode)) {
      const bool was_directory = was_there && S_ISDIR(before.st_mode);
      if (!was_directory && !(in_package && S_ISDIR(fresh.st_mode))) return true;  // not ours
      Descriptor now_directory(openat(target, name, DIRECTORY_FLAGS));
      Descriptor fresh_directory(open_or_none(staged, name, in_package && S_ISDIR(fresh.st_mode)));
      Descriptor before_directory(open_or_none(old, name, was_directory));
      done = now_directory.is_open() &&
             restore_tree(fresh_directory.get(), now_directory.get(), before_directory.get(),
                          entry_path.data(), passage, false);
      if (done && was_directory) {
        done = keep_attributes(now_directory.get(), before);
      } else if (done) {
        // Made by the installation: it goes, unless something else is in it.
        done = unlinkat(target, name, AT_REMOVEDIR) == 0 || errno == ENOTEMPTY;
        if (done && was_there)
          done = restore_entry(old, target, name, entry_path.data(), passage, false);
      }
    } else if (in_package && same_file(now, fresh)) {
      if (was_there && !S_ISDIR(before.st_mode)) {
        done = restore_entry(old, target, name, entry_path.data(), passage, true);
      } else {
        done = unlinkat(target, name, 0) == 0 &&
               (!was_there || restore_entry(old, target, name, entry_path.data(), passage, false));
      }
    } else if (was_there) {  // left as it was: the links put back must reach it
      done = keep_standing_link(before, now, target, name, entry_path.data(), passage.directory,
                                passage.name.data());
    }
    if (!done) report_entry(entry_path.data());
    return done;
  });
  if (!restored || old < 0) return restored;
  // What the pruning, or an entry of another type, took away.
  return for_each_entry(old, path, [&](const char* name) {
    struct stat now {};
    if (fstatat(target, name, &now, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) return true;
    Path entry_path;
    return join(&entry_path, path, name) &&
           restore_entry(old, target, name, entry_path.data(), passage, false);
  });
}

bool record_step(StagedTarget* target, int step, StagedTarget* targets, std::size_t count) {
  target->in_place_step = step;
  return keep_record_step(targets, count);
}

int open_target(const StagedTarget& target, int flags) {
  return openat(target.parent.get(), target.name,
                target.is_directory ? DIRECTORY_FLAGS : (flags | FILE_FLAGS));
}

// The staging entry, which must still be the one staged.
int open_staged(const StagedTarget& target) {
  Descriptor staged(openat(staging_parent(target), target.staging,
                           target.is_directory ? DIRECTORY_FLAGS : (O_RDONLY | FILE_FLAGS)));
  EntryIdentity found;
  if (!staged.is_open() || !identity_at(staged.get(), "", &found)) return -1;
  if (!same_identity(found, target.staged_identity)) {
    errno = ESTALE;
    return -1;
  }
  return staged.release();
}

// Rewrites the file target with the contents of source, the owner and mode
// of status and, when keep_times, its times; then writes it to stable
// storage. Takes source.
bool rewrite_file(int source, int target, const struct stat& status, bool keep_times) {
  const std::array<timespec, 2> times{status.st_atim, status.st_mtim};
  // copy_contents closes what it writes to; target stays open for the rest.
  const int rewritten = dup(target);
  if (rewritten < 0 || fchown(target, status.st_uid, status.st_gid) != 0 ||
      ftruncate(target, 0) != 0) {
    if (rewritten >= 0) close(rewritten);
    close(source);
    return false;
  }
  return copy_contents(source, rewritten, status.st_mode & 07777) &&
         (!keep_times || futimens(target, times.data()) == 0) && fsync(target) == 0;
}

// Removes the copy of the old contents, at NAME.old or still under its own
// name, durably, and records that nothing in the target has changed. Only
// the copy is removed: a NAME.old that is not provably it stays.
bool discard_copy(StagedTarget* target, StagedTarget* targets, std::size_t count) {
  const int parent = target->parent.get();
  bool removed = true;
  EntryIdentity found;
  if (target->copy_identity.inode != 0 && identity_at(parent, target->backup, &found) &&
      same_identity(found, target->copy_identity)) {
    removed = remove_own_entry(parent, target->backup, target->copy_identity, target->is_directory,
                               path_beside(*target, target->backup));
  }
  if (target->copy[0] != '\0') {
    removed = remove_own_entry(parent, target->copy, target->copy_identity, target->is_directory,
                               path_beside(*target, target->copy)) &&
              removed;
  }
  if (!removed) return false;
  if (fsync(parent) != 0) {
    std::printf("Unable to remove %s. %s.\n\n", path_beside(*target, target->backup),
                std::strerror(errno));
    return false;
  }
  target->copy[0] = '\0';
  target->copy_identity = {};
  return record_step(target, IN_PLACE_NOT_BEGUN, targets, count);
}

// Makes the copy of the old contents beside the target, durably, and
// renames it to NAME.old; until then nothing in the target has changed.
bool copy_old_contents(StagedTarget* target, StagedTarget* targets, std::size_t count) {
  const int parent = target->parent.get();
  Path backup_path;
  std::snprintf(backup_path.data(), backup_path.size(), "%s", path_beside(*target, target->backup));
  // A copy that a killed run had completed was renamed to NAME.old; one
  // it was making may be incomplete, and goes.
  EntryIdentity kept;
  if (target->copy_identity.inode != 0 && identity_at(parent, target->backup, &kept) &&
      same_identity(kept, target->copy_identity)) {
    return fsync(parent) == 0 && record_step(target, IN_PLACE_REPLACING, targets, count);
  }
  if (target->copy[0] != '\0' &&
      !remove_own_entry(parent, target->copy, target->copy_identity, target->is_directory,
                        path_beside(*target, target->copy))) {
    return false;
  }
  long name_limit = fpathconf(parent, _PC_NAME_MAX);
  if (name_limit <= 0) name_limit = NAME_MAX;
  Descriptor copy;
  for (int attempt = 0; attempt < COPY_ATTEMPTS && !copy.is_open(); ++attempt) {
    make_staging_name(target->copy, target->name, name_limit);
    target->copy_identity = {};
    if (!record_step(target, IN_PLACE_COPYING, targets, count)) return false;
    copy.reset(create_owned_entry(parent, target->copy, target->is_directory));
    if (!copy.is_open() && errno != EEXIST) break;
  }
  if (!copy.is_open() || !identity_at(copy.get(), "", &target->copy_identity)) {
    report_copy_failure(target->path, backup_path.data());
    return false;
  }
  if (!record_step(target, IN_PLACE_COPYING, targets, count)) return false;
  Descriptor old(open_target(*target, O_RDONLY));
  int failures = 0;
  if (!old.is_open()) {
    report_entry(target->path);
    ++failures;
  } else if (target->is_directory) {
    keep_tree(old.get(), target->path, copy.get(), backup_path.data(), &failures,
              target->staged_inside ? target->staging : nullptr);
  } else if (keep_file(old.get(), target->path, copy.release(), backup_path.data()) == 0) {
    ++failures;
  }
  if (failures == 0 &&
      (syncfs(parent) != 0 || !rename_without_replacing(parent, target->copy, target->backup) ||
       fsync(parent) != 0)) {
    report_rename_failure(path_beside(*target, target->copy), backup_path.data());
    ++failures;
  }
  if (failures != 0) {
    discard_copy(target, targets, count);
    return false;
  }
  return record_step(target, IN_PLACE_REPLACING, targets, count);
}

// Gives the target the package's contents, and writes them to stable
// storage.
bool replace_contents(const StagedTarget& target) {
  Descriptor staged(open_staged(target));
  Descriptor live(open_target(target, O_WRONLY));
  if (!staged.is_open() || !live.is_open()) {
    report_entry(staged.is_open() ? target.path : staging_path(target));
    return false;
  }
  if (!target.is_directory) {
    struct stat status {};
    if (fstat(staged.get(), &status) != 0) return false;
    status.st_uid = geteuid();
    status.st_gid = getegid();
    if (rewrite_file(staged.release(), live.get(), status, false)) return true;
    report_entry(target.path);
    return false;
  }
  const Passage passage = passage_for(target);
  if (!replace_tree(staged.get(), live.get(), target.path, passage) ||
      !prune_tree(staged.get(), live.get(), target.path, passage, true)) {
    return false;
  }
  if (!make_like_new(live.get()) || syncfs(live.get()) != 0) {
    report_entry(target.path);
    return false;
  }
  return true;
}

bool restore_contents(const StagedTarget& target) {
  const int parent = target.parent.get();
  Descriptor old(openat(parent, target.backup,
                        target.is_directory ? DIRECTORY_FLAGS : (O_RDONLY | FILE_FLAGS)));
  Descriptor live(open_target(target, O_WRONLY));
  struct stat status {};
  EntryIdentity found;
  if (!old.is_open() || !live.is_open() || !examine_at(old.get(), "", &status, &found) ||
      !same_identity(found, target.copy_identity)) {
    return false;
  }
  if (!target.is_directory) {
    // Rewriting cleared its capability, which the copy still holds.
    Descriptor kept(dup(old.get()));
    return kept.is_open() && rewrite_file(old.release(), live.get(), status, true) &&
           keep_extended_attributes(kept.get(), path_beside(target, target.backup), live.get(),
                                    target.path) &&
           fsync(live.get()) == 0;
  }
  Descriptor staged(open_staged(target));
  const Passage passage = passage_for(target);
  const KeptLinks links(live.get(), target.path);
  return restore_tree(staged.get(), live.get(), old.get(), target.path, passage, true) &&
         keep_attributes(live.get(), status) && syncfs(live.get()) == 0;
}

}  // namespace

bool install_in_place(StagedTarget* target, StagedTarget* targets, std::size_t count) {
  if (target->in_place_step == IN_PLACE_REPLACED) return true;
  // A put-back that a killed repair had begun is finished before anything
  // else.
  if (target->in_place_step >= IN_PLACE_RESTORING && !undo_in_place(target, targets, count)) {
    return false;
  }
  if (target->in_place_step != IN_PLACE_REPLACING && !copy_old_contents(target, targets, count)) {
    return false;
  }
  errno = 0;
  return replace_contents(*target) && record_step(target, IN_PLACE_REPLACED, targets, count);
}

bool undo_in_place(StagedTarget* target, StagedTarget* targets, std::size_t count) {
  switch (target->in_place_step) {
    case IN_PLACE_NOT_BEGUN:
      return true;
    case IN_PLACE_COPYING:  // nothing in the target has changed
    case IN_PLACE_DISCARDING:
      return discard_copy(target, targets, count);
    default:
      break;
  }
  // Each step is recorded before it is taken: a run killed while it puts
  // the target back is finished as a put-back, and NAME.old goes only once
  // the target is whole again.
  bool restored =
      record_step(target, IN_PLACE_RESTORING, targets, count) && restore_contents(*target);
  if (target->is_directory) clear_passage(passage_for(*target));
  restored = restored && record_step(target, IN_PLACE_DISCARDING, targets, count);
  if (!restored) {
    std::printf("%s.old holds the complete old contents of %s.\n\n", target->path, target->path);
    return false;
  }
  return discard_copy(target, targets, count);
}
