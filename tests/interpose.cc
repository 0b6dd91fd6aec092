// Loaded with LD_PRELOAD by the end-to-end tests to play what the installer
// must survive, at the exact moment that hurts most.
//
// Another local user (LANGEXT_PLANT_CALL, _NAME, _KIND, _TARGET): right
// after the installer's call named in LANGEXT_PLANT_CALL (openat that
// creates, mkdirat, renameat2/renameat by their new name, or syncfs by the
// empty name) succeeds on a
// name that matches the pattern LANGEXT_PLANT_NAME, once:
//   link       the entry is moved aside and a link to _TARGET takes its name
//   directory  the entry is moved aside and a new directory takes its name
//   backup       an empty directory appears at _TARGET
//   backup-file  a file holding "planted" appears at _TARGET
//
// A file system without exchange (LANGEXT_NO_EXCHANGE=EINVAL), a kernel
// without renameat2 at all (LANGEXT_NO_EXCHANGE=ENOSYS), or targets that
// cannot be moved (LANGEXT_NO_EXCHANGE=EXDEV or EBUSY at the exchange).
//
// A failure (LANGEXT_FAIL_CALL, _AFTER, _ERRNO, _PATH): the
// LANGEXT_FAIL_AFTER-th call of LANGEXT_FAIL_CALL (linkat, syncfs or fsync) fails
// with the errno numbered LANGEXT_FAIL_ERRNO, without being made; where
// LANGEXT_FAIL_PATH is set, only syncfs or fsync calls on a descriptor of that very
// path count. LANGEXT_FAIL_COUNT_FILE, if set, receives how many calls
// LANGEXT_RAISE_CALL had counted by then.
//
// A kernel before 5.8 (LANGEXT_NO_MOUNT_ROOT=1): statx tells no mount root.
//
// A signal (LANGEXT_RAISE_SIGNAL) raised right after the LANGEXT_RAISE_AFTER-th
// call of LANGEXT_RAISE_CALL (openat that creates, or "any" of the calls
// hooked here: those that change what is on disk, and syncfs).
#include <dlfcn.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char* setting(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

long counted_calls = 0;

void count_call(const char* call) {
  static long calls = 0;
  const char* wanted = setting("LANGEXT_RAISE_CALL");
  if (*wanted == '\0' || (std::strcmp(wanted, "any") != 0 && std::strcmp(wanted, call) != 0)) {
    return;
  }
  counted_calls = ++calls;
  if (calls == std::atol(setting("LANGEXT_RAISE_AFTER"))) {
    raise(std::atoi(setting("LANGEXT_RAISE_SIGNAL")));
  }
}

void plant(const char* call, int directory, const char* name) {
  static bool planted = false;
  if (planted || std::strcmp(setting("LANGEXT_PLANT_CALL"), call) != 0 ||
      fnmatch(setting("LANGEXT_PLANT_NAME"), name, 0) != 0) {
    return;
  }
  planted = true;
  const std::string kind = setting("LANGEXT_PLANT_KIND");
  const char* target = setting("LANGEXT_PLANT_TARGET");
  bool done;
  if (kind == "backup") {
    done = mkdir(target, 0755) == 0;
  } else if (kind == "backup-file") {
    FILE* file = std::fopen(target, "wx");
    done = file != nullptr && std::fputs("planted", file) >= 0 && std::fclose(file) == 0;
  } else {
    const std::string aside = std::string(name) + ".moved-aside";
    done = renameat(directory, name, directory, aside.c_str()) == 0 &&
           (kind == "directory" ? mkdirat(directory, name, 0777)
                                : symlinkat(target, directory, name)) == 0;
  }
  if (!done) std::fprintf(stderr, "interpose: could not plant at %s\n", name);
}

// The path that the descriptor fd was opened at.
std::string path_of(int fd) {
  char link[64];
  char path[4096];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t length = readlink(link, path, sizeof path);
  return length < 0 ? std::string() : std::string(path, static_cast<std::size_t>(length));
}

