// The digest of a tree, which the installation leaves in its receipt and
// the undo compares before it relies on anything; and, entry by entry, the
// list beside the receipt that a check compares to say what changed.
#ifndef LANGEXT_STEPS_DIGEST_H
#define LANGEXT_STEPS_DIGEST_H

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "fs/entry.h"
#include "steps/log.h"

// The key of an installation's digests, drawn at random and kept in its receipt, which only root
// may read: without it no one can tell which change of a tree leaves its digest as it was. An
// earlier release's receipt holds none (zero): its digests are unkeyed.
struct DigestKey {
  std::uint64_t half[2] = {};
};
bool draw_digest_key(DigestKey* key);

// SipHash-2-4 of the bytes under the key.
std::uint64_t keyed_hash(const DigestKey& key, const unsigned char* bytes, std::size_t length);

// An entry as the digest counts it.
struct DigestedEntry {
  std::uint64_t place;  // its path below the top, hashed
  std::uint64_t hash;   // its place and all that counts of it
  const char* path;     // below the top, each blank, control or "\" byte as \ooo
  const struct stat* status;
  const Identity* identity;
};
using DigestSeen = void (*)(void* context, const DigestedEntry& entry);

// The digest, under key, of the entry name of directory and all below it but the entry of
// identity left_out at its top: each entry's place, type, mode, owner, size, times of modification
// and change, inode number and birth time; of the top, its type and identity, and a file's size
// and time of modification (and of change where whole_top), since an undo closes and opens it. No
// call can set a change time, so an edit by anyone shows. Another file system, or a directory not
// root's, counts only as being there. False, errno set, where the tree cannot be read. A watch
// (watch_digests) is told how the walk of a path shown goes; seen, of every entry.
bool tree_digest(int directory, const char* name, const Identity* left_out, bool whole_top,
                 const DigestKey& key, std::uint64_t* digest_of, const char* shown = nullptr,
                 DigestSeen seen = nullptr, void* context = nullptr);

// The list of a tree's entries in the log's form, sealed in a chain that starts again at each
// tree: "tree T K", a line an entry, then "end T K DIGEST" once the last was written (K is 0 for
// NAME, 1 for NAME.old). A list cut short, or of another digest, is no list.
struct Listing {
  std::FILE* stream;
  std::uint64_t seal;
};

// The digest of the tree name of parent (NAME, which 0, or NAME.old, 1) of
// the target index, its entries appended to the list where it is open. Only
// a check reads the list: one that cannot be written is left out.
bool listed_digest(Listing* listing, int parent, const char* name, const Identity* left_out,
                   std::size_t index, int which, const DigestKey& key, std::uint64_t* digest);

// An entry's line of the list, read back.
struct ListedEntry {
  std::uint64_t place = 0;
  std::uint64_t hash = 0;
  struct stat status {};
  Identity identity;
  char path[4 * PATH_BUFFER_SIZE] = {};
};
bool read_listed_entry(LogFields* fields, ListedEntry* entry);

#endif
