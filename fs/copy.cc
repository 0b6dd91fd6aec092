#include "fs/copy.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "fs/fd.h"
#include "fs/walk.h"

namespace {

constexpr mode_t MODE_BITS = 07777;
constexpr std::size_t STREAM_BUFFER_SIZE = std::size_t{512} * 1024;
// A package path has at least two bytes a level.
constexpr std::size_t COPY_DEPTH_LIMIT = TREE_PATH_LIMIT / 2;

// Bytes move one at a time through the buffered streams; large stream
// buffers keep the system calls per file few. No copy is re-entered, so one
// pair of buffers serves every copy of the run.
std::array<char, STREAM_BUFFER_SIZE> source_stream_buffer;
std::array<char, STREAM_BUFFER_SIZE> destination_stream_buffer;

// A stream over a descriptor the copy opened itself, which it closes: the
// buffered stream without the checks fdopen makes of a descriptor it does
// not know, two system calls a file.
// The descriptors the two streams of the one copy running read and write.
std::array<int, 2> stream_descriptors;

ssize_t read_descriptor(void* cookie, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t got = read(*static_cast<int*>(cookie), buffer, size);
    if (got >= 0 || errno != EINTR) return got;
  }
}

ssize_t write_descriptor(void* cookie, const char* buffer, std::size_t size) {
  const int fd = *static_cast<int*>(cookie);
  std::size_t written = 0;
  while (written < size) {
    const ssize_t put = write(fd, buffer + written, size - written);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return written > 0 ? static_cast<ssize_t>(written) : -1;
    written += static_cast<std::size_t>(put);
  }
  return static_cast<ssize_t>(written);
}

int close_descriptor(void* cookie) { return close(*static_cast<int*>(cookie)); }

FILE* open_stream(int fd, bool writing) {
  const cookie_io_functions_t functions{writing ? nullptr : read_descriptor,
                                        writing ? write_descriptor : nullptr, nullptr,
                                        close_descriptor};
  int& cookie = stream_descriptors[writing ? 1 : 0];
  cookie = fd;
  FILE* stream = fopencookie(&cookie, writing ? "w" : "r", functions);
  if (stream == nullptr) close(fd);
  return stream;
}

// Copies the bytes of the open file source to the open file destination,
// sets destination's mode where set_mode, and closes both. True when the
// copy is complete.
bool copy_contents(int source_fd, int destination_fd, mode_t mode, bool set_mode) {
  FILE* source = open_stream(source_fd, false);
  FILE* destination = source != nullptr ? open_stream(destination_fd, true) : nullptr;
  if (destination == nullptr) {
    if (source != nullptr) {
      std::fclose(source);
    } else {
      close(destination_fd);
    }
    return false;
  }
  bool complete =
      setvbuf(source, source_stream_buffer.data(), _IOFBF, source_stream_buffer.size()) == 0 &&
      setvbuf(destination, destination_stream_buffer.data(), _IOFBF,
              destination_stream_buffer.size()) == 0;
  if (complete) {
    int byte;
    while ((byte = getc_unlocked(source)) != EOF) {
      if (putc_unlocked(byte, destination) == EOF) break;
    }
    complete = std::ferror(source) == 0 && std::ferror(destination) == 0;
  }
  complete = std::fflush(destination) == 0 && complete;
  complete = complete && (!set_mode || fchmod(destination_fd, mode) == 0);
  complete = std::fclose(destination) == 0 && complete;
  std::fclose(source);  // read-only: its close loses nothing
  return complete;
}

