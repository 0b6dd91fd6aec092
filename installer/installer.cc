#include "installer/installer.h"

#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "fs/copy.h"
#include "fs/fd.h"
#include "installer/progress.h"
#include "steps/run.h"
#include "text/text.h"

namespace {

constexpr const char* PRODUCT_CONFIGURATION = "/etc/tarnwick.conf";
constexpr const char* DEFAULT_DOCUMENT_ROOT = "/var/lib/httpd/htdocs";
constexpr const char* PROGRAM_VERSION = "1.1.0";
constexpr int EXIT_COMPLETED = 1;
constexpr std::size_t TARGET_COUNT = 3;

// The package's part for each target, in the targets' order.
constexpr std::array<const char*, TARGET_COUNT> PACKAGE_PARTS{"packages/conf/language.cfg",
                                                              "packages/htx", "packages/images"};

// Each target's path, in the targets' order.
std::array<std::array<char, PATH_BUFFER_SIZE>, TARGET_COUNT> destinations;

// At namespace scope, so that no guard (and with it no C++ runtime library)
// is needed to make it.
std::array<Target, TARGET_COUNT> targets;

bool same_entry(const struct stat& first, const struct stat& second) {
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// Whether any entry stands at path, never through a link: a link to nowhere
// takes a name as any entry does.
bool taken(const char* path) {
  struct stat status {};
  return lstat(path, &status) == 0;
}

// Whether path is, itself or through a link, a directory or a regular file.
bool of_kind(const char* path, bool directory) {
  struct stat status {};
  return stat(path, &status) == 0 &&
         (directory ? S_ISDIR(status.st_mode) : S_ISREG(status.st_mode));
}

// Each target there is of its kind, itself or through a link: a directory
// at the language file's name (one that holds the other targets, say), a
// device, a FIFO or a socket is no file, and would be set aside and
// replaced by one; a file is no directory; a link to nowhere is neither.
bool of_its_kind(const Target& target) {
  if (!taken(target.path) || of_kind(target.path, target.is_directory)) return true;
  std::printf("Unable to install: %s is not a %s.\n\n", target.path,
              target.is_directory ? "directory" : "regular file");
  return false;
}

// A file system another user mounted (FUSE) shows whatever its daemon
// says: files of root's, set-user-ID, that the copy of the old contents
// would make so on this host's own disk. Its promises are no one's to keep.
bool on_hosts_file_system(const Target& target) {
  MountLine mount{};
  if (!find_mount(AT_FDCWD, target.path, &mount) || std::strncmp(mount.type, "fuse", 4) != 0) {
    return true;
  }
  const char* user = std::strstr(mount.options, ",user_id=");
  if (user == nullptr || (user[9] == '0' && (user[10] == ',' || user[10] == '\0'))) return true;
  std::printf("Unable to install: %s is on a file system that another user mounted.\n\n",
              target.path);
  return false;
}

// A target inside another, or the other itself, would be carried off by
// the other's swap: the target and each directory above it, up to the root,
// are compared with the others.
bool apart(const Target& target) {
  std::array<struct stat, TARGET_COUNT> others{};
  std::array<bool, TARGET_COUNT> there{};
  for (std::size_t outer = 1; outer < TARGET_COUNT; ++outer) {
    there[outer] = &targets[outer] != &target && lstat(targets[outer].path, &others[outer]) == 0;
  }
  const auto around = [&](const struct stat& status) -> const Target* {
    for (std::size_t outer = 1; outer < TARGET_COUNT; ++outer) {
      if (there[outer] && same_entry(status, others[outer])) return &targets[outer];
    }
    return nullptr;
  };
  struct stat status {};
  const Target* outer = lstat(target.path, &status) == 0 ? around(status) : nullptr;
  Path buffer;
  const char* name = nullptr;
  Descriptor current(open_parent_directory(target.path, &buffer, &name));
  bool up = current.is_open() && fstat(current.get(), &status) == 0;
  // Every level of a path takes at least two bytes.
  for (std::size_t level = 0; outer == nullptr && up && level < TREE_PATH_LIMIT; ++level) {
    outer = around(status);
    Descriptor above(openat(current.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat above_status {};
    up = above.is_open() && fstat(above.get(), &above_status) == 0 &&
         !same_entry(above_status, status);
    current.reset(above.release());
    status = above_status;
  }
  if (outer == nullptr) return true;
  std::printf("Unable to install: %s lies inside %s.\n\n", target.path, outer->path);
  return false;
}

// Every decision comes before anything is staged, so that a refusal
// changes nothing. Any entry at the ".old" name takes it: the set-aside
// could not rename over it.
bool decide_set_aside(Target& target) {
  static std::array<char, PATH_BUFFER_SIZE + 4> backup;  // a target's path and ".old"
  target.replaces =
      target.is_directory
          ? Descriptor(open(target.path, O_RDONLY | O_DIRECTORY | O_CLOEXEC)).is_open()
          : access(target.path, F_OK) == 0;
  std::snprintf(backup.data(), backup.size(), "%s.old", target.path);
  if (!target.replaces || !taken(backup.data())) return true;
  std::printf("Unable to rename %s to %s. %s already exists.\n\n", target.path, backup.data(),
              target.is_directory ? "Directory" : "File");
  return false;
}

// Runs check over each target in turn, up to the first that fails it.
template <typename Check>
bool each_target(Check check) {
  return std::all_of(targets.begin(), targets.end(), check);
}

// Reads the two destinations from the product's configuration; false, with
// the first thing wrong with them printed, where a run cannot use them.
bool read_configuration() {
  char* language = destinations[0].data();
  char* templates = destinations[1].data();
  const int scan = scan_product_configuration(PRODUCT_CONFIGURATION, templates, language);
  if ((scan & CONFIGURATION_UNREADABLE) != 0) {
    std::printf("Unable to read %s. %s.\n\n", PRODUCT_CONFIGURATION, failure_reason(errno));
    return false;
  }
  std::size_t length = std::strlen(templates);
  while (length > 0 && templates[length - 1] == '/') templates[--length] = '\0';
  const char* problem =
      (scan & LANGUAGE_FILE_TOO_LONG) != 0
          ? "The language file name in /etc/tarnwick.conf is too long.\n\n"
      : language[0] == '\0' ? "The language file is not set in /etc/tarnwick.conf.\n\n"
      : (scan & TEMPLATE_DIRECTORY_TOO_LONG) != 0
          ? "The template directory name in /etc/tarnwick.conf is too long.\n\n"
      : templates[0] == '\0' ? "The template directory is not set in /etc/tarnwick.conf.\n\n"
                             : nullptr;
  if (problem != nullptr) std::printf("%s", problem);
  return problem == nullptr;
}

// From the first staging entry to the exit these wait, blocked, until the
// run looks for them between files; a run is never split by them. A write
// to a closed pipe or past the file size limit then fails like any other
// write instead of ending the process.
constexpr std::array<int, 4> INTERRUPTIONS{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

bool interrupted() {
  sigset_t pending;
  if (sigpending(&pending) != 0) return false;
  return std::any_of(INTERRUPTIONS.begin(), INTERRUPTIONS.end(),
                     [&pending](int signal) { return sigismember(&pending, signal) == 1; });
}

// Looking for pending signals costs a system call, the clock none: they are
// looked for after a directory that could not be made, and otherwise at
// most every 100 ms, as files are copied.
constexpr long long SIGNAL_CHECK_NANOSECONDS = 100'000'000;

bool entry_done(int files, long long bytes) {
  static long long last_check = 0;
  progress_step(files, bytes);
  const long long now = monotonic_nanoseconds();
  if (files != 0 && now - last_check < SIGNAL_CHECK_NANOSECONDS) return true;
  last_check = now;
  return !interrupted();
}

void report_failure(const char* source, const char* destination) {
  const int error = errno;
  progress_clear();
  errno = error;
  report_copy_failure(source, destination);
}

// Fills what stage_begin made for every target with the package; returns
// how many copies failed. Stops at an interruption.
int fill_staged() {
  int failures = 0;
  long long bytes = 0;
  Target& language = targets[0];
  progress_part(language.source);
  if (language.staged.is_open() &&
      !copy_file_to(language.source, language.staged.release(), &bytes)) {
    report_failure(language.source, language.path);
    ++failures;
  }
  progress_step(1, bytes);
  for (std::size_t i = 1; i < TARGET_COUNT && !interrupted(); ++i) {
    Target& tree = targets[i];
    if (!tree.staged.is_open()) continue;
    progress_part(tree.source);
    if (copy_tree_into(tree.source, tree.staged.get(), tree.path, &failures,
                       CopyHooks{entry_done, progress_clear}) != 0) {
      ++failures;
    }
    // Owner-only while it was filled; the mode of a made directory now.
    if (fchmod(tree.staged.get(), CREATED_DIRECTORY_MODE) != 0) {
      report_failure(tree.source, tree.path);
      ++failures;
    }
  }
  progress_clear();
  return failures;
}

// Stages the package, makes it durable and puts it in place; returns the
// exit status.
int install_package() {
  sigset_t blocked;
  sigemptyset(&blocked);
  for (int signal : INTERRUPTIONS) sigaddset(&blocked, signal);
  sigaddset(&blocked, SIGPIPE);
  sigaddset(&blocked, SIGXFSZ);
  if (sigprocmask(SIG_BLOCK, &blocked, nullptr) != 0) {
    std::printf("\nInstallation failed.\n\n");
    return EXIT_REFUSED;
  }
  umask(0);  // the copies take the package's modes as they are
  int failures = stage_begin(targets.data(), TARGET_COUNT);
  if (failures != STAGE_RECORD_FAILED) {
    progress_start(PACKAGE_PARTS.data(), PACKAGE_PARTS.size());
    failures += fill_staged();
  }
  umask(022);
  const bool stopped = interrupted();
  if (stopped || failures != 0) {
    stage_abandon(targets.data(), TARGET_COUNT);
    std::printf(stopped ? "\nInstallation interrupted.\n\n" : "\nInstallation failed.\n\n");
    history(stopped ? "installation interrupted before the swap; the product is as it was"
                    : "installation failed before the swap; the product is as it was");
    return EXIT_REFUSED;
  }
  const int commit = stage_commit(targets.data(), TARGET_COUNT);
  // Unless the product is as it was, what the commit said is all there is
  // to say.
  if (commit == COMMIT_FAILED) std::printf("\nInstallation failed.\n\n");
  if (commit != COMMITTED) {
    history(commit == COMMIT_FAILED
                ? "installation failed; everything was put back"
                : "installation failed; the next run of either program puts back the rest");
    return EXIT_REFUSED;
  }
  for (const Target& target : targets) {
    history(!target.replaces  ? "installed, where nothing stood before:"
            : target.in_place ? "installed in place, the old kept as its .old:"
                              : "installed whole, the old renamed to its .old:",
            target.path);
  }
  history("installation completed");
  std::printf("\nInstallation completed!\n\n");
  return EXIT_COMPLETED;
}

// Ended at the prompt by a signal, the run leaves nothing behind: the
// record's directory it made to hold its lock goes (when empty: a record or
// a receipt keeps it; a dry run's is another run's, or none), and the
// signal then ends the process as it would have. A signal ignored from
// the start stays ignored.
void end_at_prompt(int signal) {
  drop_record_directory();
  raise(signal);  // the handler was reset as it was called
}

void answer_prompt_signals(bool waiting) {
  for (int signal : INTERRUPTIONS) {
    struct sigaction action {};
    if (sigaction(signal, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) continue;
    action.sa_handler = waiting ? end_at_prompt : SIG_DFL;
    action.sa_flags = SA_RESETHAND | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    // Where it cannot be set, a signal at the prompt leaves the empty
    // directory behind, as it always did; nothing else.
    static_cast<void>(sigaction(signal, &action, nullptr));
  }
}

// The prompt, the configuration and every check a run makes before it
// stages anything; false, reported, where a run refuses.
bool take_input() {
  for (const char* part : PACKAGE_PARTS) {
    if (of_kind(part, part != PACKAGE_PARTS[0])) continue;
    std::printf("Unable to find %s in the current directory.\n\n", part);
    return false;
  }
  std::printf("Web server document root directory [%s]: ", DEFAULT_DOCUMENT_ROOT);
  std::fflush(stdout);
  char* root = destinations[2].data();
  answer_prompt_signals(true);
  const ssize_t received = read(STDIN_FILENO, root, PATH_BUFFER_SIZE);
  answer_prompt_signals(false);
  if (take_document_root(root, received) == 0) {
    std::printf("The document root directory name is too long.\n\n");
    return false;
  }
  if (!read_configuration()) return false;
  const std::size_t length = std::strlen(root);
  std::snprintf(root + length, PATH_BUFFER_SIZE - length, "%s",
                IMAGES_SUFFIX);  // take_document_root left room for it
  for (std::size_t i = 0; i < TARGET_COUNT; ++i) {
    targets[i].path = destinations[i].data();
    targets[i].source = PACKAGE_PARTS[i];
    targets[i].is_directory = i != 0;
  }
  return each_target(of_its_kind) && each_target(on_hosts_file_system) && each_target(apart) &&
         each_target(decide_set_aside);
}

int run_locked() {
  const int repair = repair_interrupted_run();
  if (repair == REPAIR_COMPLETED) {
    std::printf("\nInstallation completed!\n\n");
    return EXIT_COMPLETED;
  }
  return repair != REPAIR_REFUSED && take_input() ? install_package() : EXIT_REFUSED;
}

int run_dry_locked() {
  if (record_exists()) {
    std::printf(
        "An interrupted run left %s: a run would first finish it, or put back what it changed. Run "
        "the installer to do that, then the dry run again.\n\n",
        RECORD_PATH);
    return EXIT_REFUSED;
  }
  if (take_input()) return describe_run(targets.data(), TARGET_COUNT) ? 0 : EXIT_REFUSED;
  std::printf("A run would not proceed.\n\n");
  return EXIT_REFUSED;
}

int run_where_installed(int (*run)(), bool make) {
  if (access(PRODUCT_CONFIGURATION, F_OK) == 0) return run_locked_by(run, make);
  std::printf("Tarnwick 3.0 is not installed on this system.\n\n");
  return EXIT_REFUSED;
}

}  // namespace

int run_program(int argc, char** argv, const ProgramText& text, const char* banner, int (*run)()) {
  const std::string_view given = argc == 2 ? argv[1] : "";
  if (given == "--help" || given == "--version") {
    if (given == "--help") std::fputs(text.help, stdout);
    std::printf("%s %s, for Tarnwick 3.0\n", text.name, PROGRAM_VERSION);
    // An answer that could not be written is no answer.
    return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? 0 : EXIT_REFUSED;
  }
  if (argc > 1 && given != text.option) {
    std::fprintf(stderr, "Usage: %s [--help | --version | %s]\n", text.name, text.option);
    return EXIT_REFUSED;
  }
  if (argc <= 1) history_start(text.name);
  // The copy of an old tree holds a descriptor for each level it goes down,
  // and a tree in a volume that others may write in can be as deep as they
  // make it: it may use every descriptor the system lets it have, not the
  // 1024 a shell gives by default. Where the limit cannot be raised, a
  // deeper tree fails its copy, reported, before anything has changed.
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    static_cast<void>(setrlimit(RLIMIT_NOFILE, &limit));
  }
  // A descriptor among 0, 1 and 2 that the caller left closed would be
  // handed to the next file the run opens, and a message printed on
  // standard output would then land inside an installed file.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && (errno != EBADF || open("/dev/null", O_RDWR) != fd)) {
      return EXIT_REFUSED;
    }
  }
  std::printf("%s", banner);
  if (getuid() == 0) return argc > 1 ? text.look() : run();
  std::printf("This program must be run as root.\n\n");
  return EXIT_REFUSED;
}

int scan_product_configuration(const char* file_name, char* template_directory,
                               char* language_file) {
  Stream file(std::fopen(file_name, "re"));
  if (!file) return CONFIGURATION_UNREADABLE;
  std::array<char, LINE_BUFFER_SIZE> line;
  int found = 0;
  while (std::fgets(line.data(), static_cast<int>(line.size()), file.get()) != nullptr) {
    const bool templates = strncasecmp(line.data(), "templatedir", 11) == 0;
    if (!templates && strncasecmp(line.data(), "langfile", 8) != 0) continue;
    const char* equals = std::strchr(line.data(), '=');
    if (equals == nullptr) continue;
    const char* value = equals + 1 + std::strspn(equals + 1, " \t");
    const std::size_t length = std::strcspn(value, "\n");
    char* destination = templates ? template_directory : language_file;
    const int too_long = templates ? TEMPLATE_DIRECTORY_TOO_LONG : LANGUAGE_FILE_TOO_LONG;
    // A value that does not fit is left empty, not cut.
    const std::size_t kept = length < PATH_BUFFER_SIZE ? length : 0;
    std::memcpy(destination, value, kept);
    destination[kept] = '\0';
    found = kept == length ? found & ~too_long : found | too_long;
  }
  if (std::ferror(file.get()) != 0) found |= CONFIGURATION_UNREADABLE;
  return found;
}

int take_document_root(char* entry, long received) {
  // End of input or an error reads as an empty line.
  const long end = std::clamp(received, 1L, static_cast<long>(PATH_BUFFER_SIZE));
  entry[end - 1] = '\0';
  if (end >= 2 && entry[end - 2] == '/') entry[end - 2] = '\0';
  if (std::strlen(entry) > DOCUMENT_ROOT_LIMIT) return 0;
  if (has_text(entry) == 0) std::snprintf(entry, PATH_BUFFER_SIZE, "%s", DEFAULT_DOCUMENT_ROOT);
  return 1;
}

int run_installation() { return run_where_installed(run_locked, true); }

int run_dry() { return run_where_installed(run_dry_locked, false); }

int run_undo() {
  const int repair = repair_interrupted_run();
  // An installation the repair completed is the last one now.
  if (repair == REPAIR_REFUSED || (repair != REPAIR_REVERTED && undo_installation() != UNDONE)) {
    return EXIT_REFUSED;
  }
  history("undo completed");
  std::printf("Undo completed!\n\n");
  return EXIT_UNDONE;
}

int run_locked_by(int (*run)(), bool make) {
  const int lock = lock_record_directory(make);
  if (lock == LOCK_TAKEN || lock == LOCK_ABSENT) {
    const int status = run();
    unlock_record_directory();
    return status;
  }
  if (lock == LOCK_BUSY) {
    std::printf("Another installation is in progress.\n\n");
  } else {
    report_unusable(RECORD_PATH, "record");
  }
  return EXIT_REFUSED;
}
