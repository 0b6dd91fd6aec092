// The one walk down a tree: each level holds its directory's descriptor
// alone, so a tree is walked as deep as descriptors allow.
#ifndef LANGEXT_FS_WALK_H
#define LANGEXT_FS_WALK_H

// What a visitor answers for an entry.
constexpr int WALK_NEXT = 0;
constexpr int WALK_ENTER = 1;  // a directory: go down into it
constexpr int WALK_STOP = 2;

struct WalkVisitor {
  // Each entry but "." and "..", with its listed type (maybe DT_UNKNOWN).
  int (*entry)(void* context, int dir, const char* name, unsigned char type);
  // The directory name of parent, opened to go into (-1, errno set, where it
  // cannot be: EMFILE once descriptors run out). Null: enter where opened,
  // else stop. It reads no entry of dir: the walk reads it from its start.
  int (*entered)(void* context, int parent, int dir, const char* name);
  // Every entry of dir was read (the top's last); false stops the walk.
  bool (*left)(void* context, int dir);
  void* context;
  bool read_again_above = false;  // from its start, once back up in it
};

// Walks the tree below the open directory top. False where a visitor stopped
// it or a directory could not be read (errno set then).
bool walk_tree(int top, const WalkVisitor& visitor);

// walk_tree one level down: visit(name, type) for each entry until false.
template <typename Visit>
bool for_each_entry(int directory, Visit visit) {
  WalkVisitor visitor{[](void* context, int, const char* name, unsigned char type) {
                        return (*static_cast<Visit*>(context))(name, type) ? WALK_NEXT : WALK_STOP;
                      },
                      nullptr, nullptr, &visit};
  return walk_tree(directory, visitor);
}

// Removes the entry name of parent and all below it, never through a link;
// a directory only where it is the entry of identity, if given (another user
// who may write in parent could have put another's there). False, errno set,
// where anything stays.
struct Identity;
bool remove_tree(int parent, const char* name, const Identity* identity = nullptr);

#endif
