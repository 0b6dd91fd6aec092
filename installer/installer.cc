#include "installer/installer.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "copy/copy.h"
#include "copy/descriptor.h"
#include "text/text.h"

namespace {

constexpr mode_t COPY_UMASK = 0;
constexpr mode_t FINAL_UMASK = 022;

struct StreamCloser {
  void operator()(FILE* stream) const { std::fclose(stream); }
};
using Stream = std::unique_ptr<FILE, StreamCloser>;

struct ConfigurationKey {
  const char* name;
  std::size_t compared;
};
constexpr ConfigurationKey TEMPLATE_DIRECTORY_KEY{"templatedir", 11};
constexpr ConfigurationKey LANGUAGE_FILE_KEY{"langfile", 8};

bool directory_exists(const char* path) {
  Descriptor directory(open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return directory.is_open();
}

bool file_exists(const char* path) { return access(path, F_OK) == 0; }

// Never replaces whatever may have appeared at the new name since it was
// tested; file systems without that guarantee get a plain rename.
bool rename_without_replacing(const char* from, const char* to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL) return false;
  return std::rename(from, to) == 0;
}

// A target holds at most PATH_BUFFER_SIZE - 1 bytes, so its ".old" name
// always fits the backup buffer.
static_assert(LINE_BUFFER_SIZE >= PATH_BUFFER_SIZE + 4);

int decide_set_aside(const char* target, char* backup, bool (*exists)(const char*),
                     const char* kind) {
  if (!exists(target)) return SET_ASIDE_NOTHING;
  std::snprintf(backup, LINE_BUFFER_SIZE, "%s.old", target);
  if (exists(backup)) {
    std::printf("Unable to rename %s to %s. %s already exists.\n\n", target, backup, kind);
    return SET_ASIDE_REFUSED;
  }
  return SET_ASIDE_RENAME;
}

// All three decisions come before the first rename, and a rename that fails
// undoes the ones before it, so a refusal leaves the host as it was.
bool set_aside_targets(const InstallTargets& targets) {
  static std::array<std::array<char, LINE_BUFFER_SIZE>, 3> backups;
  const std::array<const char*, 3> names{targets.language_file, targets.template_directory,
                                         targets.images_directory};
  std::array<int, 3> decisions{};
  decisions[0] = set_aside_file(names[0], backups[0].data());
  if (decisions[0] == SET_ASIDE_REFUSED) return false;
  for (std::size_t i = 1; i < names.size(); ++i) {
    decisions[i] = set_aside_directory(names[i], backups[i].data());
    if (decisions[i] == SET_ASIDE_REFUSED) return false;
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (decisions[i] != SET_ASIDE_RENAME) continue;
    if (rename_without_replacing(names[i], backups[i].data())) continue;
    std::printf("Unable to rename %s to %s.\n\n", names[i], backups[i].data());
    while (i-- > 0) {
      if (decisions[i] == SET_ASIDE_RENAME &&
          !rename_without_replacing(backups[i].data(), names[i])) {
        std::printf("Unable to rename %s to %s.\n\n", backups[i].data(), names[i]);
      }
    }
    return false;
  }
  return true;
}

const char* find_missing_package_part() {
  struct stat status {};
  if (stat(PACKAGE_LANGUAGE_FILE, &status) != 0 || !S_ISREG(status.st_mode)) {
    return PACKAGE_LANGUAGE_FILE;
  }
  for (const char* tree : {PACKAGE_TEMPLATE_TREE, PACKAGE_IMAGE_TREE}) {
    if (stat(tree, &status) != 0 || !S_ISDIR(status.st_mode)) return tree;
  }
  return nullptr;
}

// The first thing wrong with the two configuration values, or null.
const char* check_configuration_values(int scan, const InstallTargets& targets) {
  if ((scan & CONFIGURATION_UNREADABLE) != 0) {
    return "Unable to read /etc/tarnwick.conf.\n\n";
  }
  if ((scan & LANGUAGE_FILE_TOO_LONG) != 0) {
    return "The language file name in /etc/tarnwick.conf is too long.\n\n";
  }
  if (targets.language_file[0] == '\0') {
    return "The language file is not set in /etc/tarnwick.conf.\n\n";
  }
  if ((scan & TEMPLATE_DIRECTORY_TOO_LONG) != 0) {
    return "The template directory name in /etc/tarnwick.conf is too long.\n\n";
  }
  if (targets.template_directory[0] == '\0') {
    return "The template directory is not set in /etc/tarnwick.conf.\n\n";
  }
  return nullptr;
}

void remove_trailing_slash(char* path) {
  std::size_t length = std::strlen(path);
  if (length > 0 && path[length - 1] == '/') path[length - 1] = '\0';
}

// Copies the package into place and returns how many copies failed.
int install_package(const InstallTargets& targets) {
  int failures = 0;
  umask(COPY_UMASK);
  if (copy_file(PACKAGE_LANGUAGE_FILE, targets.language_file) == 0) {
    report_copy_failure(PACKAGE_LANGUAGE_FILE, targets.language_file);
    ++failures;
  }
  if (copy_tree(PACKAGE_TEMPLATE_TREE, targets.template_directory, &failures) != 0) {
    ++failures;
  }
  if (copy_tree(PACKAGE_IMAGE_TREE, targets.images_directory, &failures) != 0) {
    ++failures;
  }
  umask(FINAL_UMASK);
  return failures;
}

}  // namespace

