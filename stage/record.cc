#include "stage/record.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

// Version 2 adds each entry's birth time; a record of version 1, which a
// killed run of an earlier release left, names entries by device and inode.
constexpr std::string_view RECORD_HEADER = "langext-install record 2\n";
constexpr std::string_view RECORD_HEADER_1 = "langext-install record 1\n";
constexpr std::string_view CHECK_FIELD = "check ";
constexpr std::array<const char*, 6> PHASE_NAMES{"",        "staging",   "swapping",
                                                 "undoing", "reverting", "installed"};
constexpr const char* RECORD_NAME = "record";
constexpr const char* RECORD_TEMPORARY = "record.new";
constexpr const char* RECEIPT_NAME = "receipt";
constexpr const char* RECEIPT_TEMPORARY = "receipt.new";
constexpr const char* RECORD_DIRECTORY_NAME = "langext-install";
constexpr mode_t RECORD_DIRECTORY_MODE = 0700;
constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// A path byte by byte at worst takes four ("\xHH"); every field fits.
static_assert(RECORD_SIZE >=
              64 + RECORD_TARGETS * (4 * (PATH_BUFFER_SIZE + NAME_BUFFER_SIZE) + 256));

// Appends to a bounded buffer; once something did not fit, every later
// append fails too.
struct Writer {
  char* text;
  std::size_t size;
  std::size_t length = 0;
  bool fits = true;

  void add(const char* format, auto... values) {
    if (!fits) return;
    const int written = std::snprintf(text + length, size - length, format, values...);
    if (written < 0 || static_cast<std::size_t>(written) >= size - length) {
      fits = false;
      return;
    }
    length += static_cast<std::size_t>(written);
  }

  // A string as one field: "=" and its bytes, every byte that is not a
  // printable ASCII letter other than the backslash as \xHH.
  void add_string(const char* value) {
    add(" =");
    for (const char* byte = value; *byte != '\0'; ++byte) {
      const auto code = static_cast<unsigned char>(*byte);
      if (code > ' ' && code < 0x7f && code != '\\') {
        add("%c", *byte);
      } else {
        add("\\x%02x", code);
      }
    }
  }

  void add_identity(EntryIdentity identity) {
    add(" %" PRIuMAX ":%" PRIuMAX, static_cast<std::uintmax_t>(identity.device),
        static_cast<std::uintmax_t>(identity.inode));
    if (identity.born) {
      add(":%" PRIdMAX ".%09" PRIu32, static_cast<std::intmax_t>(identity.birth_seconds),
          identity.birth_nanoseconds);
    } else {
      add(":-");
    }
  }
};

// Takes the fields of a record one by one; a field that is missing or does
// not read makes every later take fail too.
struct Reader {
  const char* next;
  const char* end;
  bool good = true;

  // The next field up to a blank or the line end, which it consumes.
  std::string_view field() {
    const char* start = next;
    while (next < end && *next != ' ' && *next != '\n') ++next;
    std::string_view taken(start, static_cast<std::size_t>(next - start));
    if (next < end) ++next;
    if (taken.empty()) good = false;
    return taken;
  }

  bool line_ended() const { return next[-1] == '\n'; }

  static int hex_digit(char digit) {
    if (digit >= '0' && digit <= '9') return digit - '0';
    if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
    return -1;
  }

  void word(std::string_view expected) {
    if (field() != expected) good = false;
  }

  std::uintmax_t number(std::string_view text) {
    std::uintmax_t value = 0;
    if (text.empty()) good = false;
    for (char digit : text) {
      const auto added = static_cast<std::uintmax_t>(digit - '0');
      if (digit < '0' || digit > '9' || value > (UINTMAX_MAX - added) / 10) {
        good = false;
        return 0;
      }
      value = value * 10 + added;
    }
    return value;
  }

  bool flag() {
    const std::string_view text = field();
    if (text != "0" && text != "1") good = false;
    return text == "1";
  }

