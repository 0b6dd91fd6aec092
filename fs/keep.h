// The exact copy, as `cp -a` makes it: type, contents, mode, owner, times,
// extended attributes (capabilities and ACLs), hard links within one copy,
// holes. What cannot be kept is reported.
#ifndef LANGEXT_FS_KEEP_H
#define LANGEXT_FS_KEEP_H

#include "fs/entry.h"

// Files with links still to meet one copy tracks; past that, a file is kept
// as a file of its own, and named.
constexpr int KEPT_LINKS_LIMIT = 512;

// Told of each directory the copy goes into: its place ("a/b/"), open.
struct KeepWatch {
  void (*directory)(void* context, const char* place, int directory);
  void* context;
};

// Copies all in the open directory source but the entry of identity
// left_out at its top (null: none) into the open directory destination,
// empty and as made (a file made in it takes its owner and group); source's
// own attributes go to holder unless -1. Another file system mounted below
// is left, named; each entry that fails is reported and passed by, counted.
int keep_tree(int source, const char* source_path, int destination, const char* destination_path,
              int holder, const Identity* left_out, const KeepWatch* watch = nullptr);

// Copies the open regular file source into the open, empty file destination,
// which it closes. False, reported, where it cannot.
bool keep_file(int source, const char* source_path, int destination, const char* destination_path);

// Gives the open entry destination the attributes of source, those source
// lacks removed. False, reported under path, where it cannot.
bool keep_attributes(int source, int destination, const char* path);

#endif
