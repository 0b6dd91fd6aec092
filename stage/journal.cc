#include "stage/journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "copy/copy.h"

namespace {

struct JournalEntry {
  std::int64_t birth_seconds;
  std::uint64_t device;
  std::uint64_t inode;
  std::uint32_t birth_nanoseconds;
  char born;
  char kind;
  std::array<char, TREE_PATH_LIMIT + 2> path;
};
// Without padding, every byte written to the journal is set.
static_assert(sizeof(JournalEntry) == 3 * 8 + 4 + 2 + TREE_PATH_LIMIT + 2);

EntryIdentity identity_of(const JournalEntry& entry) {
  return {static_cast<dev_t>(entry.device), static_cast<ino_t>(entry.inode), entry.born != 0,
          entry.birth_seconds, entry.birth_nanoseconds};
}

// Every directory of the target is looked up as the replacement reaches
// it, and the journal grows with every directory: read through for each, it
// would cost the square of their number. So the entries of the journal in
// use are found by a hash of their paths, in a table of their positions;
// past three quarters of it (tens of thousands of directories) the journal
// is read through instead.
constexpr std::size_t INDEX_SLOTS = std::size_t{1} << 16;
constexpr std::size_t INDEX_LIMIT = INDEX_SLOTS / 4 * 3;

struct JournalIndex {
  dev_t device = 0;  // which journal it indexes
  ino_t inode = 0;
  std::uint32_t entries = 0;  // in the journal
  bool complete = false;      // every entry is in the table
  std::array<std::uint32_t, INDEX_SLOTS> hashes{};
  std::array<std::uint32_t, INDEX_SLOTS> positions{};  // each plus one; 0 where free
};
JournalIndex journal_index;

std::uint32_t hash_path(const char* path) {
  std::uint32_t hash = 2166136261U;
  for (const char* byte = path; *byte != '\0'; ++byte) {
    hash = (hash ^ static_cast<unsigned char>(*byte)) * 16777619U;
  }
  return hash;
}

void index_entry(const char* path, std::uint32_t position) {
  if (journal_index.complete && journal_index.entries - 1 >= INDEX_LIMIT)
    journal_index.complete = false;
  if (!journal_index.complete) return;
  const std::uint32_t hash = hash_path(path);
  std::size_t slot = hash % INDEX_SLOTS;
  while (journal_index.positions[slot] != 0) slot = (slot + 1) % INDEX_SLOTS;
  journal_index.hashes[slot] = hash;
  journal_index.positions[slot] = position + 1;
}

bool read_entry(int journal, std::uint32_t position, JournalEntry* entry) {
  const off_t offset = static_cast<off_t>(position) * static_cast<off_t>(sizeof(JournalEntry));
  if (pread(journal, entry, sizeof *entry, offset) != static_cast<ssize_t>(sizeof *entry)) {
    return false;
  }
  entry->path.back() = '\0';
  return true;
}

// Makes the index that of the journal given, reading it through once
// where it indexed another.
bool use_index(int journal) {
  struct stat status {};
  if (fstat(journal, &status) != 0) return false;
  if (journal_index.device == status.st_dev && journal_index.inode == status.st_ino) return true;
  journal_index.device = status.st_dev;
  journal_index.inode = status.st_ino;
  journal_index.entries = 0;
  journal_index.complete = true;
  journal_index.positions.fill(0);
  JournalEntry entry;
  while (read_entry(journal, journal_index.entries, &entry)) {
    ++journal_index.entries;
    index_entry(entry.path.data(), journal_index.entries - 1);
  }
  return true;
}

char stronger(char kind, char found) {
  return found == OLD && kind != NOT_JOURNALED ? kind : found;
}

}  // namespace

int open_journal(int staging, const char* name) {
  const int journal =
      openat(staging, name, O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
  // Not every file system makes a new file's name durable with its data.
  if (journal < 0 || fsync(staging) != 0 || !use_index(journal)) {
    if (journal >= 0) close(journal);
    return -1;
  }
  return journal;
}

bool clear_journal(int journal) {
  if (ftruncate(journal, 0) != 0) return false;
  journal_index.device = 0;
  journal_index.inode = 0;
  return use_index(journal);
}

bool journal_add(int journal, char kind, const char* path, EntryIdentity identity, bool durable) {
  JournalEntry entry;
  std::memset(&entry, 0, sizeof entry);
  entry.birth_seconds = identity.birth_seconds;
  entry.device = identity.device;
  entry.inode = identity.inode;
  entry.birth_nanoseconds = identity.birth_nanoseconds;
  entry.born = identity.born ? 1 : 0;
  entry.kind = kind;
  const int length = std::snprintf(entry.path.data(), entry.path.size(), "%s", path);
  if (length < 0 || static_cast<std::size_t>(length) >= entry.path.size()) {
    errno = ENAMETOOLONG;
    return false;
  }
  if (!use_index(journal) ||
      write(journal, &entry, sizeof entry) != static_cast<ssize_t>(sizeof entry) ||
      (durable && fdatasync(journal) != 0)) {
    return false;
  }
  ++journal_index.entries;
  index_entry(entry.path.data(), journal_index.entries - 1);
  return true;
}

bool journal_sync(int journal) { return fdatasync(journal) == 0; }

char journal_find(int journal, const char* path, EntryIdentity identity) {
  if (!use_index(journal)) return NOT_JOURNALED;
  char kind = NOT_JOURNALED;
  JournalEntry entry;
  const auto consider = [&](std::uint32_t position) {
    if (read_entry(journal, position, &entry) && std::strcmp(entry.path.data(), path) == 0 &&
        same_identity(identity, identity_of(entry))) {
      kind = stronger(kind, entry.kind);
    }
  };
  if (!journal_index.complete) {
    for (std::uint32_t position = 0; position < journal_index.entries; ++position)
      consider(position);
    return kind;
  }
  const std::uint32_t hash = hash_path(path);
  for (std::size_t slot = hash % INDEX_SLOTS; journal_index.positions[slot] != 0;
       slot = (slot + 1) % INDEX_SLOTS) {
    if (journal_index.hashes[slot] == hash) consider(journal_index.positions[slot] - 1);
  }
  return kind;
}