int trim_leading_blanks(char* destination, const char* source) {
  while (*source == ' ' || *source == '\t') ++source;
  std::size_t length = std::strlen(source);
  std::memmove(destination, source, length + 1);
  return 1;
}

int scan_product_configuration(const char* file_name, char* template_directory,
                               char* language_file) {
  Stream file(std::fopen(file_name, "re"));
  if (!file) return CONFIGURATION_UNREADABLE;
  std::array<char, LINE_BUFFER_SIZE> line;
  std::array<char, LINE_BUFFER_SIZE> value;
  int found = 0;
  while (std::fgets(line.data(), static_cast<int>(line.size()), file.get()) != nullptr) {
    const ConfigurationKey* key = nullptr;
    char* destination = nullptr;
    int too_long = 0;
    switch (line[0]) {
      case 'T':
      case 't':
        key = &TEMPLATE_DIRECTORY_KEY;
        destination = template_directory;
        too_long = TEMPLATE_DIRECTORY_TOO_LONG;
        break;
      case 'L':
      case 'l':
        key = &LANGUAGE_FILE_KEY;
        destination = language_file;
        too_long = LANGUAGE_FILE_TOO_LONG;
        break;
      default:
        continue;
    }
    if (strncasecmp(line.data(), key->name, key->compared) != 0) continue;
    const char* equals = std::strchr(line.data(), '=');
    if (equals == nullptr) continue;
    const char* start = equals + 1;
    const char* end = std::strchr(start, '\n');
    std::size_t length =
        end != nullptr ? static_cast<std::size_t>(end - start) : std::strlen(start);
    std::memcpy(value.data(), start, length);
    value[length] = '\0';
    trim_leading_blanks(line.data(), value.data());
    length = std::strlen(line.data());
    if (length >= PATH_BUFFER_SIZE) {
      destination[0] = '\0';
      found |= too_long;
    } else {
      std::memcpy(destination, line.data(), length + 1);
      found &= ~too_long;
    }
  }
  if (std::ferror(file.get()) != 0) found |= CONFIGURATION_UNREADABLE;
  return found;
}

int take_document_root(char* entry, long received) {
  if (received > static_cast<long>(PATH_BUFFER_SIZE)) received = PATH_BUFFER_SIZE;
  if (received < 1) {
    entry[0] = '\0';
  } else {
    entry[received - 1] = '\0';
    if (received >= 2 && entry[received - 2] == '/') entry[received - 2] = '\0';
  }
  if (std::strlen(entry) > DOCUMENT_ROOT_LIMIT) return 0;
  if (has_text(entry) == 0) {
    std::snprintf(entry, PATH_BUFFER_SIZE, "%s", DEFAULT_DOCUMENT_ROOT);
  }
  return 1;
}

int set_aside_file(const char* target, char* backup) {
  return decide_set_aside(target, backup, file_exists, "File");
}

int set_aside_directory(const char* target, char* backup) {
  return decide_set_aside(target, backup, directory_exists, "Directory");
}

int run_installation() {
  static InstallTargets targets;
  std::printf("Tarnwick 3.0 Language Extensions - Installation program\n\n");
  if (getuid() != 0) {
    std::printf("This program must be run as root.\n\n");
    return EXIT_REFUSED;
  }
  if (access(PRODUCT_CONFIGURATION, F_OK) != 0) {
    std::printf("Tarnwick 3.0 is not installed on this system.\n\n");
    return EXIT_REFUSED;
  }
  if (const char* missing = find_missing_package_part()) {
    std::printf("Unable to find %s in the current directory.\n\n", missing);
    return EXIT_REFUSED;
  }
  std::printf("Web server document root directory [%s]: ", DEFAULT_DOCUMENT_ROOT);
  std::fflush(stdout);
  long received = read(STDIN_FILENO, targets.images_directory, PATH_BUFFER_SIZE);
  if (take_document_root(targets.images_directory, received) == 0) {
    std::printf("The document root directory name is too long.\n\n");
    return EXIT_REFUSED;
  }
  targets.template_directory[0] = '\0';
  targets.language_file[0] = '\0';
  int scan = scan_product_configuration(PRODUCT_CONFIGURATION, targets.template_directory,
                                        targets.language_file);
  remove_trailing_slash(targets.template_directory);
  if (const char* problem = check_configuration_values(scan, targets)) {
    std::printf("%s", problem);
    return EXIT_REFUSED;
  }
  const std::size_t root_length = std::strlen(targets.images_directory);
  std::snprintf(targets.images_directory + root_length, PATH_BUFFER_SIZE - root_length, "%s",
                IMAGES_SUFFIX);  // take_document_root left room for it
  if (!set_aside_targets(targets)) return EXIT_REFUSED;
  if (install_package(targets) != 0) {
    std::printf("\nInstallation failed.\n\n");
    return EXIT_REFUSED;
  }
  std::printf("\nInstallation completed!\n\n");
  return EXIT_COMPLETED;
}
