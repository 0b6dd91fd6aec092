// Loaded with LD_PRELOAD by the end-to-end tests to play what the installer
// must survive, at the exact moment that hurts most.
//
// Another local user (LANGEXT_PLANT_CALL, _NAME, _KIND, _TARGET): right
// after the installer's call named in LANGEXT_PLANT_CALL (a list, split by
// commas, of: openat that creates, mkdirat, symlinkat, unlinkat,
// renameat2/renameat by their new name, linkat by the name linked from,
// fstatat (or statx), or syncfs, flock or fsetxattr by the empty name)
// succeeds on a name that matches one of the patterns LANGEXT_PLANT_NAME,
// split by commas (in a directory whose path matches the pattern
// LANGEXT_PLANT_IN, when set), once (or each time, where
// LANGEXT_PLANT_EVERY is set):
//   link       the entry is moved aside and a link to _TARGET takes its name
//   directory  the entry is moved aside and a new directory takes its name
//   backup       an empty directory appears at _TARGET
//   backup-file  a file holding "planted" appears at _TARGET
//   command    the shell command LANGEXT_PLANT_COMMAND runs as the user
//              LANGEXT_PLANT_USER (UID:GID), with no capability of root's,
//              and the installer waits for it: PLANT_DIR is the directory
//              of the entry the call made (for linkat, the new link),
//              PLANT_NAME its name. What it prints and its exit status
//              ("exit N") are appended to LANGEXT_PLANT_LOG: the kernel may
//              refuse it what the installer keeps from other users.
//
// A file system without exchange (LANGEXT_NO_EXCHANGE=EINVAL), a kernel
// without renameat2 at all (LANGEXT_NO_EXCHANGE=ENOSYS), or targets that
// cannot be moved (LANGEXT_NO_EXCHANGE=EXDEV or EBUSY at the exchange).
//
// A failure (LANGEXT_FAIL_CALL, _AFTER, _ERRNO, _PATH): the
// LANGEXT_FAIL_AFTER-th call of LANGEXT_FAIL_CALL (linkat, placing (a
// renameat2 from one name to the same in another directory: a file going
// into a target installed in place, or back), syncfs, fsync or pread) fails
// with the errno numbered LANGEXT_FAIL_ERRNO, without being made; where
// LANGEXT_FAIL_PATH is set, only calls on a descriptor of that very path
// count; with LANGEXT_FAIL_EVERY set, every call from that one on fails.
// LANGEXT_FAIL_COUNT_FILE, if set, receives how many calls
// LANGEXT_RAISE_CALL had counted by then.
//
// A kernel before 5.8 (LANGEXT_NO_MOUNT_ROOT=1): statx tells no mount root.
//
// A signal (LANGEXT_RAISE_SIGNAL) raised right after the LANGEXT_RAISE_AFTER-th
// call of LANGEXT_RAISE_CALL (openat that creates, placing, or "any" of the
// calls hooked here: those that change what is on disk, and syncfs).
// LANGEXT_CALL_COUNT_FILE, if set, receives at exit how many calls of
// LANGEXT_RAISE_CALL the run made: where a kill sweep ends.
#include <dlfcn.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <grp.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

void write_count(const char* file_name) {
  FILE* file = *file_name != '\0' ? std::fopen(file_name, "w") : nullptr;
  if (file != nullptr) {
    std::fprintf(file, "%ld\n", counted_calls);
    std::fclose(file);
  }
}

// env and timeout, which start the installer, load this too: only the
// process that made the calls says how many.
__attribute__((destructor)) void count_at_exit() {
  if (counted_calls > 0) write_count(setting("LANGEXT_CALL_COUNT_FILE"));
}

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

// Whether one of the patterns of the list, split by commas, matches name.
bool listed(const char* list, const char* name) {
  for (const char* item = list; *item != '\0';) {
    const char* end = std::strchr(item, ',');
    const std::string pattern(
        item, end != nullptr ? static_cast<std::size_t>(end - item) : std::strlen(item));
    if (fnmatch(pattern.c_str(), name, 0) == 0) return true;
    if (end == nullptr) break;
    item = end + 1;
  }
  return false;
}