// Opens a package file for reading, following a link; *status receives
// its status. -1 for anything that is not a readable regular file.
int open_source(int directory, const char* name, struct stat* status) {
  // Non-blocking, so that a FIFO in the package cannot hang the run.
  Descriptor source(openat(directory, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!source.is_open() || fstat(source.get(), status) != 0) return -1;
  if (!S_ISREG(status->st_mode)) {
    errno = NOT_A_REGULAR_FILE;
    return -1;
  }
  return source.release();
}

// Copies the package file name of source_directory to name in
// destination_directory, a new file made with its mode (the mask is 0), or
// an existing regular file refilled. A file this copy made and could not
// complete would look installed, and goes.
bool copy_file_at(int source_directory, const char* name, int destination_directory,
                  const char* destination_name, long long* bytes) {
  struct stat status {};
  Descriptor source(open_source(source_directory, name, &status));
  if (!source.is_open()) return false;
  const mode_t mode = status.st_mode & MODE_BITS;
  int destination = openat(destination_directory, destination_name, NEW_FILE_FLAGS, mode);
  const bool made = destination >= 0;
  struct stat existing {};
  if (!made && errno == EEXIST) {
    destination = openat(destination_directory, destination_name,
                         (NEW_FILE_FLAGS & ~(O_CREAT | O_EXCL)) | O_TRUNC | O_NONBLOCK);
    if (destination >= 0 && (fstat(destination, &existing) != 0 || !S_ISREG(existing.st_mode))) {
      close(destination);
      errno = NOT_A_REGULAR_FILE;
      return false;
    }
  }
  if (destination < 0) return false;
  if (copy_contents(source.release(), destination, mode, !made)) {
    *bytes = status.st_size;
    return true;
  }
  const int error = errno;
  if (made) unlinkat(destination_directory, destination_name, 0);
  errno = error;
  return false;
}

// One copy of a tree: the source's path and the destination's, shown in
// messages, and the destination directory of each level the walk holds.
struct TreeCopy {
  Path source;
  ShownPath shown;
  std::size_t depth = 0;
  std::array<std::size_t, COPY_DEPTH_LIMIT + 1> source_lengths{};
  std::array<int, COPY_DEPTH_LIMIT + 1> destinations{};
  int* failures;
  CopyHooks hooks;
  bool stopped = false;
  bool too_long = false;
};

// At namespace scope, so that no guard (and no C++ runtime library) is
// needed to make it.
TreeCopy tree_copy;

void fail(TreeCopy* copy, const char* name) {
  const int error = errno;
  if (copy->hooks.before_message != nullptr) copy->hooks.before_message();
  std::printf("Unable to copy %s/%s to %s/%s. %s.\n\n", copy->source.data(), name,
              copy->shown.text.data(), name, failure_reason(error));
  ++*copy->failures;
}

int copy_entry(void* context, int directory, const char* name, unsigned char type) {
  auto* copy = static_cast<TreeCopy*>(context);
  if (std::strlen(copy->source.data()) + std::strlen(name) + 2 > TREE_PATH_LIMIT) {
    errno = ENAMETOOLONG;
    fail(copy, name);
    copy->too_long = true;
    return WALK_STOP;
  }
  Path shown;
  if (!join_path(&shown, copy->shown.text.data(), name)) {
    errno = ENAMETOOLONG;
    fail(copy, name);
    return WALK_NEXT;
  }
  struct stat status {};
  if (type == DT_UNKNOWN) {
    if (fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
      fail(copy, name);
      return WALK_NEXT;
    }
    type = S_ISDIR(status.st_mode) ? DT_DIR : DT_REG;
  }
  const int destination = copy->destinations[copy->depth];
  long long bytes = 0;
  if (type == DT_DIR) {
    if (mkdirat(destination, name, CREATED_DIRECTORY_MODE) == 0 || errno == EEXIST) {
      return WALK_ENTER;
    }
    fail(copy, name);
  } else if (!copy_file_at(directory, name, destination, name, &bytes)) {
    fail(copy, name);
  }
  if (copy->hooks.entry_done != nullptr && !copy->hooks.entry_done(type == DT_DIR ? 0 : 1, bytes)) {
    copy->stopped = true;
    return WALK_STOP;
  }
  return WALK_NEXT;
}

int copy_entered(void* context, int, int directory, const char* name) {
  auto* copy = static_cast<TreeCopy*>(context);
  const int above = copy->destinations[copy->depth];
  Descriptor made(
      directory >= 0 && copy->depth < COPY_DEPTH_LIMIT ? openat(above, name, DIRECTORY_FLAGS) : -1);
  if (!made.is_open()) {
    fail(copy, name);
    return WALK_NEXT;
  }
  const std::size_t length = std::strlen(copy->source.data());
  copy->source_lengths[copy->depth] = length;
  std::snprintf(copy->source.data() + length, copy->source.size() - length, "/%s", name);
  shown_enter(&copy->shown, name);
  copy->destinations[++copy->depth] = made.release();
  return WALK_ENTER;
}

bool copy_left(void* context, int) {
  auto* copy = static_cast<TreeCopy*>(context);
  if (copy->depth == 0) return true;
  close(copy->destinations[copy->depth--]);
  copy->source[copy->source_lengths[copy->depth]] = '\0';
  shown_leave(&copy->shown);
  return true;
}

}  // namespace

