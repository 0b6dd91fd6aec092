#include "copy/copy.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "copy/descriptor.h"

namespace {

// A file is owner-only while it is being filled, so that it is never more
// open than its source before its final mode is set.
constexpr mode_t FILLING_FILE_MODE = 0600;
constexpr mode_t MODE_BITS = 07777;
constexpr std::size_t STREAM_BUFFER_SIZE = std::size_t{512} * 1024;

// Bytes move one at a time through the buffered streams; large stream
// buffers keep the system calls per file few. copy_file is not re-entered,
// so one pair of buffers serves every copy of the run.
std::array<char, STREAM_BUFFER_SIZE> source_stream_buffer;
std::array<char, STREAM_BUFFER_SIZE> destination_stream_buffer;

constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// A new file is created exclusively; an existing one is refilled only when
// it is a regular file, and is made owner-only first.
int open_destination_file(int directory, const char* name, bool* created) {
  constexpr int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
  int fd = openat(directory, name, flags | O_EXCL, FILLING_FILE_MODE);
  *created = fd >= 0;
  if (fd >= 0 || errno != EEXIST) return fd;
  Descriptor existing(openat(directory, name, flags | O_TRUNC, FILLING_FILE_MODE));
  if (!existing.is_open()) return -1;
  struct stat status {};
  if (fstat(existing.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      fchmod(existing.get(), FILLING_FILE_MODE) != 0) {
    return -1;
  }
  return existing.release();
}

// Opens a package file for reading; *status receives its status. Returns
// -1 for anything that is not a readable regular file.
int open_source_file(int directory, const char* name, struct stat* status) {
  // Non-blocking, so that a FIFO in the package cannot hang the run.
  Descriptor source(openat(directory, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!source.is_open()) return -1;
  if (fstat(source.get(), status) != 0) return -1;
  if (!S_ISREG(status->st_mode)) {
    errno = NOT_A_REGULAR_FILE;
    return -1;
  }
  return source.release();
}

int copy_file_at(int source_directory, const char* source_name, int destination_directory,
                 const char* destination_name, long long* bytes) {
  struct stat status {};
  Descriptor source(open_source_file(source_directory, source_name, &status));
  if (!source.is_open()) return 0;
  bool created = false;
  int destination = open_destination_file(destination_directory, destination_name, &created);
  if (destination < 0) return 0;
  if (copy_contents(source.release(), destination, status.st_mode & MODE_BITS) != 0) {
    *bytes = status.st_size;
    return 1;
  }
  // A file this copy created and could not complete would look installed.
  // Should the removal fail too, the file stays owner-only and the failure
  // has been reported all the same.
  const int error = errno;
  if (created) unlinkat(destination_directory, destination_name, 0);
  errno = error;
  return 0;
}

int make_and_open_directory(int parent, const char* name) {
  if (mkdirat(parent, name, CREATED_DIRECTORY_MODE) != 0 && errno != EEXIST) {
    return -1;
  }
  return openat(parent, name, DIRECTORY_FLAGS | O_NOFOLLOW);
}

// What one walk carries down through its levels.
struct Walk {
  int& failures;
  WalkHooks hooks;
};

void before_message(const Walk& walk) {
  if (walk.hooks.before_message != nullptr) walk.hooks.before_message();
}

void count_failure(const Walk& walk, const char* source, const char* destination) {
  before_message(walk);
  report_copy_failure(source, destination);
  ++walk.failures;
}

int copy_entries(DIR* source, const char* source_path, int destination,
                 const char* destination_path, const Walk& walk);

// Copies one subdirectory whose entry is name in both parents. A destination
// that cannot be made or opened is one failure and its entries are skipped.
int copy_subtree(int source_parent, int destination_parent, const char* name,
                 const char* source_path, const char* destination_path, const Walk& walk) {
  DirectoryStream source =
      open_directory_stream(openat(source_parent, name, DIRECTORY_FLAGS | O_NOFOLLOW));
  Descriptor destination(make_and_open_directory(destination_parent, name));
  if (!destination.is_open() || !source) {
    count_failure(walk, source_path, destination_path);
    return 0;
  }
  return copy_entries(source.get(), source_path, destination.get(), destination_path, walk);
}

int copy_entries(DIR* source, const char* source_path, int destination,
                 const char* destination_path, const Walk& walk) {
  const int source_fd = dirfd(source);
  const std::size_t source_length = std::strlen(source_path);
  std::array<char, TREE_PATH_LIMIT> source_entry;
  std::array<char, TREE_PATH_LIMIT> destination_entry;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(source);
    if (entry == nullptr) {
      if (errno != 0) count_failure(walk, source_path, destination_path);
      return 0;
    }
    const char* name = entry->d_name;
    if (is_dot_or_dot_dot(name)) continue;
    if (source_length + std::strlen(name) + 2 > TREE_PATH_LIMIT) {
      before_message(walk);
      std::printf("Unable to copy %s/%s to %s/%s. %s.\n\n", source_path, name, destination_path,
                  name, failure_reason(ENAMETOOLONG));
      ++walk.failures;
      return -1;
    }
    std::snprintf(source_entry.data(), source_entry.size(), "%s/%s", source_path, name);
    int written = std::snprintf(destination_entry.data(), destination_entry.size(), "%s/%s",
                                destination_path, name);
    if (written < 0 || static_cast<std::size_t>(written) >= destination_entry.size()) {
      before_message(walk);
      std::printf("Unable to copy %s to %s/%s. %s.\n\n", source_entry.data(), destination_path,
                  name, failure_reason(ENAMETOOLONG));
      ++walk.failures;
      continue;
    }
    bool is_directory = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat status {};
      if (fstatat(source_fd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        count_failure(walk, source_entry.data(), destination_entry.data());
        continue;
      }
      is_directory = S_ISDIR(status.st_mode);
    }
    long long bytes = 0;
    if (is_directory) {
      if (copy_subtree(source_fd, destination, name, source_entry.data(), destination_entry.data(),
                       walk) != 0) {
        return -1;
      }
    } else if (copy_file_at(source_fd, name, destination, name, &bytes) == 0) {
      count_failure(walk, source_entry.data(), destination_entry.data());
    }
    if (walk.hooks.entry_done != nullptr && !walk.hooks.entry_done(is_directory ? 0 : 1, bytes)) {
      return -1;
    }
  }
}

}  // namespace

int copy_contents(int source_fd, int destination_fd, mode_t mode) {
  FILE* source = fdopen(source_fd, "r");
  if (source == nullptr) {
    close(source_fd);
    close(destination_fd);
    return 0;
  }
  FILE* destination = fdopen(destination_fd, "w");
  if (destination == nullptr) {
    std::fclose(source);
    close(destination_fd);
    return 0;
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
  complete = complete && fchmod(fileno(destination), mode) == 0;
  complete = std::fclose(destination) == 0 && complete;
  std::fclose(source);  // read-only: its close cannot lose anything
  return complete ? 1 : 0;
}

bool is_dot_or_dot_dot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

int open_parent_directory(const char* path, std::array<char, TREE_PATH_LIMIT>& buffer,
                          const char** name) {
  std::size_t length = std::strlen(path);
  if (length == 0 || length >= buffer.size()) {
    errno = length == 0 ? ENOENT : ENAMETOOLONG;
    return -1;
  }
  std::memcpy(buffer.data(), path, length + 1);
  while (length > 1 && buffer[length - 1] == '/') buffer[--length] = '\0';
  char* slash = std::strrchr(buffer.data(), '/');
  if (slash == nullptr) {
    *name = buffer.data();
    return open(".", DIRECTORY_FLAGS);
  }
  if (slash[1] == '\0') {
    *name = ".";
    return open("/", DIRECTORY_FLAGS);
  }
  *name = slash + 1;
  if (slash == buffer.data()) return open("/", DIRECTORY_FLAGS);
  *slash = '\0';
  return open(buffer.data(), DIRECTORY_FLAGS);
}

const char* failure_reason(int error) {
  switch (error) {
    case NOT_A_REGULAR_FILE:
      return "It is not a regular file or a link to one";
    case NOT_THE_STAGED_ENTRY:
      return "Another entry has taken its place";
    case STAGING_LEFTOVER:
      return "It holds what an interrupted installation left: remove each entry there whose name "
             "holds .langext-, then run the installer again";
    default:
      return std::strerror(error);
  }
}

void report_copy_failure(const char* source, const char* destination) {
  std::printf("Unable to copy %s to %s. %s.\n\n", source, destination, failure_reason(errno));
}

int copy_file(const char* source, const char* destination) {
  // A name ending in a slash names a directory: a file copied to the name
  // without it would replace a file that no set-aside saw.
  const std::size_t length = std::strlen(destination);
  if (length == 0 || destination[length - 1] == '/') return 0;
  std::array<char, TREE_PATH_LIMIT> parent_path;
  const char* name = nullptr;
  Descriptor parent(open_parent_directory(destination, parent_path, &name));
  if (!parent.is_open()) return 0;
  long long bytes = 0;
  return copy_file_at(AT_FDCWD, source, parent.get(), name, &bytes);
}

int copy_file_to(const char* source, int destination, long long* bytes) {
  struct stat status {};
  Descriptor source_fd(open_source_file(AT_FDCWD, source, &status));
  if (!source_fd.is_open()) {
    close(destination);
    return 0;
  }
  *bytes = status.st_size;
  return copy_contents(source_fd.release(), destination, status.st_mode & MODE_BITS);
}

// The walk counts into *failures through a reference the analyzer misses.
// NOLINTNEXTLINE(readability-non-const-parameter)
int copy_tree(const char* source, const char* destination, int* failures) {
  if (access(source, F_OK) != 0) return -1;
  // A source that is not a readable directory still gets its destination,
  // as a parent's copy would, but nothing is installed from it.
  umask(0);
  std::array<char, TREE_PATH_LIMIT> parent_path;
  const char* name = nullptr;
  Descriptor parent(open_parent_directory(destination, parent_path, &name));
  Descriptor target(parent.is_open() ? make_and_open_directory(parent.get(), name) : -1);
  if (!target.is_open()) {
    report_copy_failure(source, destination);
    ++*failures;
    return 0;
  }
  return copy_tree_into(source, target.get(), destination, failures, WalkHooks{nullptr, nullptr});
}

// NOLINTNEXTLINE(readability-non-const-parameter): as copy_tree
int copy_tree_into(const char* source, int destination, const char* shown, int* failures,
                   const WalkHooks& hooks) {
  if (access(source, F_OK) != 0) return -1;
  DirectoryStream source_stream = open_directory_stream(open(source, DIRECTORY_FLAGS));
  const Walk walk{*failures, hooks};
  if (!source_stream) {
    count_failure(walk, source, shown);
    return 0;
  }
  return copy_entries(source_stream.get(), source, destination, shown, walk);
}

DirectoryStream open_directory_stream(int fd) {
  if (fd < 0) return DirectoryStream(nullptr);
  DIR* stream = fdopendir(fd);
  if (stream == nullptr) close(fd);
  return DirectoryStream(stream);
}