void log_line(const char* text) {
  if (*setting("LANGEXT_PLANT_LOG") == '\0') return;
  FILE* file = std::fopen(setting("LANGEXT_PLANT_LOG"), "a");
  if (file == nullptr) return;
  std::fputs(text, file);
  std::fclose(file);
}

// The path of an open directory, as the kernel names it now.
std::string directory_path(int directory) {
  if (directory == AT_FDCWD) return ".";
  char buffer[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(directory);
  const ssize_t length = readlink(link.c_str(), buffer, sizeof buffer - 1);
  return length < 0 ? std::string() : std::string(buffer, static_cast<std::size_t>(length));
}

// Runs LANGEXT_PLANT_COMMAND as the other user, in a child that holds none
// of the installer's descriptors, and waits for it.
bool run_as_other_user(int directory, const char* name) {
  const std::string path = directory_path(directory);
  if (path.empty()) return false;
  unsigned user = 0;
  unsigned group = 0;
  if (std::sscanf(setting("LANGEXT_PLANT_USER"), "%u:%u", &user, &group) != 2) return false;
  const char* log =
      *setting("LANGEXT_PLANT_LOG") != '\0' ? setting("LANGEXT_PLANT_LOG") : "/dev/null";
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    const int out = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(out, STDERR_FILENO) < 0) _exit(126);
    close_range(3, ~0U, 0);
    setenv("PLANT_DIR", path.c_str(), 1);
    setenv("PLANT_NAME", name, 1);
    unsetenv("LD_PRELOAD");
    // Already that user (root, in a namespace that may not set groups), it
    // stays as it is.
    if ((getuid() != user || getgid() != group) &&
        (setgroups(0, nullptr) != 0 || setresgid(group, group, group) != 0 ||
         setresuid(user, user, user) != 0)) {
      _exit(125);
    }
    execl("/bin/sh", "sh", "-c", setting("LANGEXT_PLANT_COMMAND"), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  if (waitpid(child, &status, 0) != child) return false;
  const std::string line =
      "exit " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128) + "\n";
  log_line(line.c_str());
  return true;
}

// matched, where given, is the name the pattern is matched against (for
// linkat, the name linked from); the plant acts on name in directory.
void plant(const char* call, int directory, const char* name, const char* matched = nullptr) {
  static bool planted = false;
  if ((planted && *setting("LANGEXT_PLANT_EVERY") == '\0') ||
      !listed(setting("LANGEXT_PLANT_CALL"), call) ||
      !listed(setting("LANGEXT_PLANT_NAME"), matched != nullptr ? matched : name) ||
      (*setting("LANGEXT_PLANT_IN") != '\0' &&
       fnmatch(setting("LANGEXT_PLANT_IN"), directory_path(directory).c_str(), 0) != 0)) {
    return;
  }
  planted = true;
  const std::string kind = setting("LANGEXT_PLANT_KIND");
  const char* target = setting("LANGEXT_PLANT_TARGET");
  bool done;
  if (kind == "command") {
    done = run_as_other_user(directory, name);
  } else if (kind == "backup") {
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
      (*setting("LANGEXT_FAIL_EVERY") != '\0'
           ? ++calls < std::atol(setting("LANGEXT_FAIL_AFTER"))
           : ++calls != std::atol(setting("LANGEXT_FAIL_AFTER")))) {
    return false;
  }
  // Where a kill sweep of what follows the failure starts.
  write_count(setting("LANGEXT_FAIL_COUNT_FILE"));
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
  // A target that cannot be moved refuses the swap with its staging entry
  // (".NAME.langext-XXXXXXXX"); files within it are exchanged all the same.
  const std::string staging_of_new = std::string(".") + new_path + ".langext-*";
  const bool unmovable = missing == "EXDEV" || missing == "EBUSY";
  if (missing == "ENOSYS" ||
      (missing != "" && missing != "none" && (flags & RENAME_EXCHANGE) != 0 &&
       (!unmovable || fnmatch(staging_of_new.c_str(), old_path, 0) == 0))) {
    errno = missing == "ENOSYS"  ? ENOSYS
            : missing == "EXDEV" ? EXDEV
            : missing == "EBUSY" ? EBUSY
                                 : EINVAL;
    return -1;
  }
  const bool placing = std::strcmp(old_path, new_path) == 0;
  if (placing && fail_call("placing")) return -1;
  static auto call = real<int (*)(int, const char*, int, const char*, unsigned int)>("renameat2");
  int result = call(old_directory, old_path, new_directory, new_path, flags);
  if (result == 0) plant("renameat2", new_directory, new_path);
  count_call(placing && std::strcmp(setting("LANGEXT_RAISE_CALL"), "placing") == 0 ? "placing"
                                                                                   : "renameat2");
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

extern "C" int flock(int fd, int operation) {
  static auto call = real<int (*)(int, int)>("flock");
  int result = call(fd, operation);
  if (result == 0) plant("flock", fd, "");
  return result;
}

extern "C" int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
  static auto call = real<int (*)(int, const char*, const void*, size_t, int)>("fsetxattr");
  const int result = call(fd, name, value, size, flags);
  if (result == 0) plant("fsetxattr", fd, "");
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

// A close that fails after closing, as a FUSE flush may (LANGEXT_CLOSE_ERRNO),
// of a descriptor of LANGEXT_FAIL_PATH.
extern "C" int close(int fd) {
  static auto call = real<int (*)(int)>("close");
  const char* error = setting("LANGEXT_CLOSE_ERRNO");
  const bool failing = *error != '\0' && path_of(fd) == setting("LANGEXT_FAIL_PATH");
  const int result = call(fd);
  if (result != 0 || !failing) return result;
  errno = std::atoi(error);
  return -1;
}

// A read of the log that fails (LANGEXT_FAIL_PATH its path).
extern "C" ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
  if (fail_call("pread", fd)) return -1;
  static auto call = real<ssize_t (*)(int, void*, size_t, off_t)>("pread");
  return call(fd, buffer, count, offset);
}

