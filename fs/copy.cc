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

constexpr std::size_t STREAM_BUFFER_SIZE = std::size_t{512} * 1024;
// A source path has at least two bytes a level, and copy_entry stops one too long.
constexpr std::size_t COPY_DEPTH_LIMIT = TREE_PATH_LIMIT / 2;

// The source's stream and the destination's, over descriptors the copy
// opened itself: without the checks fdopen makes of one it does not know.
// Large buffers keep the system calls per file few. No copy is re-entered,
// so one pair serves every copy of the run.
struct StreamEnd {
  int fd = -1;
  off_t size = 0;  // the source's, when opened
  off_t read = 0;  // so far
  bool ended = false;
};
std::array<StreamEnd, 2> stream_ends;
std::array<std::array<char, STREAM_BUFFER_SIZE>, 2> stream_buffers;

// A read that fell short of the buffer and brought the source to the size
// it was opened with is its end: the read that would say so is spared. A
// source that grew meanwhile has more than that, and is read to its end.
ssize_t read_descriptor(void* cookie, char* buffer, std::size_t size) {
  auto& source = *static_cast<StreamEnd*>(cookie);
  if (source.ended) return 0;
  for (;;) {
    const ssize_t got = read(source.fd, buffer, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return got;
    source.read += got;
    source.ended = static_cast<std::size_t>(got) < size && source.read == source.size;
    return got;
  }
}

ssize_t write_descriptor(void* cookie, const char* buffer, std::size_t size) {
  std::size_t written = 0;
  while (written < size) {
    const ssize_t put =
        write(static_cast<StreamEnd*>(cookie)->fd, buffer + written, size - written);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return written > 0 ? static_cast<ssize_t>(written) : -1;
    written += static_cast<std::size_t>(put);
  }
  return static_cast<ssize_t>(written);
}

int close_descriptor(void* cookie) { return close(static_cast<StreamEnd*>(cookie)->fd); }

// A stream that closes fd (a source of size bytes when opened); fd is closed
// where none can be made.
FILE* open_stream(int fd, bool writing, off_t size = 0) {
  const cookie_io_functions_t functions{writing ? nullptr : read_descriptor,
                                        writing ? write_descriptor : nullptr, nullptr,
                                        close_descriptor};
  StreamEnd& cookie = stream_ends[writing ? 1 : 0];
  cookie = StreamEnd{fd, size, 0, false};
  FILE* stream = fopencookie(&cookie, writing ? "w" : "r", functions);
  if (stream == nullptr) close(fd);
  return stream;
}

// Copies source (size bytes when opened) to destination byte by byte, sets
// destination's mode where set_mode, and closes both; true when complete.
bool copy_contents(int source_fd, off_t size, int destination_fd, mode_t mode, bool set_mode) {
  const Stream source(open_stream(source_fd, false, size));  // read-only: unchecked close
  Stream destination(open_stream(destination_fd, true));     // closed unchecked only on failure
  if (!source || !destination) return false;
  bool complete =
      setvbuf(source.get(), stream_buffers[0].data(), _IOFBF, STREAM_BUFFER_SIZE) == 0 &&
      setvbuf(destination.get(), stream_buffers[1].data(), _IOFBF, STREAM_BUFFER_SIZE) == 0;
  if (complete) {
    int byte;
    while ((byte = getc_unlocked(source.get())) != EOF) {
      if (putc_unlocked(byte, destination.get()) == EOF) break;
    }
    complete = std::ferror(source.get()) == 0 && std::ferror(destination.get()) == 0;
  }
  complete = std::fflush(destination.get()) == 0 && complete;
  complete = complete && (!set_mode || fchmod(destination_fd, mode) == 0);
  return std::fclose(destination.release()) == 0 && complete;
}

// Opens a package file, following a link, non-blocking so that a FIFO
// cannot hang the run; -1 for anything but a readable regular file.
int open_source(int directory, const char* name, struct stat* status) {
  Descriptor source(openat(directory, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!source.is_open() || fstat(source.get(), status) != 0) return -1;
  if (!S_ISREG(status->st_mode)) {
    errno = NOT_A_REGULAR_FILE;
    return -1;
  }
  return source.release();
}

// Copies the package file name of from to name in to: a new file made with
// its mode (the mask is 0), or an existing regular file refilled. A file
// made here and not completed would look installed, and goes.
bool copy_file_at(int from, int to, const char* name, long long* bytes) {
  struct stat status {};
  Descriptor source(open_source(from, name, &status));
  if (!source.is_open()) return false;
  const mode_t mode = status.st_mode & ALLPERMS;
  int destination = openat(to, name, NEW_FILE_FLAGS, mode);
  const bool made = destination >= 0;
  struct stat existing {};
  if (!made && errno == EEXIST) {
    destination = openat(to, name, (NEW_FILE_FLAGS & ~(O_CREAT | O_EXCL)) | O_TRUNC | O_NONBLOCK);
    if (destination >= 0 && (fstat(destination, &existing) != 0 || !S_ISREG(existing.st_mode))) {
      close(destination);
      errno = NOT_A_REGULAR_FILE;
      return false;
    }
  }
  if (destination < 0) return false;
  // A write by a process without CAP_FSETID (root in a user namespace, or
  // in a container that drops it) clears the set-user-ID and set-group-ID
  // bits the file was made with: those are set again once it is written.
  const bool set_mode = !made || (mode & (S_ISUID | S_ISGID)) != 0;
  if (copy_contents(source.release(), status.st_size, destination, mode, set_mode)) {
    *bytes = status.st_size;
    return true;
  }
  const int error = errno;
  if (made) unlinkat(to, name, 0);
  errno = error;
  return false;
}

// The one tree copy running, with the destination directory of each level.
struct TreeCopy {
  int* failures;
  CopyHooks hooks;
  bool stopped = false;  // by entry_done, or a source path too long
  std::size_t depth = 0;
  Path source{};
  ShownPath shown{};
  std::array<int, COPY_DEPTH_LIMIT + 1> destinations{};
};
// At namespace scope, so that no guard (and no C++ runtime) makes it.
TreeCopy copy;

void before_message() {
  if (copy.hooks.before_message != nullptr) copy.hooks.before_message();
}

// Reports errno's failure to copy name, counts it, and passes it by.
int fail(const char* name) {
  const int error = errno;
  before_message();
  std::printf("Unable to copy %s/%s to %s/%s. %s.\n\n", copy.source.data(), name,
              copy.shown.text.data(), name, failure_reason(error));
  ++*copy.failures;
  return WALK_NEXT;
}

int copy_entry(void*, int directory, const char* name, unsigned char type) {
  Path shown;
  const bool too_long = std::strlen(copy.source.data()) + std::strlen(name) + 2 > TREE_PATH_LIMIT;
  if (too_long || !join_path(&shown, copy.shown.text.data(), name)) {
    errno = ENAMETOOLONG;
    fail(name);
    copy.stopped = too_long;
    return too_long ? WALK_STOP : WALK_NEXT;
  }
  struct stat status {};
  if (type == DT_UNKNOWN) {
    if (fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return fail(name);
    type = S_ISDIR(status.st_mode) ? DT_DIR : DT_REG;
  }
  const int destination = copy.destinations[copy.depth];
  long long bytes = 0;
  if (type == DT_DIR &&
      (mkdirat(destination, name, CREATED_DIRECTORY_MODE) == 0 || errno == EEXIST)) {
    return WALK_ENTER;
  }
  if (type == DT_DIR || !copy_file_at(directory, destination, name, &bytes)) fail(name);
  if (copy.hooks.entry_done != nullptr && !copy.hooks.entry_done(type == DT_DIR ? 0 : 1, bytes)) {
    copy.stopped = true;
    return WALK_STOP;
  }
  return WALK_NEXT;
}

int copy_entered(void*, int, int directory, const char* name) {
  Descriptor made(directory >= 0 ? openat(copy.destinations[copy.depth], name, DIRECTORY_FLAGS)
                                 : -1);
  if (!made.is_open()) return fail(name);
  const std::size_t length = std::strlen(copy.source.data());
  std::snprintf(copy.source.data() + length, copy.source.size() - length, "/%s", name);
  shown_enter(&copy.shown, name);
  copy.destinations[++copy.depth] = made.release();
  return WALK_ENTER;
}

bool copy_left(void*, int) {
  if (copy.depth == 0) return true;
  close(copy.destinations[copy.depth--]);
  *std::strrchr(copy.source.data(), '/') = '\0';  // as copy_entered added it: it fit
  shown_leave(&copy.shown);
  return true;
}

}  // namespace

void report_copy_failure(const char* source, const char* destination) {
  std::printf("Unable to copy %s to %s. %s.\n\n", source, destination, failure_reason(errno));
}

bool copy_file_to(const char* source, int destination, long long* bytes) {
  struct stat status {};
  Descriptor from(open_source(AT_FDCWD, source, &status));
  if (!from.is_open()) {
    close(destination);
    return false;
  }
  *bytes = status.st_size;
  return copy_contents(from.release(), status.st_size, destination, status.st_mode & ALLPERMS,
                       true);
}

// NOLINTNEXTLINE(readability-non-const-parameter): the walk counts into it
int copy_tree_into(const char* source, int destination, const char* shown, int* failures,
                   const CopyHooks& hooks) {
  if (access(source, F_OK) != 0) return -1;
  copy = TreeCopy{failures, hooks};
  copy.destinations[0] = destination;
  std::snprintf(copy.source.data(), copy.source.size(), "%s", source);
  shown_start(&copy.shown, shown);
  Descriptor top(open(source, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const WalkVisitor visitor{copy_entry, copy_entered, copy_left, nullptr};
  if (!top.is_open() || (!walk_tree(top.get(), visitor) && !copy.stopped)) {
    before_message();
    report_copy_failure(copy.source.data(), copy.shown.text.data());
    ++*failures;
  }
  while (copy.depth > 0) close(copy.destinations[copy.depth--]);
  return copy.stopped ? -1 : 0;
}
