// The one walk down a tree: each level holds the descriptor of its
// directory alone, and no stream, buffer or frame of the stack, so a tree is
// walked however deep, as far as descriptors allow. Every reading of a
// directory goes through it.
#ifndef LANGEXT_FS_WALK_H
#define LANGEXT_FS_WALK_H

#include <cstddef>

// What a visitor answers for an entry.
constexpr int WALK_NEXT = 0;
constexpr int WALK_ENTER = 1;  // a directory: go down into it
constexpr int WALK_STOP = 2;

struct WalkVisitor {
  // Each entry of the directory dir but "." and "..", with the type its
  // listing tells (DT_UNKNOWN where the file system tells none).
  int (*entry)(void* context, int dir, const char* name, unsigned char type);
  // The directory name of parent, opened to go down into (-1, errno set,
  // where it cannot be: EMFILE once descriptors run out): WALK_ENTER goes
  // in, WALK_NEXT passes it by. Null goes into each one opened, and stops
  // where one cannot be.
  int (*entered)(void* context, int parent, int dir, const char* name);
  // Every entry of dir was read: the walk goes back up (the top last).
  // False stops it. Null: nothing to do.
  bool (*left)(void* context, int dir);
  void* context;
  // The directory above is read again from its start once the walk comes
  // back up to it: what was removed below is gone from it.
  bool read_again_above = false;
};

// Walks the tree below the open directory top. False where a visitor
// stopped it, or a directory could not be read (errno set then).
bool walk_tree(int top, const WalkVisitor& visitor);

// Calls visit(name, type) with each entry of the open directory in turn,
// until it answers false; as walk_tree, one level.
template <typename Visit>
bool for_each_entry(int directory, Visit visit) {
  WalkVisitor visitor{[](void* context, int, const char* name, unsigned char type) {
                        return (*static_cast<Visit*>(context))(name, type) ? WALK_NEXT : WALK_STOP;
                      },
                      nullptr, nullptr, &visit};
  return walk_tree(directory, visitor);
}

// Removes the entry name of parent, and everything below it where it is a
// directory, never following a link. False, errno set, where anything
// stays; descriptors running out is one such reason.
bool remove_tree(int parent, const char* name);

#endif