// Only looked at: the other user may act right after the installer has
// examined an entry.
extern "C" int fstatat(int directory, const char* path, struct stat* status, int flags) {
  static auto call = real<int (*)(int, const char*, struct stat*, int)>("fstatat");
  int result = call(directory, path, status, flags);
  if (result == 0) plant("fstatat", directory, path);
  return result;
}

extern "C" int unlinkat(int directory, const char* path, int flags) {
  static auto call = real<int (*)(int, const char*, int)>("unlinkat");
  int result = call(directory, path, flags);
  if (result == 0) plant("unlinkat", directory, path);
  count_call("unlinkat");
  return result;
}

extern "C" int linkat(int old_directory, const char* old_path, int new_directory,
                      const char* new_path, int flags) {
  if (fail_call("linkat")) return -1;
  static auto call = real<int (*)(int, const char*, int, const char*, int)>("linkat");
  int result = call(old_directory, old_path, new_directory, new_path, flags);
  if (result == 0) plant("linkat", new_directory, new_path, old_path);
  count_call("linkat");
  return result;
}

extern "C" int statx(int directory, const char* path, int flags, unsigned int mask,
                     struct statx* status) {
  static auto call = real<int (*)(int, const char*, int, unsigned int, struct statx*)>("statx");
  int result = call(directory, path, flags, mask, status);
  // Looked at as fstatat looks: the other user may act right after.
  if (result == 0 && *path != '\0') plant("fstatat", directory, path);
  if (result == 0 && *setting("LANGEXT_NO_MOUNT_ROOT") != '\0') {
    status->stx_attributes_mask &= ~static_cast<std::uint64_t>(STATX_ATTR_MOUNT_ROOT);
    status->stx_attributes &= ~static_cast<std::uint64_t>(STATX_ATTR_MOUNT_ROOT);
  }
  return result;
}

extern "C" int symlinkat(const char* target, int directory, const char* path) {
  static auto call = real<int (*)(const char*, int, const char*)>("symlinkat");
  int result = call(target, directory, path);
  if (result == 0) plant("symlinkat", directory, path);
  count_call("symlinkat");
  return result;
}
