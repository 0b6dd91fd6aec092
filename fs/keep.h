// The exact copy, as `cp -a` would make it, for NAME.old and for an undo:
// every entry keeps its type, contents, mode (the set-user-ID bit
// included), owner, group, access and modification times and every
// extended attribute (user., trusted., security. such as file
// capabilities, and the POSIX ACLs); a symbolic link stays a link, FIFOs,
// sockets and devices are made again, hard links among the entries of one
// copy stay hard links, and a sparse file stays sparse. Files are copied by
// the kernel where it can. What cannot be kept so is reported, never
// dropped.
#ifndef LANGEXT_FS_KEEP_H
#define LANGEXT_FS_KEEP_H

// How many files with further links, not all of them met yet, one copy can
// keep track of at once. Past that, a file whose other links could not find
// it is kept as a file of its own, and named.
constexpr int KEPT_LINKS_LIMIT = 512;

// Copies everything in the open directory source but the entry named
// left_out (null for none) into the open, empty directory destination, as
// deep as descriptors allow (one for each level). Source's own attributes
// go to holder, an open empty directory, where it is not -1 (destination
// then keeps the owner and mode it was made with), else to destination.
// Another file system mounted below source is neither entered nor copied,
// and named. An entry that cannot be kept as it is (an unreadable file, an
// attribute the destination's file system cannot hold, a level past the
// descriptors) is reported under the two paths shown, and the copy goes on
// past it. Returns how many failed.
// watch, where given, is told of each directory taken below source, by its
// place ("a/b/") and open, as the copy goes into it.
struct KeepWatch {
  void (*directory)(void* context, const char* place, int directory);
  void* context;
};
int keep_tree(int source, const char* source_path, int destination, const char* destination_path,
              int holder, const char* left_out, const KeepWatch* watch = nullptr);

// Copies the open regular file source into the open, empty file
// destination with all of source's attributes, and closes destination.
// False, reported, where it cannot.
bool keep_file(int source, const char* source_path, int destination, const char* destination_path);

// Gives the open entry destination the owner, extended attributes, mode
// and times of the open entry source (a holder, or a directory), those
// source lacks removed. False, reported under path, where it cannot.
bool keep_attributes(int source, int destination, const char* path);

#endif