bool fail_call(const char* call, int fd = -1) {
  static long calls = 0;
  const char* path = setting("LANGEXT_FAIL_PATH");
  if (std::strcmp(setting("LANGEXT_FAIL_CALL"), call) != 0 ||
      (*path != '\0' && fd >= 0 && path_of(fd) != path) ||
      ++calls != std::atol(setting("LANGEXT_FAIL_AFTER"))) {
    return false;
  }
  // Where a kill sweep of what follows the failure starts.
  FILE* file = *setting("LANGEXT_FAIL_COUNT_FILE") != '\0'
                   ? std::fopen(setting("LANGEXT_FAIL_COUNT_FILE"), "w")
                   : nullptr;
  if (file != nullptr) {
    std::fprintf(file, "%ld\n", counted_calls);
    std::fclose(file);
  }
  errno = std::atoi(setting("LANGEXT_FAIL_ERRNO"));
  return true;
}

template <typename Function>
Function real(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int openat(int directory, const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0) {
    va_list arguments;
    va_start(arguments, flags);
    mode = static_cast<mode_t>(va_arg(arguments, int));
    va_end(arguments);
  }
  static auto call = real<int (*)(int, const char*, int, ...)>("openat");
  int result = call(directory, path, flags, mode);
  if ((flags & O_CREAT) != 0) {
    if (result >= 0) plant("openat", directory, path);
    count_call("openat");
  }
  return result;
}

extern "C" int mkdirat(int directory, const char* path, mode_t mode) {
  static auto call = real<int (*)(int, const char*, mode_t)>("mkdirat");
  int result = call(directory, path, mode);
  if (result == 0) plant("mkdirat", directory, path);
  count_call("mkdirat");
  return result;
}

extern "C" int renameat2(int old_directory, const char* old_path, int new_directory,
                         const char* new_path, unsigned int flags) {
  const std::string missing = setting("LANGEXT_NO_EXCHANGE");
  if (missing == "ENOSYS" ||
      (missing != "" && missing != "none" && (flags & RENAME_EXCHANGE) != 0)) {
    errno = missing == "ENOSYS"  ? ENOSYS
            : missing == "EXDEV" ? EXDEV
            : missing == "EBUSY" ? EBUSY
                                 : EINVAL;
    return -1;
  }
  static auto call = real<int (*)(int, const char*, int, const char*, unsigned int)>("renameat2");
  int result = call(old_directory, old_path, new_directory, new_path, flags);
  if (result == 0) plant("renameat2", new_directory, new_path);
  count_call("renameat2");
  return result;
}

extern "C" int renameat(int old_directory, const char* old_path, int new_directory,
                        const char* new_path) {
  static auto call = real<int (*)(int, const char*, int, const char*)>("renameat");
  int result = call(old_directory, old_path, new_directory, new_path);
  if (result == 0) plant("renameat2", new_directory, new_path);
  count_call("renameat");
  return result;
}

extern "C" int syncfs(int fd) {
  if (fail_call("syncfs", fd)) return -1;
  static auto call = real<int (*)(int)>("syncfs");
  int result = call(fd);
  if (result == 0) plant("syncfs", fd, "");
  count_call("syncfs");
  return result;
}

// Not counted among the calls a kill may follow: fsync only makes durable
// what a counted call changed.
extern "C" int fsync(int fd) {
  if (fail_call("fsync", fd)) return -1;
  static auto call = real<int (*)(int)>("fsync");
  return call(fd);
}

extern "C" int unlinkat(int directory, const char* path, int flags) {
  static auto call = real<int (*)(int, const char*, int)>("unlinkat");
  int result = call(directory, path, flags);
  count_call("unlinkat");
  return result;
}

extern "C" int linkat(int old_directory, const char* old_path, int new_directory,
                      const char* new_path, int flags) {
  if (fail_call("linkat")) return -1;
  static auto call = real<int (*)(int, const char*, int, const char*, int)>("linkat");
  int result = call(old_directory, old_path, new_directory, new_path, flags);
  count_call("linkat");
  return result;
}

extern "C" int statx(int directory, const char* path, int flags, unsigned int mask,
                     struct statx* status) {
  static auto call = real<int (*)(int, const char*, int, unsigned int, struct statx*)>("statx");
  int result = call(directory, path, flags, mask, status);
  if (result == 0 && *setting("LANGEXT_NO_MOUNT_ROOT") != '\0') {
    status->stx_attributes_mask &= ~static_cast<std::uint64_t>(STATX_ATTR_MOUNT_ROOT);
    status->stx_attributes &= ~static_cast<std::uint64_t>(STATX_ATTR_MOUNT_ROOT);
  }
  return result;
}