void report_copy_failure(const char* source, const char* destination) {
  std::printf("Unable to copy %s to %s. %s.\n\n", source, destination, failure_reason(errno));
}

int copy_file(const char* source, const char* destination) {
  // A name ending in a slash names a directory: a file copied to the name
  // without it would replace a file that no set-aside saw.
  const std::size_t length = std::strlen(destination);
  if (length == 0 || destination[length - 1] == '/') return 0;
  Path buffer;
  const char* name = nullptr;
  Descriptor parent(open_parent_directory(destination, &buffer, &name));
  long long bytes = 0;
  const mode_t mask = umask(0);
  const bool copied =
      parent.is_open() && copy_file_at(AT_FDCWD, source, parent.get(), name, &bytes);
  umask(mask);
  return copied ? 1 : 0;
}

int copy_file_to(const char* source, int destination, long long* bytes) {
  struct stat status {};
  Descriptor from(open_source(AT_FDCWD, source, &status));
  if (!from.is_open()) {
    close(destination);
    return 0;
  }
  *bytes = status.st_size;
  return copy_contents(from.release(), destination, status.st_mode & MODE_BITS, true) ? 1 : 0;
}

// NOLINTNEXTLINE(readability-non-const-parameter): the walk counts into it
int copy_tree(const char* source, const char* destination, int* failures) {
  if (access(source, F_OK) != 0) return -1;
  // A source that is not a readable directory still gets its destination,
  // as a parent's copy would, but nothing is installed from it.
  umask(0);
  Path buffer;
  const char* name = nullptr;
  Descriptor parent(open_parent_directory(destination, &buffer, &name));
  if (parent.is_open() && mkdirat(parent.get(), name, CREATED_DIRECTORY_MODE) != 0 &&
      errno != EEXIST) {
    parent.reset();
  }
  Descriptor target(parent.is_open() ? openat(parent.get(), name, DIRECTORY_FLAGS) : -1);
  if (!target.is_open()) {
    report_copy_failure(source, destination);
    ++*failures;
    return 0;
  }
  return copy_tree_into(source, target.get(), destination, failures, CopyHooks{nullptr, nullptr});
}

// NOLINTNEXTLINE(readability-non-const-parameter): as copy_tree
int copy_tree_into(const char* source, int destination, const char* shown, int* failures,
                   const CopyHooks& hooks) {
  if (access(source, F_OK) != 0) return -1;
  Descriptor top(open(source, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!top.is_open()) {
    if (hooks.before_message != nullptr) hooks.before_message();
    report_copy_failure(source, shown);
    ++*failures;
    return 0;
  }
  TreeCopy& copy = tree_copy;
  copy = TreeCopy{};
  copy.failures = failures;
  copy.hooks = hooks;
  copy.destinations[0] = destination;
  std::snprintf(copy.source.data(), copy.source.size(), "%s", source);
  shown_start(&copy.shown, shown);
  const WalkVisitor visitor{copy_entry, copy_entered, copy_left, &copy};
  if (!walk_tree(top.get(), visitor) && !copy.stopped && !copy.too_long) {
    if (hooks.before_message != nullptr) hooks.before_message();
    report_copy_failure(copy.source.data(), copy.shown.text.data());
    ++*failures;
  }
  while (copy.depth > 0) close(copy.destinations[copy.depth--]);
  return copy.stopped || copy.too_long ? -1 : 0;
}