  // Views are made by hand here: substr could throw, and the program has
  // no exception runtime.
  static std::string_view after(std::string_view text, std::size_t at) {
    return at == std::string_view::npos
               ? std::string_view()
               : std::string_view(text.data() + at + 1, text.size() - at - 1);
  }
  static std::string_view before(std::string_view text, std::size_t at) {
    return std::string_view(text.data(), at == std::string_view::npos ? text.size() : at);
  }

  // "device:inode", then ":seconds.nanoseconds" or ":-" from version 2 on.
  EntryIdentity identity(bool with_birth) {
    const std::string_view text = field();
    const std::size_t colon = text.find(':');
    const std::string_view rest = after(text, colon);
    const std::size_t second_colon = rest.find(':');
    if (colon == std::string_view::npos || (second_colon != std::string_view::npos) != with_birth) {
      good = false;
      return {};
    }
    EntryIdentity identity;
    identity.device = static_cast<dev_t>(number(before(text, colon)));
    identity.inode = static_cast<ino_t>(number(before(rest, second_colon)));
    const std::string_view birth = after(rest, second_colon);
    if (!with_birth || birth == "-") return identity;
    const std::size_t point = birth.find('.');
    std::string_view seconds = before(birth, point);
    const bool negative = seconds.starts_with('-');
    if (negative) seconds.remove_prefix(1);
    const std::uintmax_t whole = number(seconds);
    const std::uintmax_t nanoseconds = number(after(birth, point));
    if (point == std::string_view::npos || whole > INT64_MAX || nanoseconds > 999'999'999) {
      good = false;
      return {};
    }
    identity.born = true;
    identity.birth_seconds =
        negative ? -static_cast<std::int64_t>(whole) : static_cast<std::int64_t>(whole);
    identity.birth_nanoseconds = static_cast<std::uint32_t>(nanoseconds);
    return identity;
  }

  void string(char* destination, std::size_t size) {
    const std::string_view text = field();
    std::size_t length = 0;
    if (text.empty() || text[0] != '=') good = false;
    for (std::size_t i = 1; good && i < text.size(); ++i) {
      char byte = text[i];
      if (byte == '\\') {
        const int high = i + 3 < text.size() && text[i + 1] == 'x' ? hex_digit(text[i + 2]) : -1;
        const int low = high >= 0 ? hex_digit(text[i + 3]) : -1;
        if (low < 0) {
          good = false;
          break;
        }
        byte = static_cast<char>(high * 16 + low);
        i += 3;
      }
      if (byte == '\0' || length + 1 >= size) {
        good = false;
        break;
      }
      destination[length++] = byte;
    }
    destination[good ? length : 0] = '\0';
  }
};

// Empty, or one name within a directory.
bool plain_name(const char* name) {
  return std::strchr(name, '/') == nullptr && std::strcmp(name, ".") != 0 &&
         std::strcmp(name, "..") != 0;
}

