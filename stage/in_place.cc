#include "stage/in_place.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "copy/copy.h"
#include "copy/descriptor.h"
#include "copy/keep.h"
#include "copy/walk.h"
#include "stage/journal.h"
#include "stage/record.h"

namespace {

constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int FILE_FLAGS = O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
constexpr int COPY_ATTEMPTS = 100;
constexpr mode_t WORK_MODE = 0700;

using Path = std::array<char, TREE_PATH_LIMIT>;

// Where the installation of a directory in place does its work: in the
// target's staging directory, which holds the staged tree, the passage
// through which each new entry goes in and the journal. Only root may enter
// it (0700). Another user who may write where it stands can still rename it
// but reach nothing in it, so it is known by the descriptor held, and each
// entry is built in it before it is moved into the live target.
struct Work {
  int staging = -1;
  struct stat staging_status {};   // to know it again under any name
  EntryIdentity staging_identity;  // its birth comes before any entry staged in it
  bool resuming = false;           // a killed run had begun the replacement
  bool reverting = false;          // an undo: what the installation made goes
  Descriptor journal;
  std::array<char, 32> passage{};
  std::array<char, 32> journal_name{};
  // Made as the copy of the old contents begins, and never changed: its
  // change time is when that was, by the clock of the target's own file
  // system.
  std::array<char, 32> marker{};
  timespec copy_began{};
  // Holds the old directory's own owner, mode, times and attributes while
  // NAME.old stays root's and owner-only.
  std::array<char, 32> holder{};
  dev_t device = 0;      // the live target's own file system
  bool overlay = false;  // where an exchange copies a lower file up, under another inode
  const char* top = "";
  Path old_top{};  // NAME.old, for messages
};

bool open_work(StagedTarget* target, Work* work);

void report_entry(const char* path) {
  std::printf("Unable to install %s in place. %s.\n\n", path, failure_reason(errno));
}

void report_put_back(const char* path) {
  std::printf("Unable to put back %s. %s.\n\n", path, failure_reason(errno));
}

// The path of an entry serves messages and the journal alone, which also
// knows each directory by its identity: one deeper than a path can reach,
// which the copy of the old contents keeps, is named as far as it fits.
bool join(Path* joined, const char* directory, const char* name) {
  join_for_message(joined, directory, name);
  return true;
}

// The copy's path of an entry of the live target, for messages.
const char* old_path_of(const Work& work, const char* path, Path* buffer) {
  const std::size_t top = std::strlen(work.top);
  std::snprintf(buffer->data(), buffer->size(), "%s%s", work.old_top.data(),
                std::strncmp(path, work.top, top) == 0 ? path + top : "");
  return buffer->data();
}

// Calls visit with the name and the listed type (DT_UNKNOWN where the file
// system does not tell it) of each entry of the directory but "." and "..";
// stops at the first false answer. A directory that cannot be read is
// reported.
template <typename Visit>
bool for_each_listed_entry(int directory, const char* path, void (*report)(const char*),
                           Visit visit) {
  DirectoryStream stream(open_directory_stream(openat(directory, ".", DIRECTORY_FLAGS)));
  bool stopped = false;
  if (stream && for_each_listed(stream.get(), [&](const dirent& entry) {
        stopped = !visit(entry.d_name, entry.d_type);
        return !stopped;
      })) {
    return true;
  }
  if (!stopped) report(path);
  return false;
}

// As for_each_listed_entry, with the name alone.
template <typename Visit>
bool for_each_entry(int directory, const char* path, void (*report)(const char*), Visit visit) {
  return for_each_listed_entry(directory, path, report,
                               [&](const char* name, unsigned char) { return visit(name); });
}

// The names that one directory of the staged tree holds, read at once for
// the removal of what the package lacks, which looks up every live entry
// among them: a look-up here costs no system call. Past the room of the
// table or of its text, a name not found here is looked up in the
// directory itself.
struct StagedNames {
  static constexpr std::size_t SLOTS = std::size_t{1} << 14;
  std::uint32_t generation = 0;  // a slot of another is free
  std::size_t count = 0;
  std::size_t used = 0;  // of the text
  bool complete = false;
  std::array<std::uint32_t, SLOTS> slot_generation{};
  std::array<std::uint32_t, SLOTS> offsets{};
  std::array<char, std::size_t{1} << 18> text{};
};
StagedNames staged_names;

std::size_t name_slot(const char* name) {
  std::uint32_t hash = 2166136261U;
  for (const char* byte = name; *byte != '\0'; ++byte) {
    hash = (hash ^ static_cast<unsigned char>(*byte)) * 16777619U;
  }
  return hash % StagedNames::SLOTS;
}

// Reads the names of the staged directory; false where it cannot be read,
// and then nothing is known of it.
bool read_staged_names(int staged) {
  StagedNames& names = staged_names;
  if (++names.generation == 0) {  // every slot free again, once in 2^32 directories
    names.slot_generation.fill(0);
    names.generation = 1;
  }
  names.count = 0;
  names.used = 0;
  names.complete = true;
  DirectoryStream stream(open_directory_stream(openat(staged, ".", DIRECTORY_FLAGS)));
  return stream && for_each_listed(stream.get(), [&](const dirent& entry) {
           const std::size_t length = std::strlen(entry.d_name) + 1;
           // Half the slots at most, so that a look-up soon meets a free one.
           if (names.count >= StagedNames::SLOTS / 2 || names.used + length > names.text.size()) {
             names.complete = false;
             return true;
           }
           std::memcpy(names.text.data() + names.used, entry.d_name, length);
           std::size_t slot = name_slot(entry.d_name);
           while (names.slot_generation[slot] == names.generation) {
             slot = (slot + 1) % StagedNames::SLOTS;
           }
           names.slot_generation[slot] = names.generation;
           names.offsets[slot] = static_cast<std::uint32_t>(names.used);
           names.used += length;
           ++names.count;
           return true;
         });
}

bool among_staged_names(const char* name) {
  const StagedNames& names = staged_names;
  for (std::size_t slot = name_slot(name); names.slot_generation[slot] == names.generation;
       slot = (slot + 1) % StagedNames::SLOTS) {
    if (std::strcmp(names.text.data() + names.offsets[slot], name) == 0) return true;
  }
  return false;
}

bool is_work_name(const Work& work, const char* name) {
  return std::strcmp(name, work.passage.data()) == 0 ||
         std::strcmp(name, work.journal_name.data()) == 0 ||
         std::strcmp(name, work.marker.data()) == 0 || std::strcmp(name, work.holder.data()) == 0;
}

bool earlier(const timespec& first, const timespec& second) {
  return first.tv_sec < second.tv_sec ||
         (first.tv_sec == second.tv_sec && first.tv_nsec < second.tv_nsec);
}

// Owned and moded as a directory this program makes.
bool make_like_new(int directory) {
  return fchown(directory, geteuid(), getegid()) == 0 &&
         fchmod(directory, CREATED_DIRECTORY_MODE) == 0;
}

bool same_attributes(const struct stat& now, const struct stat& before) {
  return (now.st_mode & S_IFMT) == (before.st_mode & S_IFMT) && now.st_uid == before.st_uid &&
         now.st_gid == before.st_gid && (now.st_mode & 07777) == (before.st_mode & 07777);
}

// Whether an entry is as its copy keeps it: a file or link also of the same
// size and modification time, which the copy keeps exactly and a write
// changes.
bool unchanged(const struct stat& now, const struct stat& before) {
  return same_attributes(now, before) &&
         (S_ISDIR(now.st_mode) ||
          (now.st_size == before.st_size && now.st_mtim.tv_sec == before.st_mtim.tv_sec &&
           now.st_mtim.tv_nsec == before.st_mtim.tv_nsec));
}

// Whether the open files hold the same bytes.
bool same_bytes(int first, int second) {
  std::array<char, 8192> one;
  std::array<char, 8192> other;
  for (off_t offset = 0;;) {
    const ssize_t length = pread(first, one.data(), one.size(), offset);
    if (length < 0 || pread(second, other.data(), other.size(), offset) != length) return false;
    if (length == 0) return true;
    if (std::memcmp(one.data(), other.data(), static_cast<std::size_t>(length)) != 0) return false;
    offset += length;
  }
}

// Whether the entry name of live, examined as now, is a file that holds
// the bytes its copy at name in old holds.
bool holds_copied_bytes(int live, int old, const char* name, const struct stat& now) {
  if (!S_ISREG(now.st_mode)) return false;
  Descriptor file(openat(live, name, O_RDONLY | FILE_FLAGS));
  Descriptor copy(openat(old, name, O_RDONLY | FILE_FLAGS));
  struct stat opened {};
  return file.is_open() && copy.is_open() && fstat(file.get(), &opened) == 0 &&
         same_file(opened, now) && same_bytes(file.get(), copy.get());
}

// Whether the entry name of live (examined as now), in a directory known
// to be the old one, is the very entry the copy took there (old holds its
// copy, examined as before), unchanged: its status has not changed since
// before the copy began. A write, a rename, a new link, a change of owner,
// mode or times each set the change time, which no call can set back, so
// an upload or a file moved in since always shows. The run itself sets it
// too, where it removes or exchanges another name of a file with several:
// a file changed since, but the same in every other way, must hold the
// bytes its copy holds (the copy keeps past a few hundred such files as
// files of their own, so the copy's link count cannot tell them).
bool untouched_since_copy(const Work& work, int live, int old, const char* name,
                          const struct stat& now, const struct stat& before) {
  if (!unchanged(now, before)) return false;
  if (earlier(now.st_ctim, work.copy_began)) return true;
  return holds_copied_bytes(live, old, name, now);
}

// Whether the open directory is the root of another mount, or on another
// file system than the target: never entered.
bool another_mount(int directory, dev_t device) {
  struct statx status {};
  if (statx(directory, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &status) != 0) {
    return true;
  }
  if ((status.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
      (status.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0) {
    return true;
  }
  return makedev(status.stx_dev_major, status.stx_dev_minor) != device;
}

// Opens the directory name in parent, never through a link, when it is
// still the entry examined as status (errno NOT_THE_STAGED_ENTRY if not).
int open_examined(int parent, const char* name, const struct stat& status) {
  Descriptor directory(openat(parent, name, DIRECTORY_FLAGS));
  struct stat opened {};
  if (!directory.is_open() || fstat(directory.get(), &opened) != 0) return -1;
  if (!same_file(opened, status)) {
    errno = NOT_THE_STAGED_ENTRY;
    return -1;
  }
  return directory.release();
}

// Empties the passage: what a killed run left there is only its own.
bool clear_passage(const Work& work) {
  return remove_tree_at(work.staging, work.passage.data()) || errno == ENOENT;
}

// Links the staged file name at the passage. Only the run can put anything
// there, so it is cleared only where a step that failed left something.
bool link_to_passage(const Work& work, int staged, const char* name) {
  if (linkat(staged, name, work.staging, work.passage.data(), 0) == 0) return true;
  return errno == EEXIST && clear_passage(work) &&
         linkat(staged, name, work.staging, work.passage.data(), 0) == 0;
}

// Moves what the passage holds to name in directory, never replacing what
// stands there.
bool pass_in_new(const Work& work, int directory, const char* name) {
  return move_without_replacing(work.staging, work.passage.data(), directory, name);
}

// Whether the entry was born after the staging directory: one this run
// made. Where no birth time is told, it may have been.
bool born_after_staging(const Work& work, EntryIdentity identity) {
  const EntryIdentity& staging = work.staging_identity;
  if (!identity.born || !staging.born) return true;
  return identity.birth_seconds > staging.birth_seconds ||
         (identity.birth_seconds == staging.birth_seconds &&
          identity.birth_nanoseconds >= staging.birth_nanoseconds);
}

// Whether the entry is a file of the package that this run staged: root's
// own, closed to others, and born after the staging directory. Another user
// can make none such; a birth time no call can set. An undo's are the files
// of the package that the installation put there: root's own, and born
// before the undo's staging directory (the installed tree was found as the
// installation left it just before).
bool staged_by_run(const Work& work, const struct stat& status, EntryIdentity identity) {
  if (!S_ISREG(status.st_mode) || status.st_uid != geteuid()) return false;
  if (!work.reverting && !closed_to_others(status)) return false;
  if (!identity.born || !work.staging_identity.born) return true;
  return born_after_staging(work, identity) != work.reverting;
}

// Exchanges the entry from_name of from with name in directory, and checks
// what came out with accept: what fails it goes back at once (errno
// NOT_THE_STAGED_ENTRY). Where no exchange could be made, errno says why.
template <typename Accept>
bool exchange_checked(int from, const char* from_name, int directory, const char* name,
                      Accept accept) {
  if (renameat2(from, from_name, directory, name, RENAME_EXCHANGE) != 0) return false;
  struct stat out {};
  if (fstatat(from, from_name, &out, AT_SYMLINK_NOFOLLOW) == 0 && accept(out)) return true;
  if (renameat2(from, from_name, directory, name, RENAME_EXCHANGE) == 0) {
    errno = NOT_THE_STAGED_ENTRY;
  }
  return false;
}

// Whether the passage holds the entry examined as expected.
bool passage_holds(const Work& work, const struct stat& expected) {
  struct stat status {};
  if (fstatat(work.staging, work.passage.data(), &status, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (same_file(status, expected)) return true;
  errno = NOT_THE_STAGED_ENTRY;
  return false;
}

// Puts what the passage holds in place of the package's file at name: the
// two are exchanged and what comes out is checked, so that an entry that
// took the file's place meanwhile goes back where it was. Where no
// exchange can be made, the check just made must do.
bool pass_in_over_package_file(const Work& work, int directory, const char* name,
                               const struct stat& fresh) {
  if (exchange_checked(work.staging, work.passage.data(), directory, name,
                       [&](const struct stat& out) { return same_file(out, fresh); })) {
    return unlinkat(work.staging, work.passage.data(), 0) == 0;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != EXDEV) return false;
  return renameat(work.staging, work.passage.data(), directory, name) == 0;
}

// Builds the old entry name of the copy at the passage, as it was.
bool build_old_entry(const Work& work, int old, const char* name, const char* path) {
  Path old_path;
  int failures = 0;
  return clear_passage(work) &&
         keep_entry(old, name, work.staging, work.passage.data(),
                    old_path_of(work, path, &old_path), path, &failures) &&
         failures == 0;
}

// Opens the directory at name that the replacement is to change. It must
// be one the journal names: the old one the copy took there, by the
// identity it had then (never by its name, owner and mode, which another
// user who may write beside it can give a directory of someone else's), or
// one the run made. The copy's entries are durable before anything
// changes, so the put-back knows every old one for what it is.
int open_known_directory(const Work& work, int live, const char* name, const struct stat& now,
                         const char* path) {
  Descriptor directory(open_examined(live, name, now));
  EntryIdentity identity;
  if (!directory.is_open()) return -1;
  if (same_file(now, work.staging_status)) {
    errno = NOT_THE_STAGED_ENTRY;
    return -1;
  }
  if (another_mount(directory.get(), work.device)) {
    errno = EXDEV;
    return -1;
  }
  if (!settled_identity_at(directory.get(), "", &identity)) return -1;
  const char kind = journal_find(work.journal.get(), path, identity);
  if (kind == NOT_JOURNALED) {
    errno = NOT_THE_STAGED_ENTRY;
    return -1;
  }
  return directory.release();
}

bool remove_kept(const Work& work, int live, int staged, int old, const char* path);

// How deep the removal of what the package lacks goes below the directory
// it began in: far past what a path can reach, well within the stack.
constexpr int REMOVAL_DEPTH_LIMIT = 1024;
int removal_depth = 0;

// Removes the entry name of live when it is the old one, as the copy
// (before) keeps it: a file or link untouched since the copy took it, or a
// directory the journal knows for the old one, from which only what the
// copy holds is removed, and which goes once empty. Anything else (written
// meanwhile by someone else, another user's directory moved there, another
// mount) stays.
bool remove_kept_entry(const Work& work, int live, int old, const char* name,
                       const struct stat& now, const struct stat& before, const char* path) {
  if (same_file(now, work.staging_status)) return true;
  if (!S_ISDIR(now.st_mode)) {
    if (!untouched_since_copy(work, live, old, name, now, before) || unlinkat(live, name, 0) == 0 ||
        errno == ENOENT) {
      return true;
    }
    report_entry(path);
    return false;
  }
  if (!S_ISDIR(before.st_mode)) return true;
  // The copy keeps a tree however deep another user made it; this walk
  // holds a frame of the stack and three descriptors a level, so past this
  // depth an old directory stays, as what others write meanwhile does.
  if (removal_depth >= REMOVAL_DEPTH_LIMIT) return true;
  Descriptor directory(open_examined(live, name, now));
  if (!directory.is_open()) {
    if (errno == ENOENT || errno == NOT_THE_STAGED_ENTRY) return true;
    report_entry(path);
    return false;
  }
  if (another_mount(directory.get(), work.device)) return true;
  EntryIdentity identity;
  if (!settled_identity_at(directory.get(), "", &identity)) {
    report_entry(path);
    return false;
  }
  const char kind = journal_find(work.journal.get(), path, identity);
  if (kind == NOT_JOURNALED) return true;
  Descriptor old_directory(openat(old, name, DIRECTORY_FLAGS));
  if (!old_directory.is_open()) {
    report_entry(path);
    return false;
  }
  ++removal_depth;
  const bool removed = remove_kept(work, directory.get(), -1, old_directory.get(), path);
  --removal_depth;
  if (!removed) return false;
  if (unlinkat(live, name, AT_REMOVEDIR) == 0 || errno == ENOTEMPTY || errno == EEXIST ||
      errno == ENOENT) {
    return true;
  }
  report_entry(path);
  return false;
}

// Removes from live every entry that old (the copy of it, or -1 for none)
// holds and staged (-1 for none) lacks. What the copy does not hold was
// written during the run and stays; so nothing is descended into that the
// copy does not hold, and the depth of the walk is the copy's.
bool remove_kept(const Work& work, int live, int staged, int old, const char* path) {
  if (old < 0) return true;
  // Only the run changes the staged tree, and not while this one is
  // walked (what is below goes with staged -1): its names, read once, are
  // those it holds at each step.
  const bool listed = staged >= 0 && read_staged_names(staged);
  return for_each_entry(live, path, report_entry, [&](const char* name) {
    Path entry_path;
    struct stat now {};
    struct stat fresh {};
    struct stat before {};
    if (!join(&entry_path, path, name)) {
      report_entry(path);
      return false;
    }
    // What the staged tree names is the package's, or the old file it
    // replaced, which the staged tree keeps.
    if (listed && among_staged_names(name)) return true;
    if (staged >= 0 && !(listed && staged_names.complete) &&
        fstatat(staged, name, &fresh, AT_SYMLINK_NOFOLLOW) == 0) {
      return true;
    }
    if (fstatat(live, name, &now, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) return true;
      report_entry(entry_path.data());
      return false;
    }
    if (fstatat(old, name, &before, AT_SYMLINK_NOFOLLOW) != 0) return true;
    return remove_kept_entry(work, live, old, name, now, before, entry_path.data());
  });
}

bool replace_tree(const Work& work, int staged, int live, int old, const char* path, bool top);

// Makes a directory at the passage (root's own and owner-only, as made),
// gives it the mode of a made directory, journals it and moves it in at
// name, never over anything; returns it open.
int make_directory(const Work& work, int live, const char* name, const char* path) {
  if (!clear_passage(work)) return -1;
  Descriptor made(create_owned_entry(work.staging, work.passage.data(), true));
  EntryIdentity identity;
  if (!made.is_open() || fchmod(made.get(), CREATED_DIRECTORY_MODE) != 0 ||
      !identity_at(made.get(), "", &identity) ||
      !journal_add(work.journal.get(), MADE, path, identity, true) ||
      !pass_in_new(work, live, name)) {
    return -1;
  }
  return made.release();
}

// Gives the live directory name the package's directory: the old one when
// it is there, else one made at the passage and moved in.
bool replace_directory(const Work& work, int staged, int live, int old, const char* name,
                       const char* path) {
  struct stat now {};
  struct stat before {};
  const bool exists = fstatat(live, name, &now, AT_SYMLINK_NOFOLLOW) == 0;
  const bool examined = exists || errno == ENOENT;
  Descriptor from(openat(staged, name, DIRECTORY_FLAGS));
  const bool was_directory =
      old >= 0 && fstatat(old, name, &before, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(before.st_mode);
  Descriptor old_directory(was_directory ? openat(old, name, DIRECTORY_FLAGS) : -1);
  if (!examined || !from.is_open() || (was_directory && !old_directory.is_open())) {
    report_entry(path);
    return false;
  }
  Descriptor to;
  struct stat kept {};
  if (exists && S_ISDIR(now.st_mode)) {
    to.reset(open_known_directory(work, live, name, now, path));
    if (to.is_open() && !make_like_new(to.get())) to.reset();
  } else if (exists && !(old >= 0 && fstatat(old, name, &kept, AT_SYMLINK_NOFOLLOW) == 0 &&
                         untouched_since_copy(work, live, old, name, now, kept))) {
    errno = NOT_THE_STAGED_ENTRY;  // written since the copy was made: it stays
  } else if (!exists || unlinkat(live, name, 0) == 0 || errno == ENOENT) {
    // An old entry of another type goes first, for that entry alone.
    to.reset(make_directory(work, live, name, path));
  }
  if (!to.is_open()) {
    report_entry(path);
    return false;
  }
  return replace_tree(work, from.get(), to.get(), old_directory.get(), path, false);
}

// Puts the package's file name in place of its namesake in live. The two
// are exchanged, so that the staged tree keeps the old file, the very same
// one, until the run is done: the put-back exchanges it back. Where there
// is no namesake, the package's file moves in. The staged file was
// examined (fresh, with its identity) where the run resumes one that was
// killed; otherwise fresh is null, and it is what this run staged.
bool replace_file(const Work& work, int staged, int live, int old, const char* name,
                  const struct stat* fresh, EntryIdentity fresh_identity, const char* path) {
  struct stat before {};
  const auto was_there = [&] {
    return old >= 0 && fstatat(old, name, &before, AT_SYMLINK_NOFOLLOW) == 0;
  };
  // Where a killed run exchanged it already, the staged name holds the old
  // file: not made by this run, or as its copy keeps it.
  if (work.resuming && fresh != nullptr &&
      (!staged_by_run(work, *fresh, fresh_identity) ||
       (was_there() && unchanged(*fresh, before)))) {
    return true;
  }
  struct stat now {};
  const bool exists = fstatat(live, name, &now, AT_SYMLINK_NOFOLLOW) == 0;
  if (!exists && errno != ENOENT) {
    report_entry(path);
    return false;
  }
  // In place already: only a killed run can have put it there, since each
  // staged name is visited once.
  if (exists && fresh != nullptr && same_file(now, *fresh)) return true;
  if (exists && !S_ISDIR(now.st_mode)) {
    // Only the very file the copy took goes out, untouched since: what
    // another user wrote at its name since (an upload) stays, and the run
    // fails. What comes out of the exchange must be the file examined: an
    // entry put at its name meanwhile (someone else's directory, moved
    // there by a user who may write in the directory) goes back at once,
    // never to be removed with the staged tree. (On an overlay the exchange
    // copies a lower file up, under another inode number.)
    if (!was_there() || !untouched_since_copy(work, live, old, name, now, before)) {
      errno = NOT_THE_STAGED_ENTRY;
      report_entry(path);
      return false;
    }
    if (exchange_checked(staged, name, live, name, [&](const struct stat& out) {
          return same_file(out, now) || (work.overlay && unchanged(out, now));
        })) {
      return true;
    }
    struct stat examined {};
    if ((errno == EINVAL || errno == ENOSYS) &&
        (fresh != nullptr || fstatat(staged, name, &examined, AT_SYMLINK_NOFOLLOW) == 0) &&
        link_to_passage(work, staged, name) &&
        passage_holds(work, fresh != nullptr ? *fresh : examined) &&
        renameat(work.staging, work.passage.data(), live, name) == 0) {
      // Where no exchange can be made, it is renamed over the old file,
      // which its copy keeps.
      return true;
    }
    report_entry(path);
    return false;
  }
  // An old directory at its name goes first; a directory that is not the
  // old one, or holds what others wrote, stays and the move fails.
  if (exists && was_there() && !remove_kept_entry(work, live, old, name, now, before, path)) {
    return false;
  }
  if (!move_without_replacing(staged, name, live, name)) {
    report_entry(path);
    return false;
  }
  return true;
}

// Gives the live directory the entries of the staged one, then removes from
// it what the copy of it (old, or -1 where there was none) holds and the
// package lacks.
bool replace_tree(const Work& work, int staged, int live, int old, const char* path, bool top) {
  const bool placed =
      for_each_listed_entry(staged, path, report_entry, [&](const char* name, unsigned char type) {
        if (top && is_work_name(work, name)) return true;
        Path entry_path;
        struct stat fresh {};
        EntryIdentity fresh_identity;
        // The staged tree is the run's alone, where no one else may enter:
        // its listed type tells a directory from a file. Its identity
        // matters only where a killed run may have exchanged it already.
        const bool listed = !work.resuming && (type == DT_DIR || type == DT_REG);
        if (!join(&entry_path, path, name) ||
            (!listed && !examine_at(staged, name, &fresh, &fresh_identity))) {
          report_entry(path);
          return false;
        }
        if (listed ? type == DT_DIR : S_ISDIR(fresh.st_mode)) {
          return replace_directory(work, staged, live, old, name, entry_path.data());
        }
        return replace_file(work, staged, live, old, name, listed ? nullptr : &fresh,
                            fresh_identity, entry_path.data());
      });
  return placed && remove_kept(work, live, staged, old, path);
}

bool restore_tree(const Work& work, int live, int staged, int old, const char* path);

// Puts back a directory of the live target: one the journal names is
// entered and brought back, then removed (made by the installation) or
// given back its owner, mode and times (the old one); any other must be
// one the old contents did not hold, and stays.
bool restore_directory(const Work& work, int live, int staged, int old, const char* name,
                       const struct stat& now, const char* path) {
  struct stat fresh {};
  struct stat before {};
  const bool in_package = staged >= 0 && fstatat(staged, name, &fresh, AT_SYMLINK_NOFOLLOW) == 0 &&
                          S_ISDIR(fresh.st_mode);
  const bool was_there = old >= 0 && fstatat(old, name, &before, AT_SYMLINK_NOFOLLOW) == 0;
  const bool was_directory = was_there && S_ISDIR(before.st_mode);
  Descriptor directory(open_examined(live, name, now));
  EntryIdentity identity;
  if (!directory.is_open() || !identity_at(directory.get(), "", &identity)) {
    report_put_back(path);
    return false;
  }
  if (another_mount(directory.get(), work.device)) return true;
  // Another directory where the old contents held none (someone else's)
  // stays as it is; one the put-back rebuilt is back already.
  const char kind = journal_find(work.journal.get(), path, identity);
  if ((kind == NOT_JOURNALED && !was_there) || kind == REBUILT) return true;
  if (kind == NOT_JOURNALED) {
    errno = NOT_THE_STAGED_ENTRY;
    report_put_back(path);
    return false;
  }
  Descriptor fresh_directory(in_package ? openat(staged, name, DIRECTORY_FLAGS) : -1);
  Descriptor old_directory(was_directory ? openat(old, name, DIRECTORY_FLAGS) : -1);
  if ((in_package && !fresh_directory.is_open()) || (was_directory && !old_directory.is_open())) {
    report_put_back(path);
    return false;
  }
  const bool whole =
      restore_tree(work, directory.get(), fresh_directory.get(), old_directory.get(), path);
  if (kind == MADE) {
    // What another user put in it (not to be had: it was root's and 0755)
    // keeps it, and the put-back is not whole.
    if (unlinkat(live, name, AT_REMOVEDIR) == 0 || errno == ENOENT) return whole;
  } else if (was_directory && keep_attributes(directory.get(), before)) {
    return whole;
  } else if (!was_directory) {
    errno = NOT_THE_STAGED_ENTRY;
  }
  report_put_back(path);
  return false;
}

// Exchanges the old file that the staged tree kept at name back into live,
// where the package's file (now) stands; what comes out must be that file,
// or it goes back.
bool exchange_back(const Work& work, int live, int staged, const char* name, const struct stat& now,
                   const struct stat& kept, const struct stat& before, const char* path) {
  if (!exchange_checked(staged, name, live, name,
                        [&](const struct stat& out) { return same_file(out, now); })) {
    return false;
  }
  // Its other links, put back from the copy, must reach it.
  return keep_standing_link(before, kept, live, name, path, work.staging, work.passage.data());
}

// Puts back the entry name of the live directory: the package's file goes,
// the old entry it replaced comes back; anything else must be the old entry
// as it was, or one the old contents did not hold.
bool restore_entry(const Work& work, int live, int staged, int old, const char* name,
                   const char* path) {
  struct stat now {};
  EntryIdentity now_identity;
  struct stat fresh {};
  struct stat before {};
  if (!examine_at(live, name, &now, &now_identity)) {
    if (errno == ENOENT) return true;
    report_put_back(path);
    return false;
  }
  if (same_file(now, work.staging_status)) return true;
  if (S_ISDIR(now.st_mode)) return restore_directory(work, live, staged, old, name, now, path);
  const bool in_package = staged >= 0 && fstatat(staged, name, &fresh, AT_SYMLINK_NOFOLLOW) == 0;
  const bool was_there = old >= 0 && fstatat(old, name, &before, AT_SYMLINK_NOFOLLOW) == 0;
  const bool old_file = was_there && !S_ISDIR(before.st_mode);
  // Left as it was: the links put back must reach it. One this put-back
  // built from the copy, and a power cut then stopped, may have kept its
  // size and times but lost its bytes: it is built again.
  if (was_there && unchanged(now, before)) {
    if (old_file && born_after_staging(work, now_identity) &&
        !holds_copied_bytes(live, old, name, now)) {
      if (build_old_entry(work, old, name, path) &&
          pass_in_over_package_file(work, live, name, now)) {
        return true;
      }
    } else if (keep_standing_link(before, now, live, name, path, work.staging,
                                  work.passage.data())) {
      return true;
    }
    report_put_back(path);
    return false;
  }
  if ((in_package && same_file(now, fresh)) || staged_by_run(work, now, now_identity)) {
    if (in_package && old_file && !S_ISDIR(fresh.st_mode) && unchanged(fresh, before)) {
      if (exchange_back(work, live, staged, name, now, fresh, before, path)) return true;
    } else if (old_file) {
      // Renamed over the old file, where no exchange could be made, or
      // moved in where the old file had gone: it comes back from the copy.
      if (build_old_entry(work, old, name, path) &&
          pass_in_over_package_file(work, live, name, now)) {
        return true;
      }
    } else if (unlinkat(live, name, 0) == 0 || errno == ENOENT) {
      return true;  // an old directory at its name comes back with the rest
    }
    report_put_back(path);
    return false;
  }
  if (!was_there) return true;
  errno = NOT_THE_STAGED_ENTRY;
  report_put_back(path);
  return false;
}

// A directory built at the passage from the copy is journaled, and it is
// made durable with everything it holds, before it is moved in: a put-back
// that a kill or a power cut stops then finds it for what it is.
bool journal_rebuilt(const Work& work, const char* path) {
  EntryIdentity identity;
  struct stat built {};
  if (fstatat(work.staging, work.passage.data(), &built, AT_SYMLINK_NOFOLLOW) != 0) return false;
  return !S_ISDIR(built.st_mode) ||
         (identity_at(work.staging, work.passage.data(), &identity) &&
          journal_add(work.journal.get(), REBUILT, path, identity, false) &&
          syncfs(work.staging) == 0);
}

// Brings the live directory, which is known, back to what old (its copy, or
// -1 where there was none) holds: what came from the staged tree (staged,
// or -1) goes, and what the installation replaced or removed comes back,
// each entry built at the passage and moved in without replacing anything.
// Directories are entered only where the journal names them, so the depth
// is the package's or the copy's. Returns whether everything is as the
// copy holds it (what the copy did not hold, written meanwhile by someone
// else, stays), and reports what is not.
bool restore_tree(const Work& work, int live, int staged, int old, const char* path) {
  bool whole = true;
  const bool read = for_each_entry(live, path, report_put_back, [&](const char* name) {
    Path entry_path;
    if (!join(&entry_path, path, name)) {
      report_put_back(path);
      whole = false;
    } else {
      whole = restore_entry(work, live, staged, old, name, entry_path.data()) && whole;
    }
    return true;
  });
  if (!read || old < 0) return read && whole;
  // What the replacement, or the removal of what the package lacks, took.
  const bool read_old = for_each_entry(old, path, report_put_back, [&](const char* name) {
    struct stat now {};
    if (fstatat(live, name, &now, AT_SYMLINK_NOFOLLOW) == 0) return true;
    Path entry_path;
    const bool named = errno == ENOENT && join(&entry_path, path, name);
    // The old file that the staged tree kept goes back as it is.
    struct stat kept {};
    struct stat before {};
    if (named && staged >= 0 && fstatat(staged, name, &kept, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISDIR(kept.st_mode) && fstatat(old, name, &before, AT_SYMLINK_NOFOLLOW) == 0 &&
        unchanged(kept, before) && move_without_replacing(staged, name, live, name)) {
      if (!keep_standing_link(before, kept, live, name, entry_path.data(), work.staging,
                              work.passage.data())) {
        report_put_back(entry_path.data());
        whole = false;
      }
      return true;
    }
    if (!named || !build_old_entry(work, old, name, entry_path.data()) ||
        !journal_rebuilt(work, entry_path.data()) || !pass_in_new(work, live, name)) {
      report_put_back(named ? entry_path.data() : path);
      whole = false;
    }
    return true;
  });
  return read_old && whole;
}

bool record_step(StagedTarget* target, int step, StagedTarget* targets, std::size_t count) {
  target->in_place_step = step;
  return keep_record_step(targets, count);
}

int open_target(const StagedTarget& target, int flags) {
  return openat(target.parent.get(), target.name,
                target.is_directory ? DIRECTORY_FLAGS : (flags | FILE_FLAGS));
}

// The staging entry, which must still be the one staged: at its name, or
// wherever another user who may write beside it renamed it.
int open_staged(const StagedTarget& target) {
  std::array<char, NAME_BUFFER_SIZE> name{};
  if (!find_staged(target, name.data())) return -1;
  Descriptor staged(openat(staging_parent(target), name.data(),
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
  return copy_contents(source, rewritten, status.st_mode & 07777) != 0 &&
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

// Tells the journal of each old directory the copy takes, as it takes it:
// the replacement and the put-back know the old ones by these identities.
bool journal_old_directory(void* context, int source, const char* source_path) {
  const Work& work = *static_cast<const Work*>(context);
  EntryIdentity identity;
  if (settled_identity_at(source, "", &identity) &&
      journal_add(work.journal.get(), OLD, source_path, identity, false)) {
    return true;
  }
  report_entry(source_path);
  return false;
}

// Copies the old directory into copy, which stays root's and owner-only
// while anything relies on it, so that no one else can change what it
// holds: the old directory's own owner, mode and attributes wait on the
// holder in the staging directory. Each old directory is journaled as it
// is copied; all of it is durable, with the moment the copy began, before
// the copy is used: a copy made ahead by the sync of every file system
// that follows it (one commit of the file system's journal instead of two
// in a row), any other by writing the journal to stable storage here,
// since the sync of the copy's own file system may not reach the staging
// directory inside a volume.
void keep_old_tree(StagedTarget* target, int old, int copy, const char* backup_path, bool ahead,
                   int* failures) {
  Work work;
  Descriptor marker;
  Descriptor holder;
  if (open_work(target, &work) && clear_journal(work.journal.get()) &&
      (unlinkat(work.staging, work.marker.data(), 0) == 0 || errno == ENOENT) &&
      (remove_tree_at(work.staging, work.holder.data()) || errno == ENOENT)) {
    marker.reset(create_owned_entry(work.staging, work.marker.data(), false));
    holder.reset(create_owned_entry(work.staging, work.holder.data(), true));
  }
  if (!marker.is_open() || !holder.is_open() || fsync(work.staging) != 0) {
    report_entry(staging_path(*target));
    ++*failures;
    return;
  }
  const KeptDirectoryWatch watch{journal_old_directory, &work};
  keep_tree_closed(old, target->path, copy, backup_path, holder.get(), &watch, failures,
                   target->staged_inside ? target->staging : nullptr);
  if (*failures == 0 && !ahead && !journal_sync(work.journal.get())) {
    report_entry(staging_path(*target));
    ++*failures;
  }
}

// Makes a complete copy of the old contents beside the target, under a
// name of its own; until it is renamed to NAME.old nothing in the target
// changes. A copy that a killed run was making may be incomplete, and goes.
// One made ahead is made durable by the sync of every file system that
// follows it.
bool make_copy(StagedTarget* target, StagedTarget* targets, std::size_t count, bool ahead) {
  const int parent = target->parent.get();
  Path backup_path;
  std::snprintf(backup_path.data(), backup_path.size(), "%s", path_beside(*target, target->backup));
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
    keep_old_tree(target, old.get(), copy.get(), backup_path.data(), ahead, &failures);
  } else if (keep_file(old.get(), target->path, copy.release(), backup_path.data()) == 0) {
    ++failures;
  }
  if (failures != 0) {
    discard_copy(target, targets, count);
    return false;
  }
  return true;
}

// Renames the complete copy to NAME.old once it is durable (synced here,
// unless synced already), and records that the replacement may begin.
bool settle_copy(StagedTarget* target, StagedTarget* targets, std::size_t count, bool synced) {
  const int parent = target->parent.get();
  if ((!synced && syncfs(parent) != 0) ||
      !rename_without_replacing(parent, target->copy, target->backup) || fsync(parent) != 0) {
    Path backup_path;
    std::snprintf(backup_path.data(), backup_path.size(), "%s",
                  path_beside(*target, target->backup));
    report_rename_failure(path_beside(*target, target->copy), backup_path.data());
    discard_copy(target, targets, count);
    return false;
  }
  return record_step(target, IN_PLACE_REPLACING, targets, count);
}

// Makes the copy of the old contents beside the target, durably, and
// renames it to NAME.old; until then nothing in the target has changed.
bool copy_old_contents(StagedTarget* target, StagedTarget* targets, std::size_t count) {
  // A copy that a killed run had completed was renamed to NAME.old.
  EntryIdentity kept;
  if (target->copy_identity.inode != 0 &&
      identity_at(target->parent.get(), target->backup, &kept) &&
      same_identity(kept, target->copy_identity)) {
    return fsync(target->parent.get()) == 0 &&
           record_step(target, IN_PLACE_REPLACING, targets, count);
  }
  if (target->copy_made_ahead && target->in_place_step == IN_PLACE_COPYING) {
    return settle_copy(target, targets, count, true);
  }
  return make_copy(target, targets, count, false) && settle_copy(target, targets, count, false);
}

}  // namespace

bool copy_in_place_ahead(StagedTarget* target, StagedTarget* targets, std::size_t count) {
  if (!target->in_place || target->in_place_step != IN_PLACE_NOT_BEGUN) return true;
  target->copy_made_ahead = make_copy(target, targets, count, true);
  return target->copy_made_ahead;
}

namespace {

// Opens the work of a directory target: its staging directory, made
// owner-only, the journal in it and when the copy of the old contents
// began.
bool open_work(StagedTarget* target, Work* work) {
  if (!target->staged.is_open()) target->staged.reset(open_staged(*target));
  if (!target->staged.is_open()) return false;
  work->staging = target->staged.get();
  struct statfs file_system {};
  if (fchmod(work->staging, WORK_MODE) != 0 || fstat(work->staging, &work->staging_status) != 0 ||
      !identity_at(work->staging, "", &work->staging_identity) ||
      fstatfs(work->staging, &file_system) != 0) {
    return false;
  }
  work->overlay = file_system.f_type == OVERLAYFS_SUPER_MAGIC;
  const std::size_t length = std::strlen(target->staging);
  const char* letters = target->staging + (length > 8 ? length - 8 : 0);
  const auto name = [&](std::array<char, 32>* buffer, char kind) {
    std::snprintf(buffer->data(), buffer->size(), "%s%s.%c", STAGING_MARK, letters, kind);
  };
  name(&work->passage, 't');
  name(&work->journal_name, 'j');
  name(&work->marker, 'c');
  name(&work->holder, 'a');
  work->top = target->path;
  work->reverting = target->reverting;
  std::snprintf(work->old_top.data(), work->old_top.size(), "%s.old", target->path);
  // Where no copy began, nothing is provably the old contents.
  struct stat marker {};
  if (fstatat(work->staging, work->marker.data(), &marker, AT_SYMLINK_NOFOLLOW) == 0) {
    work->copy_began = marker.st_ctim;
  } else if (errno != ENOENT) {
    return false;
  }
  work->journal.reset(open_journal(work->staging, work->journal_name.data()));
  return work->journal.is_open();
}

// The live target, which must be the one whose old contents were copied.
int open_live(const StagedTarget& target, dev_t* device) {
  Descriptor live(target.staged_inside ? fcntl(target.inside.get(), F_DUPFD_CLOEXEC, 0)
                                       : openat(target.parent.get(), target.name, DIRECTORY_FLAGS));
  struct stat status {};
  EntryIdentity found;
  if (!live.is_open() || !examine_at(live.get(), "", &status, &found)) return -1;
  if (target.old_identity.inode != 0 && !same_identity(found, target.old_identity)) {
    errno = NOT_THE_STAGED_ENTRY;
    return -1;
  }
  *device = status.st_dev;
  return live.release();
}

// The copy of the old contents at NAME.old, with its status.
int open_copy(const StagedTarget& target, struct stat* status) {
  Descriptor old(openat(target.parent.get(), target.backup,
                        target.is_directory ? DIRECTORY_FLAGS : (O_RDONLY | FILE_FLAGS)));
  EntryIdentity found;
  if (!old.is_open() || !examine_at(old.get(), "", status, &found)) return -1;
  if (!same_identity(found, target.copy_identity)) {
    errno = NOT_THE_STAGED_ENTRY;
    return -1;
  }
  return old.release();
}

// Gives the target the package's contents, and writes them to stable
// storage; resuming where a killed run had begun to.
bool replace_contents(StagedTarget* target, bool resuming) {
  if (!target->is_directory) {
    Descriptor staged(open_staged(*target));
    Descriptor live(open_target(*target, O_WRONLY));
    struct stat status {};
    if (!staged.is_open() || !live.is_open() || fstat(staged.get(), &status) != 0) {
      report_entry(staged.is_open() ? target->path : staging_path(*target));
      return false;
    }
    status.st_uid = geteuid();
    status.st_gid = getegid();
    if (rewrite_file(staged.release(), live.get(), status, false)) return true;
    report_entry(target->path);
    return false;
  }
  Work work;
  if (!open_work(target, &work)) {
    report_entry(staging_path(*target));
    return false;
  }
  work.resuming = resuming;
  struct stat copy_status {};
  Descriptor live(open_live(*target, &work.device));
  Descriptor old(live.is_open() ? open_copy(*target, &copy_status) : -1);
  if (!old.is_open()) {
    report_entry(live.is_open() ? work.old_top.data() : target->path);
    return false;
  }
  if (!replace_tree(work, work.staging, live.get(), old.get(), target->path, true)) return false;
  if (!make_like_new(live.get()) || syncfs(live.get()) != 0) {
    report_entry(target->path);
    return false;
  }
  return true;
}

// Puts the target back as its copy at NAME.old holds it. Returns whether
// it is whole again; reports what is not.
bool restore_contents(StagedTarget* target) {
  struct stat status {};
  if (!target->is_directory) {
    Descriptor old(open_copy(*target, &status));
    Descriptor live(open_target(*target, O_WRONLY));
    // Rewriting cleared its capability, which the copy still holds.
    Descriptor kept(old.is_open() ? dup(old.get()) : -1);
    if (kept.is_open() && live.is_open() && rewrite_file(old.release(), live.get(), status, true) &&
        keep_extended_attributes(kept.get(), path_beside(*target, target->backup), live.get(),
                                 target->path) &&
        fsync(live.get()) == 0) {
      return true;
    }
    report_put_back(target->path);
    return false;
  }
  Work work;
  Descriptor live;
  Descriptor old;
  if (open_work(target, &work)) live.reset(open_live(*target, &work.device));
  if (live.is_open()) old.reset(open_copy(*target, &status));
  if (!old.is_open()) {
    report_put_back(target->path);
    return false;
  }
  const KeptLinks links(live.get(), target->path);
  bool whole = restore_tree(work, live.get(), work.staging, old.get(), target->path);
  // The old directory's own attributes wait on the holder while NAME.old
  // is owner-only; an undo's NAME.old, which the installation opened, has
  // them itself.
  Descriptor holder(openat(work.staging, work.holder.data(), DIRECTORY_FLAGS));
  const int attributes = holder.is_open() ? holder.get() : work.reverting ? old.get() : -1;
  if (attributes < 0 || !keep_held_attributes(attributes, live.get(), target->path) ||
      syncfs(live.get()) != 0) {
    report_put_back(target->path);
    whole = false;
  }
  return whole;
}

// Gives NAME.old of a directory installed in place the old directory's own
// owner, mode, times, ACLs and attributes, which it held back while the run
// relied on what it holds; durably. Where the staging directory is gone, a
// killed run gave them already.
bool open_copy_to_others(StagedTarget* target) {
  if (!target->in_place || !target->is_directory || target->in_place_step != IN_PLACE_REPLACED) {
    return true;
  }
  Work work;
  if (!open_work(target, &work)) return errno == ENOENT;
  // The holder goes only with the rest of the staging directory, once
  // NAME.old has what it held.
  Descriptor holder(openat(work.staging, work.holder.data(), DIRECTORY_FLAGS));
  if (!holder.is_open() && errno == ENOENT) return true;
  struct stat status {};
  Descriptor copy(holder.is_open() ? open_copy(*target, &status) : -1);
  if (!copy.is_open() ||
      !keep_held_attributes(holder.get(), copy.get(), path_beside(*target, target->backup)) ||
      fsync(copy.get()) != 0) {
    report_entry(path_beside(*target, target->backup));
    return false;
  }
  return true;
}

}  // namespace

bool install_in_place(StagedTarget* target, StagedTarget* targets, std::size_t count) {
  if (target->in_place_step == IN_PLACE_REPLACED) return true;
  // A put-back that a killed repair had begun is finished before anything
  // else.
  if (target->in_place_step >= IN_PLACE_RESTORING && !undo_in_place(target, targets, count)) {
    return false;
  }
  const bool resuming = target->in_place_step == IN_PLACE_REPLACING;
  if (!resuming && !copy_old_contents(target, targets, count)) return false;
  errno = 0;
  return replace_contents(target, resuming) &&
         record_step(target, IN_PLACE_REPLACED, targets, count);
}

namespace {

// An undo's staging directory inside a volume goes before NAME.old does:
// its removal changes the volume's times, which only NAME.old still holds
// then, whenever the undo was killed. That they are back is recorded
// before NAME.old begins to go, and changes with it.
bool release_before_discard(StagedTarget* target, StagedTarget* targets, std::size_t count) {
  if (!target->reverting || !target->staged_inside || target->staging[0] == '\0') return true;
  struct stat status {};
  Descriptor old(open_copy(*target, &status));
  if (!old.is_open() || !remove_own_entry(staging_parent(*target), target->staging,
                                          target->staged_identity, true, staging_path(*target))) {
    report_put_back(target->path);
    return false;
  }
  const std::array<timespec, 2> times{status.st_atim, status.st_mtim};
  if (futimens(target->inside.get(), times.data()) != 0 || fsync(target->inside.get()) != 0) {
    report_put_back(target->path);
    return false;
  }
  target->staging[0] = '\0';
  return keep_record_step(targets, count);
}

}  // namespace

bool undo_in_place(StagedTarget* target, StagedTarget* targets, std::size_t count) {
  switch (target->in_place_step) {
    case IN_PLACE_NOT_BEGUN:
      return true;
    case IN_PLACE_COPYING:  // nothing in the target has changed
      return discard_copy(target, targets, count);
    case IN_PLACE_DISCARDING:
      return release_before_discard(target, targets, count) && discard_copy(target, targets, count);
    default:
      break;
  }
  // Each step is recorded before it is taken: a run killed while it puts
  // the target back is finished as a put-back, and NAME.old goes only once
  // the target is whole again.
  const bool restored = record_step(target, IN_PLACE_RESTORING, targets, count) &&
                        restore_contents(target) &&
                        record_step(target, IN_PLACE_DISCARDING, targets, count);
  if (!restored) {
    std::printf("%s.old holds the complete old contents of %s.\n\n", target->path, target->path);
    return false;
  }
  return release_before_discard(target, targets, count) && discard_copy(target, targets, count);
}

namespace {

// Journals every directory of the live tree that an undo is to put back:
// as made by the installation where the copy (old, or -1) holds no
// directory at its place, else as changed, so that the put-back enters
// each and removes, or gives back its owner, mode and times. The
// installation left every directory it made or changed root's own; another
// user's is left as it is, and never entered.
bool journal_installed(const Work& work, int live, int old, const char* path) {
  return for_each_entry(live, path, report_put_back, [&](const char* name) {
    struct stat now {};
    struct stat before {};
    Path entry_path;
    if (fstatat(live, name, &now, AT_SYMLINK_NOFOLLOW) != 0 || !join(&entry_path, path, name)) {
      report_put_back(path);
      return false;
    }
    if (!S_ISDIR(now.st_mode) || now.st_uid != geteuid() || same_file(now, work.staging_status)) {
      return true;
    }
    Descriptor directory(open_examined(live, name, now));
    EntryIdentity identity;
    if (!directory.is_open() || !identity_at(directory.get(), "", &identity)) {
      report_put_back(entry_path.data());
      return false;
    }
    if (another_mount(directory.get(), work.device)) return true;
    const bool was_directory = old >= 0 && fstatat(old, name, &before, AT_SYMLINK_NOFOLLOW) == 0 &&
                               S_ISDIR(before.st_mode);
    Descriptor old_directory(was_directory ? openat(old, name, DIRECTORY_FLAGS) : -1);
    if ((was_directory && !old_directory.is_open()) ||
        !journal_add(work.journal.get(), was_directory ? OLD : MADE, entry_path.data(), identity,
                     false)) {
      report_put_back(entry_path.data());
      return false;
    }
    return journal_installed(work, directory.get(), old_directory.get(), entry_path.data());
  });
}

}  // namespace

bool journal_installed_tree(StagedTarget* target) {
  Work work;
  Descriptor live;
  Descriptor old;
  struct stat status {};
  if (open_work(target, &work)) live.reset(open_live(*target, &work.device));
  if (live.is_open()) old.reset(open_copy(*target, &status));
  if (!old.is_open()) {
    report_put_back(target->path);
    return false;
  }
  if (!journal_installed(work, live.get(), old.get(), target->path)) return false;
  if (!journal_sync(work.journal.get())) {
    report_put_back(target->path);
    return false;
  }
  return true;
}

bool finish_in_place(StagedTarget* targets, std::size_t count) {
  bool opened = true;
  for (std::size_t i = 0; i < count; ++i) opened = open_copy_to_others(&targets[i]) && opened;
  return opened && release_in_place_staging(targets, count);
}

namespace {

// Root's and owner-only, with no ACL that could let anyone else in.
bool close_to_others(int directory) {
  for (const char* acl : {"system.posix_acl_access", "system.posix_acl_default"}) {
    if (fremovexattr(directory, acl) != 0 && errno != ENODATA && errno != ENOTSUP) return false;
  }
  return fchown(directory, geteuid(), getegid()) == 0 && fchmod(directory, WORK_MODE) == 0;
}

}  // namespace

bool close_copy(StagedTarget* target, struct stat* held) {
  const char* path = path_beside(*target, target->backup);
  Work work;
  struct stat status {};
  Descriptor copy(open_work(target, &work) ? open_copy(*target, &status) : -1);
  // Filled at the passage and only then named the holder: a kill leaves
  // either none, NAME.old still open, or the whole of what it held.
  Descriptor holder;
  if (copy.is_open() && clear_passage(work)) {
    holder.reset(create_owned_entry(work.staging, work.passage.data(), true));
  }
  if (!holder.is_open() || !keep_held_attributes(copy.get(), holder.get(), path) ||
      fsync(holder.get()) != 0 || fstat(holder.get(), held) != 0 ||
      (!remove_tree_at(work.staging, work.holder.data()) && errno != ENOENT) ||
      renameat(work.staging, work.passage.data(), work.staging, work.holder.data()) != 0 ||
      fsync(work.staging) != 0 || !close_to_others(copy.get()) || fsync(copy.get()) != 0) {
    report_put_back(path);
    return false;
  }
  return true;
}

bool reopen_copy(StagedTarget* target) {
  const char* path = path_beside(*target, target->backup);
  Work work;
  struct stat status {};
  Descriptor copy(open_work(target, &work) ? open_copy(*target, &status) : -1);
  Descriptor holder(copy.is_open() ? openat(work.staging, work.holder.data(), DIRECTORY_FLAGS)
                                   : -1);
  if (!holder.is_open() && errno == ENOENT) return true;  // never closed
  if (!holder.is_open() || !keep_held_attributes(holder.get(), copy.get(), path) ||
      fsync(copy.get()) != 0) {
    report_put_back(path);
    return false;
  }
  return true;
}
