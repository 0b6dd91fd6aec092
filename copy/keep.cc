#include "copy/keep.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "copy/copy.h"
#include "copy/descriptor.h"

namespace {

constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr const char* NOT_KEPT = "Only files, directories and links can be kept as they are";

void report(const char* source, const char* destination, const char* reason) {
  std::printf("Unable to copy %s to %s. %s.\n\n", source, destination, reason);
}

bool keep_link_attributes(int directory, const char* name, const struct stat& status) {
  const std::array<timespec, 2> times{status.st_atim, status.st_mtim};
  return fchownat(directory, name, status.st_uid, status.st_gid, AT_SYMLINK_NOFOLLOW) == 0 &&
         utimensat(directory, name, times.data(), AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace

bool keep_entry(int source, const char* name, int destination, const char* new_name,
                const char* source_path, const char* destination_path, int* failures) {
  struct stat status {};
  if (fstatat(source, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
    report(source_path, destination_path, std::strerror(errno));
    return false;
  }
  if (S_ISDIR(status.st_mode)) {
    Descriptor from(openat(source, name, DIRECTORY_FLAGS));
    if (!from.is_open() || mkdirat(destination, new_name, 0700) != 0) {
      report(source_path, destination_path, std::strerror(errno));
      return false;
    }
    Descriptor to(openat(destination, new_name, DIRECTORY_FLAGS));
    if (!to.is_open()) {
      report(source_path, destination_path, std::strerror(errno));
      return false;
    }
    keep_tree(from.get(), source_path, to.get(), destination_path, failures);
    return true;  // what failed inside has been counted there
  }
  if (S_ISREG(status.st_mode)) {
    Descriptor from(
        openat(source, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    Descriptor to(from.is_open()
                      ? openat(destination, new_name,
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)
                      : -1);
    if (!to.is_open()) {
      report(source_path, destination_path, std::strerror(errno));
      return false;
    }
    return keep_file(from.get(), source_path, to.release(), destination_path) == 1;
  }
  if (S_ISLNK(status.st_mode)) {
    std::array<char, TREE_PATH_LIMIT * 4> target{};
    const ssize_t length = readlinkat(source, name, target.data(), target.size());
    if (length >= 0 && static_cast<std::size_t>(length) >= target.size()) errno = ENAMETOOLONG;
    if (length < 0 || static_cast<std::size_t>(length) >= target.size() ||
        symlinkat(target.data(), destination, new_name) != 0 ||
        !keep_link_attributes(destination, new_name, status)) {
      report(source_path, destination_path, std::strerror(errno));
      return false;
    }
    return true;
  }
  report(source_path, destination_path, NOT_KEPT);
  return false;
}

namespace {

int keep_entries(int source, const char* source_path, int destination, const char* destination_path,
                 int* failures, const char* left_out) {
  DirectoryStream stream(fdopendir(openat(source, ".", DIRECTORY_FLAGS)));
  if (!stream) {
    report(source_path, destination_path, std::strerror(errno));
    return ++*failures;
  }
  std::array<char, TREE_PATH_LIMIT> source_entry;
  std::array<char, TREE_PATH_LIMIT> destination_entry;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(stream.get());
    if (entry == nullptr) {
      if (errno != 0) {
        report(source_path, destination_path, std::strerror(errno));
        ++*failures;
      }
      return *failures;
    }
    const char* name = entry->d_name;
    if (is_dot_or_dot_dot(name) || (left_out != nullptr && std::strcmp(name, left_out) == 0)) {
      continue;
    }
    const int source_length =
        std::snprintf(source_entry.data(), source_entry.size(), "%s/%s", source_path, name);
    const int destination_length = std::snprintf(destination_entry.data(), destination_entry.size(),
                                                 "%s/%s", destination_path, name);
    if (source_length < 0 || destination_length < 0 ||
        static_cast<std::size_t>(source_length) >= source_entry.size() ||
        static_cast<std::size_t>(destination_length) >= destination_entry.size()) {
      report(source_path, destination_path, std::strerror(ENAMETOOLONG));
      ++*failures;
      continue;
    }
    if (!keep_entry(source, name, destination, name, source_entry.data(), destination_entry.data(),
                    failures)) {
      ++*failures;
    }
  }
}

}  // namespace

bool keep_attributes(int destination, const struct stat& status) {
  // The owner first: giving a file away clears its set-user-ID bit.
  const std::array<timespec, 2> times{status.st_atim, status.st_mtim};
  return fchown(destination, status.st_uid, status.st_gid) == 0 &&
         fchmod(destination, status.st_mode & 07777) == 0 &&
         futimens(destination, times.data()) == 0;
}

int keep_tree(int source, const char* source_path, int destination, const char* destination_path,
              int* failures, const char* left_out) {
  const int before = *failures;
  keep_entries(source, source_path, destination, destination_path, failures, left_out);
  // Its times last: every entry made inside it changed them.
  struct stat status {};
  if (fstat(source, &status) != 0 || !keep_attributes(destination, status)) {
    report(source_path, destination_path, std::strerror(errno));
    ++*failures;
  }
  return *failures - before;
}

int keep_file(int source, const char* source_path, int destination, const char* destination_path) {
  struct stat status {};
  const int copy = dup(source);
  if (fstat(source, &status) != 0 || !S_ISREG(status.st_mode) || copy < 0 ||
      fchown(destination, status.st_uid, status.st_gid) != 0) {
    const int error = S_ISREG(status.st_mode) ? errno : 0;
    if (copy >= 0) close(copy);
    close(destination);
    report(source_path, destination_path, error != 0 ? std::strerror(error) : NOT_KEPT);
    return 0;
  }
  // The contents with the mode, then the times, which the writes changed.
  const std::array<timespec, 2> times{status.st_atim, status.st_mtim};
  Descriptor timed(dup(destination));
  if (!timed.is_open()) {
    close(copy);
    close(destination);
  }
  if (!timed.is_open() || copy_contents(copy, destination, status.st_mode & 07777) == 0 ||
      futimens(timed.get(), times.data()) != 0) {
    report(source_path, destination_path, std::strerror(errno));
    return 0;
  }
  return 1;
}