bool write_all(int fd, const char* text, std::size_t length) {
  while (length > 0) {
    const ssize_t written = write(fd, text, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    text += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

// The record's directory: made when asked for, and only used when it is
// root's own and closed to everyone else, so that no one else can forge a
// record that the next run would act on.
int open_record_directory(bool create) {
  Descriptor parent(open(RECORD_PARENT, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!parent.is_open()) return -1;
  bool made = false;
  if (create) {
    made = mkdirat(parent.get(), RECORD_DIRECTORY_NAME, RECORD_DIRECTORY_MODE) == 0;
    if (!made && errno != EEXIST) return -1;
  }
  Descriptor directory(openat(parent.get(), RECORD_DIRECTORY_NAME, DIRECTORY_FLAGS));
  struct stat status {};
  if (!directory.is_open() || fstat(directory.get(), &status) != 0) return -1;
  if (status.st_uid != geteuid() || (status.st_mode & 077) != 0) {
    errno = EBADMSG;
    return -1;
  }
  // A new directory survives a power cut only once its parent is synced.
  if (made && fsync(parent.get()) != 0) return -1;
  return directory.release();
}

}  // namespace

std::uint64_t checksum(const char* text, std::size_t length) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (std::size_t i = 0; i < length; ++i) {
    hash = (hash ^ static_cast<unsigned char>(text[i])) * 1099511628211ULL;
  }
  return hash;
}

std::size_t format_record(char* text, std::size_t size, int phase, const StagedTarget* targets,
                          std::size_t count) {
  Writer writer{text, size};
  writer.add("%.*s", static_cast<int>(RECORD_HEADER.size()), RECORD_HEADER.data());
  writer.add("phase %s\n", PHASE_NAMES[phase]);
  for (std::size_t i = 0; i < count; ++i) {
    const StagedTarget& target = targets[i];
    writer.add("target %s %d %d %d %d", target.is_directory ? "directory" : "file",
               target.replaces ? 1 : 0, target.in_place ? 1 : 0, target.staged_inside ? 1 : 0,
               target.in_place_step);
    writer.add_identity(target.parent_identity);
    writer.add_identity(target.old_identity);
    writer.add_identity(target.staged_identity);
    writer.add_identity(target.copy_identity);
    writer.add_string(target.path);
    writer.add_string(target.staging);
    writer.add_string(target.copy);
    if (phase == PHASE_INSTALLED) {
      writer.add(" %" PRIu64 " %" PRIu64, target.installed_digest, target.kept_digest);
    }
    writer.add("\n");
  }
  const std::uint64_t sum = checksum(text, writer.length);
  writer.add("%.*s%016" PRIx64 "\n", static_cast<int>(CHECK_FIELD.size()), CHECK_FIELD.data(), sum);
  return writer.fits ? writer.length : 0;
}

int parse_record(const char* text, std::size_t length, int* phase, StagedTarget* targets,
                 char (*paths)[PATH_BUFFER_SIZE]) {
  const std::string_view whole(text, length);
  const std::size_t check = whole.rfind(CHECK_FIELD);
  const bool with_birth = whole.starts_with(RECORD_HEADER);
  if (!(with_birth || whole.starts_with(RECORD_HEADER_1)) || check == std::string_view::npos ||
      (check > 0 && whole[check - 1] != '\n') || !whole.ends_with('\n')) {
    return -1;
  }
  std::array<char, 18> expected{};
  std::snprintf(expected.data(), expected.size(), "%016" PRIx64 "\n", checksum(text, check));
  const std::size_t sum_at = check + CHECK_FIELD.size();
  if (std::string_view(text + sum_at, length - sum_at) != std::string_view(expected.data())) {
    return -1;
  }
  Reader reader{text + RECORD_HEADER.size(), text + check};
  static_assert(RECORD_HEADER.size() == RECORD_HEADER_1.size());
  reader.word("phase");
  const std::string_view phase_name = reader.field();
  *phase = 0;
  for (int known = PHASE_STAGING; known <= PHASE_INSTALLED; ++known) {
    if (phase_name == PHASE_NAMES[known]) *phase = known;
  }
  if (*phase == 0 || !reader.line_ended()) return -1;
  std::size_t count = 0;
  while (reader.good && reader.next < reader.end) {
    if (count == RECORD_TARGETS) return -1;
    StagedTarget& target = targets[count];
    reader.word("target");
    const std::string_view kind = reader.field();
    target.is_directory = kind == "directory";
    if (kind != "directory" && kind != "file") return -1;
    target.replaces = reader.flag();
    target.in_place = reader.flag();
    target.staged_inside = reader.flag();
    const std::uintmax_t step = reader.number(reader.field());
    if (step > IN_PLACE_LAST_STEP) return -1;
    target.in_place_step = static_cast<int>(step);
    target.parent_identity = reader.identity(with_birth);
    target.old_identity = reader.identity(with_birth);
    target.staged_identity = reader.identity(with_birth);
    target.copy_identity = reader.identity(with_birth);
    reader.string(paths[count], PATH_BUFFER_SIZE);
    target.path = paths[count];
    reader.string(target.staging, sizeof target.staging);
    reader.string(target.copy, sizeof target.copy);
    // Only a receipt holds digests: any other record leaves none behind
    // from what the targets held before.
    target.installed_digest = 0;
    target.kept_digest = 0;
    if (*phase == PHASE_INSTALLED) {
      target.installed_digest = reader.number(reader.field());
      target.kept_digest = reader.number(reader.field());
    }
    // The run acts on its staging entries by name in their directory: a
    // name that leads anywhere else is not one it made.
    if (!reader.line_ended() || target.path[0] == '\0' || !plain_name(target.staging) ||
        !plain_name(target.copy)) {
      return -1;
    }
    ++count;
  }
  return reader.good ? static_cast<int>(count) : -1;
}

namespace {

// The phase of the record as last written or read: a step within a phase
// is written in it.
int current_phase = PHASE_STAGING;

}  // namespace

namespace {

// Writes a sealed text whole at name: under the temporary name, synced,
// renamed into place, its directory synced.
bool write_sealed(const char* name, const char* temporary, int phase, const StagedTarget* targets,
                  std::size_t count) {
  static std::array<char, RECORD_SIZE> text;
  const std::size_t length = format_record(text.data(), text.size(), phase, targets, count);
  if (length == 0) {
    errno = ENAMETOOLONG;
    return false;
  }
  Descriptor directory(open_record_directory(true));
  if (!directory.is_open()) return false;
  if (unlinkat(directory.get(), temporary, 0) != 0 && errno != ENOENT) return false;
  Descriptor file(openat(directory.get(), temporary,
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.is_open() || !write_all(file.get(), text.data(), length) || fsync(file.get()) != 0) {
    return false;
  }
  if (close(file.release()) != 0) return false;
  return renameat(directory.get(), temporary, directory.get(), name) == 0 &&
         fsync(directory.get()) == 0;
}

}  // namespace

bool write_record(int phase, const StagedTarget* targets, std::size_t count) {
  current_phase = phase;
  return write_sealed(RECORD_NAME, RECORD_TEMPORARY, phase, targets, count);
}

bool write_receipt(const StagedTarget* targets, std::size_t count) {
  return write_sealed(RECEIPT_NAME, RECEIPT_TEMPORARY, PHASE_INSTALLED, targets, count);
}

bool remove_receipt() {
  Descriptor directory(open_record_directory(false));
  if (!directory.is_open()) return errno == ENOENT;
  if (unlinkat(directory.get(), RECEIPT_TEMPORARY, 0) != 0 && errno != ENOENT) return false;
  if (unlinkat(directory.get(), RECEIPT_NAME, 0) != 0 && errno != ENOENT) return false;
  return fsync(directory.get()) == 0;
}

bool remove_record() {
  Descriptor directory(open_record_directory(false));
  if (!directory.is_open()) return errno == ENOENT;
  if (unlinkat(directory.get(), RECORD_TEMPORARY, 0) != 0 && errno != ENOENT) return false;
  if (unlinkat(directory.get(), RECORD_NAME, 0) != 0 && errno != ENOENT) return false;
  return fsync(directory.get()) == 0;
}

namespace {

// The locked directory, open until the process ends.
Descriptor lock_holder;

}  // namespace

int lock_record_directory() {
  for (int attempt = 0; attempt < LOCK_ATTEMPTS; ++attempt) {
    Descriptor directory(open_record_directory(true));
    if (!directory.is_open()) return LOCK_FAILED;
    if (flock(directory.get(), LOCK_EX | LOCK_NB) != 0) {
      return errno == EWOULDBLOCK ? LOCK_BUSY : LOCK_FAILED;
    }
    // A run that ended meanwhile removes the directory it held: a lock on
    // that one keeps no one out.
    struct stat locked {};
    struct stat named {};
    if (fstat(directory.get(), &locked) == 0 && stat(RECORD_DIRECTORY, &named) == 0 &&
        same_file(locked, named)) {
      lock_holder.reset(directory.release());
      return LOCK_TAKEN;
    }
  }
  errno = EAGAIN;
  return LOCK_FAILED;
}

void unlock_record_directory() {
  if (!lock_holder.is_open()) return;
  // Empty, it is removed while still locked; holding a record, it stays.
  // Its removal need not be durable, nor even succeed: an empty directory
  // left behind is harmless.
  Descriptor parent(open(RECORD_PARENT, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (parent.is_open()) unlinkat(parent.get(), RECORD_DIRECTORY_NAME, AT_REMOVEDIR);
  lock_holder.reset();
}

bool keep_record(int phase, const StagedTarget* targets, std::size_t count) {
  if (write_record(phase, targets, count)) return true;
  std::printf("Unable to write %s. %s.\n\n", RECORD_PATH, std::strerror(errno));
  return false;
}

bool keep_record_step(const StagedTarget* targets, std::size_t count) {
  return keep_record(current_phase, targets, count);
}

bool forget_record() {
  if (remove_record()) return true;
  std::printf("Unable to remove %s. %s.\n\n", RECORD_PATH, std::strerror(errno));
  return false;
}

namespace {

// Reads the sealed text at name back; what a run killed while it wrote the
// first version left under the temporary name goes.
int read_sealed(const char* name, const char* temporary, int* phase, StagedTarget* targets,
                char (*paths)[PATH_BUFFER_SIZE], std::size_t* count) {
  Descriptor directory(open_record_directory(false));
  if (!directory.is_open()) return errno == ENOENT ? RECORD_NONE : RECORD_UNREADABLE;
  Descriptor file(openat(directory.get(), name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!file.is_open() && errno == ENOENT) {
    // Nothing had been staged yet; what was being written need not go
    // durably.
    return unlinkat(directory.get(), temporary, 0) == 0 || errno == ENOENT ? RECORD_NONE
                                                                           : RECORD_UNREADABLE;
  }
  if (!file.is_open()) return RECORD_UNREADABLE;
  struct stat status {};
  if (fstat(file.get(), &status) != 0) return RECORD_UNREADABLE;
  static std::array<char, RECORD_SIZE> text;
  if (!S_ISREG(status.st_mode) || status.st_uid != geteuid() || (status.st_mode & 077) != 0 ||
      status.st_size <= 0 || static_cast<std::size_t>(status.st_size) > text.size()) {
    errno = EBADMSG;
    return RECORD_UNREADABLE;
  }
  std::size_t length = 0;
  while (length < text.size()) {
    const ssize_t got = read(file.get(), text.data() + length, text.size() - length);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return RECORD_UNREADABLE;
    if (got == 0) break;
    length += static_cast<std::size_t>(got);
  }
  const int parsed = parse_record(text.data(), length, phase, targets, paths);
  if (parsed < 0) {
    errno = EBADMSG;
    return RECORD_UNREADABLE;
  }
  *count = static_cast<std::size_t>(parsed);
  return RECORD_FOUND;
}

}  // namespace

int read_record(int* phase, StagedTarget* targets, char (*paths)[PATH_BUFFER_SIZE],
                std::size_t* count) {
  const int found = read_sealed(RECORD_NAME, RECORD_TEMPORARY, phase, targets, paths, count);
  if (found != RECORD_FOUND) return found;
  // A receipt put in the record's place is no run in progress.
  if (*phase == PHASE_INSTALLED) {
    errno = EBADMSG;
    return RECORD_UNREADABLE;
  }
  current_phase = *phase;
  return RECORD_FOUND;
}

int read_receipt(StagedTarget* targets, char (*paths)[PATH_BUFFER_SIZE], std::size_t* count) {
  int phase = 0;
  const int found = read_sealed(RECEIPT_NAME, RECEIPT_TEMPORARY, &phase, targets, paths, count);
  if (found == RECORD_FOUND && phase != PHASE_INSTALLED) {
    errno = EBADMSG;
    return RECORD_UNREADABLE;
  }
  return found;
}
