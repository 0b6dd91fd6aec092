#include "copy/walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr const char* CUT = "/...";
constexpr std::size_t CUT_LENGTH = 4;
// A shown path keeps room for the mark of what was cut, and its NUL.
constexpr std::size_t SHOWN_ROOM = TREE_PATH_LIMIT - CUT_LENGTH - 1;

// Shows directory as far as it fits in whole components, then the mark.
void cut_to_fit(std::array<char, TREE_PATH_LIMIT>* shown, const char* directory) {
  std::size_t kept = std::min(std::strlen(directory), SHOWN_ROOM);
  while (kept > 0 && directory[kept] != '/' && directory[kept] != '\0') --kept;
  std::snprintf(shown->data(), shown->size(), "%.*s%s", static_cast<int>(kept), directory, CUT);
}

void forget(EntryReader* reader) {
  reader->directory = -1;
  reader->filled = 0;
  reader->next = 0;
}

// The levels of the one removal running, each below the one before.
std::array<int, WALK_DEPTH_LIMIT> removal_levels;
EntryReader removal_reader;

}  // namespace

const dirent64* read_entry(EntryReader* reader, int directory) {
  if (reader->directory != directory) {
    forget(reader);
    reader->directory = directory;
  }
  for (;;) {
    if (reader->next >= reader->filled) {
      const ssize_t read = getdents64(directory, reader->buffer.data(), reader->buffer.size());
      if (read <= 0) {
        if (read == 0) errno = 0;
        forget(reader);
        return nullptr;
      }
      reader->filled = static_cast<std::size_t>(read);
      reader->next = 0;
    }
    const auto* entry = reinterpret_cast<const dirent64*>(reader->buffer.data() + reader->next);
    reader->next += entry->d_reclen;
    if (!is_dot_or_dot_dot(entry->d_name)) return entry;
  }
}

bool read_past(EntryReader* reader, int directory, const dirent64* entry) {
  if (lseek(directory, entry->d_off, SEEK_SET) < 0) return false;
  forget(reader);
  return true;
}

bool read_again(EntryReader* reader, int directory) {
  forget(reader);
  return lseek(directory, 0, SEEK_SET) == 0;
}

void shown_start(ShownPath* shown, const char* path) {
  shown->hidden = 0;
  if (std::strlen(path) <= SHOWN_ROOM) {
    std::snprintf(shown->text.data(), shown->text.size(), "%s", path);
    return;
  }
  // A start too long to show whole is shown cut, and stays so.
  cut_to_fit(&shown->text, path);
  shown->hidden = 1;
}

void shown_enter(ShownPath* shown, const char* name) {
  const std::size_t length = std::strlen(shown->text.data());
  if (shown->hidden == 0 && length + 1 + std::strlen(name) <= SHOWN_ROOM) {
    std::snprintf(shown->text.data() + length, shown->text.size() - length, "/%s", name);
    return;
  }
  if (shown->hidden++ == 0) {
    std::snprintf(shown->text.data() + length, shown->text.size() - length, "%s", CUT);
  }
}

void shown_leave(ShownPath* shown) {
  if (shown->hidden > 0) {
    if (--shown->hidden == 0) shown->text[std::strlen(shown->text.data()) - CUT_LENGTH] = '\0';
    return;
  }
  char* slash = std::strrchr(shown->text.data(), '/');
  if (slash != nullptr) *slash = '\0';
}

bool join_for_message(std::array<char, TREE_PATH_LIMIT>* joined, const char* directory,
                      const char* name) {
  const int length = std::snprintf(joined->data(), joined->size(), "%s/%s", directory, name);
  if (length >= 0 && static_cast<std::size_t>(length) < joined->size() && !cut_short(directory)) {
    return true;
  }
  if (cut_short(directory) && std::strlen(directory) < joined->size()) {
    std::snprintf(joined->data(), joined->size(), "%s", directory);
    return false;
  }
  cut_to_fit(joined, directory);
  return false;
}

bool cut_short(const char* path) {
  for (const char* cut = std::strstr(path, CUT); cut != nullptr; cut = std::strstr(cut + 1, CUT)) {
    if (cut[CUT_LENGTH] == '\0' || cut[CUT_LENGTH] == '/') return true;
  }
  return false;
}

bool empty_tree(int directory) {
  // Each directory emptied is read again from its start once the walk
  // comes back to its parent: what was removed is gone from the listing,
  // and the emptied one goes now. So no level needs to remember its place,
  // and an entry that cannot go ends the walk rather than coming round again.
  std::size_t depth = 0;
  int from = directory;
  const auto climb = [&] {
    close(removal_levels[depth]);
    from = --depth == 0 ? directory : removal_levels[depth];
    return read_again(&removal_reader, from);
  };
  const auto stop = [&] {
    const int error = errno;
    while (depth > 0) {
      close(removal_levels[depth]);
      --depth;
    }
    errno = error;
    return false;
  };
  if (!read_again(&removal_reader, from)) return false;
  for (;;) {
    errno = 0;
    const dirent64* entry = read_entry(&removal_reader, from);
    if (entry == nullptr) {
      if (errno != 0) return stop();
      if (depth == 0) return true;
      if (!climb()) return stop();
      continue;
    }
    const char* name = entry->d_name;
    // A directory listed as one is removed as one at once; an entry of any
    // other type or none listed is unlinked first.
    if (entry->d_type != DT_DIR) {
      if (unlinkat(from, name, 0) == 0) continue;
      if (errno != EISDIR && errno != EPERM) return stop();
    }
    if (unlinkat(from, name, AT_REMOVEDIR) == 0) continue;
    if (entry->d_type == DT_DIR && errno == ENOTDIR) {
      // Another entry took its name since it was listed.
      if (unlinkat(from, name, 0) == 0) continue;
      return stop();
    }
    if (errno != ENOTEMPTY && errno != EEXIST) return stop();
    if (depth + 1 >= removal_levels.size()) {
      errno = EMFILE;
      return stop();
    }
    const int below = openat(from, name, DIRECTORY_FLAGS);
    if (below < 0) return stop();
    removal_levels[++depth] = below;
    from = below;
  }
}

bool mount_id_at(int directory, const char* name, int* mount) {
  // The handle's bytes follow its header, which names how many it may take.
  struct {
    file_handle handle;
    unsigned char bytes[MAX_HANDLE_SZ];  // cppcheck-suppress unusedStructMember
  } buffer{};
  buffer.handle.handle_bytes = MAX_HANDLE_SZ;
  const int flags = name[0] == '\0' ? AT_EMPTY_PATH : 0;
  return name_to_handle_at(directory, name, &buffer.handle, mount, flags) == 0;
}
