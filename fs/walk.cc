#include "fs/walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "fs/entry.h"
#include "fs/fd.h"

namespace {

// The kernel's ceiling on a process's descriptors (fs.nr_open): descriptors
// run out first.
std::array<int, std::size_t{1} << 20> levels;

// Each level near the top keeps its own buffer, so that coming back up
// costs no read; deeper levels share the last, and a level coming back to it
// reads on from the descriptor's own position, set past the entry gone into.
struct Reader {
  std::size_t filled = 0;
  std::size_t next = 0;
  alignas(dirent64) std::array<char, 32768> buffer;
};
constexpr std::size_t KEPT_LEVELS = 32;
std::array<Reader, KEPT_LEVELS> readers;

Reader& reader_at(std::size_t depth) { return readers[std::min(depth, KEPT_LEVELS - 1)]; }

void forget(std::size_t depth) { reader_at(depth).filled = reader_at(depth).next = 0; }

bool start_reading(int directory, std::size_t depth) {
  forget(depth);
  return lseek(directory, 0, SEEK_SET) == 0;
}

// The next entry but "." and ".."; null at the end (errno 0) or where the
// directory cannot be read.
const dirent64* read_entry(int directory, Reader& reader) {
  for (;;) {
    if (reader.next >= reader.filled) {
      const ssize_t got = getdents64(directory, reader.buffer.data(), reader.buffer.size());
      if (got <= 0) {
        if (got == 0) errno = 0;
        return nullptr;
      }
      reader.filled = static_cast<std::size_t>(got);
      reader.next = 0;
    }
    const auto* entry = reinterpret_cast<const dirent64*>(reader.buffer.data() + reader.next);
    reader.next += entry->d_reclen;
    if (!is_dot_or_dot_dot(entry->d_name)) return entry;
  }
}

bool stop(std::size_t depth) {
  const int error = errno;
  while (depth > 0) close(levels[depth--]);
  errno = error;
  return false;
}

int remove_entry(void*, int directory, const char* name, unsigned char type) {
  if (type != DT_DIR) {
    if (unlinkat(directory, name, 0) == 0) return WALK_NEXT;
    if (errno != EISDIR && errno != EPERM) return WALK_STOP;
  }
  if (unlinkat(directory, name, AT_REMOVEDIR) == 0) return WALK_NEXT;
  if (errno == ENOTDIR && unlinkat(directory, name, 0) == 0) return WALK_NEXT;
  return errno == ENOTEMPTY || errno == EEXIST ? WALK_ENTER : WALK_STOP;
}

}  // namespace

bool walk_tree(int top, const WalkVisitor& visitor) {
  std::size_t depth = 0;
  levels[0] = top;
  if (!start_reading(top, 0)) return false;
  for (;;) {
    const int directory = levels[depth];
    const dirent64* entry = read_entry(directory, reader_at(depth));
    if (entry == nullptr) {
      if (errno != 0 || (visitor.left != nullptr && !visitor.left(visitor.context, directory))) {
        return stop(depth);
      }
      if (depth == 0) return true;
      close(levels[depth--]);
      if (visitor.read_again_above && !start_reading(levels[depth], depth)) return stop(depth);
      continue;
    }
    const int answer = visitor.entry(visitor.context, directory, entry->d_name, entry->d_type);
    if (answer == WALK_STOP) return stop(depth);
    if (answer != WALK_ENTER) continue;
    Descriptor below(depth + 1 < levels.size() ? openat(directory, entry->d_name, DIRECTORY_FLAGS)
                                               : (errno = EMFILE, -1));
    const int error = errno;
    // Where the level below shares this buffer, this level reads on from past
    // the entry once back, whose name stays in the buffer until the next read.
    if (depth + 1 >= KEPT_LEVELS) {
      if (lseek(directory, entry->d_off, SEEK_SET) < 0) return stop(depth);
      forget(depth);
    }
    errno = error;
    const int go = visitor.entered != nullptr
                       ? visitor.entered(visitor.context, directory, below.get(), entry->d_name)
                       : (below.is_open() ? WALK_ENTER : WALK_STOP);
    if (go == WALK_STOP) return stop(depth);
    if (go != WALK_ENTER || !below.is_open()) continue;
    levels[++depth] = below.release();
    forget(depth);  // opened just now, at its start
  }
}

bool remove_tree(int parent, const char* name, const Identity* identity) {
  const int answer = remove_entry(nullptr, parent, name, DT_UNKNOWN);
  if (answer != WALK_ENTER) return answer == WALK_NEXT;
  Descriptor directory(openat(parent, name, DIRECTORY_FLAGS));
  if (directory.is_open() && identity != nullptr && !holds_entry(directory.get(), "", *identity)) {
    return false;
  }
  // Each directory emptied goes once the walk is back in its parent.
  const WalkVisitor visitor{remove_entry, nullptr, nullptr, nullptr, true};
  return directory.is_open() && walk_tree(directory.get(), visitor) &&
         unlinkat(parent, name, AT_REMOVEDIR) == 0;
}
