// Copies that keep an entry exactly as it is, for a backup that must stand
// in for the original, as `cp -a` would make it: every entry keeps its
// type, contents, mode (the set-user-ID bit included), owner, group,
// access and modification times and every extended attribute (user.,
// trusted., security. such as file capabilities, and the POSIX ACLs); a
// symbolic link stays a link, hard links among the entries a copy keeps
// stay hard links, and a sparse file stays sparse. What cannot be kept so
// is reported, never dropped.
#ifndef LANGEXT_COPY_KEEP_H
#define LANGEXT_COPY_KEEP_H

#include <sys/stat.h>

#include <cstddef>

// How many files with further links, not all of them met yet, one copy can
// keep track of at once. Past that, a file whose other links it would have
// to find is reported as not kept.
constexpr std::size_t KEPT_LINKS_LIMIT = 512;

// Copies everything in the open directory source but the entry named
// left_out (null for none) into the open, empty directory destination,
// then gives destination source's own attributes. An entry that cannot be
// kept as it is (a socket, a device, a FIFO, an unreadable file, an
// attribute the destination's file system cannot hold) is reported under
// the two paths shown and counted in *failures; the walk goes on past it.
// Hard links are kept among the entries of this one call. Returns the
// failures.
int keep_tree(int source, const char* source_path, int destination, const char* destination_path,
              int* failures, const char* left_out = nullptr);

// Told of every directory inside the tree that keep_tree_closed copies,
// open, as it begins to copy it; false stops that directory's copy, which
// counts as failed (reported by the watcher).
struct KeptDirectoryWatch {
  bool (*kept)(void* context, int source_directory, const char* source_path);
  void* context;
};

// keep_tree, but destination keeps the owner and mode it was made with
// (owner-only), so that no one else can reach what it holds while the copy
// is relied on: source's own attributes go to holder, an open, empty
// directory, for keep_held_attributes to give destination at the end.
// watch, if given, is told of each directory copied.
int keep_tree_closed(int source, const char* source_path, int destination,
                     const char* destination_path, int holder, const KeptDirectoryWatch* watch,
                     int* failures, const char* left_out = nullptr);

// Gives destination the owner, mode, times and extended attributes that
// keep_tree_closed left on holder. Returns false, reported, when it cannot.
bool keep_held_attributes(int holder, int destination, const char* destination_path);

// Copies the open regular file source into the open, empty file
// destination with source's attributes, and closes destination. Returns 1
// when the copy is complete, else 0 (reported).
int keep_file(int source, const char* source_path, int destination, const char* destination_path);

// Keeps the entry name of the directory source as new_name in the
// directory destination: a directory with everything in it, a file, or a
// link. Returns false, reported, when the entry itself cannot be kept;
// failures inside a directory are counted in *failures. Hard links are
// kept among the entries kept while one KeptLinks lives.
bool keep_entry(int source, const char* name, int destination, const char* new_name,
                const char* source_path, const char* destination_path, int* failures);

// Gives the open entry destination the owner, mode and times of status.
bool keep_attributes(int destination, const struct stat& status);

// Makes the extended attributes of the open entry destination those of the
// open entry source: the missing ones set, those source lacks removed.
// Returns false, reported under the two paths, when one cannot be kept.
bool keep_extended_attributes(int source, const char* source_path, int destination,
                              const char* destination_path);

// While one lives, the entries that keep_entry keeps under the open
// directory root, shown as root_path, keep their hard links among
// themselves. keep_tree holds one of its own when none lives.
class KeptLinks {
 public:
  KeptLinks(int root, const char* root_path);
  ~KeptLinks();
  KeptLinks(const KeptLinks&) = delete;
  KeptLinks& operator=(const KeptLinks&) = delete;

 private:
  bool began_;
};

// For a put-back while a KeptLinks lives: the entry name of the open
// directory directory (shown as path), with status standing, was left as
// it was, and is the original of the kept file whose status is kept. Where
// kept has other links, they are linked to it as they are kept; where one
// of them was kept already, name takes its place too, passing through the
// name passage_name of passage_directory, which is cleared first. Returns
// false, with errno set, when that fails.
bool keep_standing_link(const struct stat& kept, const struct stat& standing, int directory,
                        const char* name, const char* path, int passage_directory,
                        const char* passage_name);

#endif
