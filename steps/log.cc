#include "steps/log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "fs/fd.h"

std::uint64_t seal_of(std::uint64_t previous, const char* text, std::size_t length) {
  std::uint64_t hash = LOG_SEAL_START;
  for (int byte = 0; byte < 8; ++byte) {
    hash = (hash ^ ((previous >> (8 * byte)) & 0xff)) * 1099511628211ULL;
  }
  for (std::size_t i = 0; i < length; ++i) {
    hash = (hash ^ static_cast<unsigned char>(text[i])) * 1099511628211ULL;
  }
  return hash;
}

namespace {

constexpr const char* RECORD_PARENT = "/var/lib";
constexpr const char* DIRECTORY_NAME = "langext-install";
constexpr const char* RECORD_NAME = "record";
constexpr const char* RECEIPT_NAME = "receipt";
constexpr const char* LISTING_NAME = "files";
// What the release before this one wrote: a record rewritten whole.
constexpr std::string_view EARLIER_HEADER = "langext-install record 2\n";
constexpr std::string_view DIGITS = "0123456789abcdef";
constexpr std::size_t SEAL_LENGTH = 19;  // " #" and sixteen hexadecimal digits, then "\n"

bool keep_directory = false;  // a run that only looks removes nothing
Descriptor directory;         // locked
Descriptor record;
Descriptor receipt;
std::uint64_t chain = LOG_SEAL_START;  // the hash of the record's last line
bool record_named = false;             // its name is durable in the directory
std::array<char, 65536> pending;
std::size_t pending_length = 0;
off_t record_end = 0;  // past the last whole line
off_t receipt_end = 0;
bool marks_whole = true;  // log 4 on: a whole put-back, attributes given

void write_seal(char* at, std::uint64_t seal) {
  std::snprintf(at, SEAL_LENGTH + 1, " #%016" PRIx64 "\n", seal);
}

// Only root's own, closed to everyone else: no one else can forge a log.
bool ours(int fd, mode_t type, struct stat* status) {
  if (fstat(fd, status) != 0) return false;
  const bool owned = (status->st_mode & S_IFMT) == type && status->st_uid == geteuid() &&
                     (status->st_mode & 077) == 0;
  if (!owned) errno = EBADMSG;
  return owned;
}

int open_directory(bool create, struct stat* status) {
  Descriptor parent(open(RECORD_PARENT, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!parent.is_open()) return -1;
  const bool made = create && mkdirat(parent.get(), DIRECTORY_NAME, 0700) == 0;
  if (create && !made && errno != EEXIST) return -1;
  Descriptor opened(openat(parent.get(), DIRECTORY_NAME, DIRECTORY_FLAGS));
  if (!opened.is_open() || !ours(opened.get(), S_IFDIR, status)) return -1;
  // A new directory survives a power cut only once its parent is synced.
  if (made && fsync(parent.get()) != 0) return -1;
  return opened.release();
}

void add(LogLine* line, const char* format, auto... values) {
  if (!line->fits) return;
  const std::size_t room = sizeof line->text - line->length - SEAL_LENGTH;
  const int written = std::snprintf(line->text + line->length, room, format, values...);
  line->fits = written >= 0 && static_cast<std::size_t>(written) < room;
  if (line->fits) line->length += static_cast<std::size_t>(written);
}

bool read_digits(std::string_view text, std::size_t base, std::uint64_t* value) {
  for (char digit : text) {
    const std::size_t at = DIGITS.find(digit);
    if (at >= base) return false;
    *value = *value * base + at;
  }
  return true;
}

// What was last read of a log, ahead of the line asked for: one read serves
// many lines. The log only grows: what was read stays true while it is open.
struct ReadAhead {
  int fd = -1;
  off_t start = 0;
  std::size_t length = 0;
  std::array<char, 16 * (sizeof LogLine::text + 1)> bytes;
};
ReadAhead ahead;

bool read_line(int fd, off_t offset, std::uint64_t* hash, LogFields* fields) {
  auto from = static_cast<std::size_t>(offset - ahead.start);
  if (ahead.fd != fd || offset < ahead.start || from >= ahead.length ||
      std::memchr(ahead.bytes.data() + from, '\n', ahead.length - from) == nullptr) {
    ahead.fd = -1;
    const ssize_t got = pread(fd, ahead.bytes.data(), ahead.bytes.size(), offset);
    if (got <= 0) return false;
    ahead.fd = fd;
    ahead.start = offset;
    ahead.length = static_cast<std::size_t>(got);
    from = 0;
  }
  const std::size_t available = std::min(ahead.length - from, sizeof LogLine::text + 1);
  if (!parse_line(ahead.bytes.data() + from, available, hash, fields)) return false;
  fields->start = offset;
  fields->end += offset;
  return true;
}

bool unlinked(const char* name) {
  return unlinkat(directory.get(), name, 0) == 0 || errno == ENOENT;
}

// Closes file and removes it, with also where given, durably.
bool forget(Descriptor* file, const char* name, const char* also) {
  ahead.fd = -1;
  file->reset();
  return unlinked(name) && (also == nullptr || unlinked(also)) && fsync(directory.get()) == 0;
}

bool flush_pending() {
  std::size_t done = 0;
  while (done < pending_length) {
    const ssize_t written = write(record.get(), pending.data() + done, pending_length - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) break;
    done += static_cast<std::size_t>(written);
  }
  const bool flushed = done == pending_length;
  if (flushed) record_end += static_cast<off_t>(done);
  pending_length = 0;
  return flushed;
}

}  // namespace

bool parse_line(const char* text, std::size_t length, std::uint64_t* hash, LogFields* fields) {
  const char* end = static_cast<const char*>(std::memchr(text, '\n', length));
  const std::size_t line = end != nullptr ? static_cast<std::size_t>(end - text) : 0;
  if (end == nullptr || line < SEAL_LENGTH - 1) return false;
  const std::size_t body = line - (SEAL_LENGTH - 1);
  if (hash != nullptr) {
    std::array<char, SEAL_LENGTH + 1> seal{};
    const std::uint64_t next = seal_of(*hash, text, body);
    write_seal(seal.data(), next);
    if (std::memcmp(text + body, seal.data(), SEAL_LENGTH) != 0) return false;
    *hash = next;
  }
  fields->count = 0;
  fields->good = true;
  std::memcpy(fields->copy.data(), text, body);
  fields->end = static_cast<off_t>(line) + 1;
  for (std::size_t at = 0; at < body && fields->count < 16;) {
    std::size_t next = at;
    while (next < body && text[next] != ' ') ++next;
    fields->field[fields->count++] = std::string_view(fields->copy.data() + at, next - at);
    at = next + 1;
  }
  return true;
}

int lock_record_directory(bool make) {
  keep_directory = !make;
  for (int attempt = 0; attempt < 8; ++attempt) {
    struct stat held {};
    Descriptor locked(open_directory(make, &held));
    if (!locked.is_open()) return !make && errno == ENOENT ? LOCK_ABSENT : LOCK_FAILED;
    if (flock(locked.get(), LOCK_EX | LOCK_NB) != 0) {
      return errno == EWOULDBLOCK ? LOCK_BUSY : LOCK_FAILED;
    }
    // A run that ended meanwhile removes the directory it held: a lock on
    // that one keeps no one out.
    struct stat named {};
    if (stat(RECORD_DIRECTORY, &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
      directory.reset(locked.release());
      return LOCK_TAKEN;
    }
  }
  errno = EAGAIN;
  return LOCK_FAILED;
}

void drop_record_directory() {
  if (directory.is_open() && !keep_directory) unlinkat(AT_FDCWD, RECORD_DIRECTORY, AT_REMOVEDIR);
}

void unlock_record_directory() {
  // Empty, it is removed while still locked; holding a log, it stays. Its
  // removal need not be durable, nor even succeed.
  drop_record_directory();
  ahead.fd = -1;
  record.reset();
  receipt.reset();
  directory.reset();
}

void add_word(LogLine* line, const char* word) {
  add(line, line->length == 0 ? "%s" : " %s", word);
}

void add_number(LogLine* line, std::int64_t number) { add(line, " %" PRId64, number); }

void add_string(LogLine* line, const char* value) {
  add(line, "%s", " =");
  if (!line->fits) return;
  const std::size_t length =
      append_escaped(line->text, sizeof line->text - SEAL_LENGTH, line->length, value, Escape::LOG);
  line->fits = length != SIZE_MAX;
  if (line->fits) line->length = length;
}

std::size_t append_escaped(char* text, std::size_t room, std::size_t length, std::string_view value,
                           Escape style) {
  // By hand, not by a formatting call a byte: a plan logs a name an entry.
  const bool octal = style != Escape::LOG;
  for (const char byte : value) {
    const auto code = static_cast<unsigned char>(byte);
    const bool plain = code != '\\' && code != 0x7f &&
                       (style == Escape::HISTORY ? code >= ' ' : code > ' ' && code < 0x7f);
    if (length + (plain ? 1 : 4) >= room) return SIZE_MAX;
    if (!plain) {
      text[length++] = '\\';
      text[length++] = octal ? DIGITS[code >> 6] : 'x';
      text[length++] = DIGITS[octal ? (code >> 3) & 7 : code >> 4];
    }
    text[length++] = plain ? byte : DIGITS[octal ? code & 7 : code & 15];
  }
  text[length] = '\0';
  return length;
}

void add_identity(LogLine* line, const Identity& identity) {
  add(line, " %" PRIuMAX ":", static_cast<std::uintmax_t>(identity.inode));
  if (identity.born) {
    add(line, "%" PRId64 ".%09" PRIu32, identity.seconds, identity.nanoseconds);
  } else {
    add(line, "%" PRIuMAX, static_cast<std::uintmax_t>(identity.device));
  }
}

void add_time(LogLine* line, const timespec& time) {
  add(line, " %" PRId64 ".%09ld", static_cast<std::int64_t>(time.tv_sec), time.tv_nsec);
}

void add_hex(LogLine* line, std::uint64_t value) { add(line, " %016" PRIx64, value); }

void add_attributes(LogLine* line, const Attributes& a) {
  add(line, " %u:%u:%u:%" PRId64 ".%09ld:%" PRId64 ".%09ld", a.user, a.group, a.mode,
      static_cast<std::int64_t>(a.access.tv_sec), a.access.tv_nsec,
      static_cast<std::int64_t>(a.modification.tv_sec), a.modification.tv_nsec);
}

bool log_start(const char* kind) {
  ahead.fd = -1;
  record.reset(openat(directory.get(), RECORD_NAME,
                      O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!record.is_open()) return false;
  chain = LOG_SEAL_START;
  marks_whole = true;
  record_named = false;
  pending_length = 0;
  record_end = 0;
  LogLine header;
  add(&header, "langext-install log 4 %s", kind);
  return log_append(header);
}

bool log_append(const LogLine& line) {
  LogLine sealed = line;
  if (!seal_line(&sealed, &chain)) {
    errno = ENAMETOOLONG;
    return false;
  }
  if (pending_length + sealed.length > pending.size() && !flush_pending()) return false;
  std::memcpy(pending.data() + pending_length, sealed.text, sealed.length);
  pending_length += sealed.length;
  return true;
}

bool seal_line(LogLine* line, std::uint64_t* seal) {
  if (!line->fits) return false;
  *seal = seal_of(*seal, line->text, line->length);
  write_seal(line->text + line->length, *seal);
  line->length += SEAL_LENGTH;
  line->fits = false;  // sealed: nothing more goes into it
  return true;
}

bool log_sync() {
  if (!flush_pending() || fdatasync(record.get()) != 0) return false;
  if (!record_named) record_named = fsync(directory.get()) == 0;
  return record_named;
}

off_t log_offset() { return record_end + static_cast<off_t>(pending_length); }

bool log_to_receipt() {
  return log_sync() && renameat(directory.get(), RECORD_NAME, directory.get(), RECEIPT_NAME) == 0 &&
         fsync(directory.get()) == 0;
}

bool log_forget() { return forget(&record, RECORD_NAME, nullptr); }

bool remove_receipt() { return forget(&receipt, RECEIPT_NAME, LISTING_NAME); }

bool record_exists() {
  struct stat status {};
  return directory.is_open() &&
         (fstatat(directory.get(), RECORD_NAME, &status, AT_SYMLINK_NOFOLLOW) == 0 ||
          errno != ENOENT);
}

Stream open_listing(bool write, bool anew) {
  Descriptor file(
      openat(directory.get(), LISTING_NAME,
             (write ? O_WRONLY | O_CREAT | O_APPEND : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.is_open() || (anew && ftruncate(file.get(), 0) != 0)) return nullptr;
  // A killed run's last line may be cut short: the next begins a line anew.
  char last = '\n';
  struct stat status {};
  if (write && !anew &&
      (fstat(file.get(), &status) != 0 ||
       (status.st_size > 0 && pread(file.get(), &last, 1, status.st_size - 1) != 1) ||
       (last != '\n' && ::write(file.get(), "\n", 1) != 1))) {
    return nullptr;
  }
  Stream stream(fdopen(file.get(), write ? "a" : "r"));
  if (!stream) return nullptr;
  static_cast<void>(file.release());
  if (write) {
    // A list holds a line for every entry: few and large writes.
    static std::array<char, std::size_t{64} * 1024> buffer;
    static_cast<void>(setvbuf(stream.get(), buffer.data(), _IOFBF, buffer.size()));
  }
  return stream;
}

int log_open(bool from_receipt, const char** kind) {
  Descriptor& file = from_receipt ? receipt : record;
  ahead.fd = -1;
  if (!directory.is_open()) return LOG_NONE;
  file.reset(openat(directory.get(), from_receipt ? RECEIPT_NAME : RECORD_NAME,
                    (from_receipt ? O_RDONLY : O_RDWR) | O_NOFOLLOW | O_CLOEXEC));
  if (!file.is_open()) return errno == ENOENT ? LOG_NONE : LOG_UNREADABLE;
  struct stat status {};
  if (!ours(file.get(), S_IFREG, &status)) return LOG_UNREADABLE;
  std::uint64_t hash = LOG_SEAL_START;
  LogFields fields;
  if (!read_line(file.get(), 0, &hash, &fields) || fields.word(0) != "langext-install" ||
      fields.word(1) != "log" || (fields.word(2) != "3" && fields.word(2) != "4")) {
    if (status.st_size == 0 && !from_receipt) {
      // Killed before its first line: nothing had been done.
      file.reset();
      return unlinkat(directory.get(), RECORD_NAME, 0) == 0 ? LOG_NONE : LOG_UNREADABLE;
    }
    // What read_line read from the start is still ahead.
    const std::string_view start(ahead.bytes.data(), ahead.fd == file.get() ? ahead.length : 0);
    errno = start.starts_with(EARLIER_HEADER) ? EPROTO : EBADMSG;
    return LOG_UNREADABLE;
  }
  marks_whole = fields.word(2) != "3";
  *kind = fields.word(3) == "undo" ? "undo" : fields.word(3) == "install" ? "install" : "";
  off_t end = fields.end;
  while (read_line(file.get(), end, &hash, &fields)) end = fields.end;
  (from_receipt ? receipt_end : record_end) = end;
  if (from_receipt) return LOG_FOUND;
  // Appending goes on after the last whole line, chained to it.
  if ((end != status.st_size && (ftruncate(file.get(), end) != 0 || fsync(file.get()) != 0)) ||
      lseek(file.get(), end, SEEK_SET) != end) {
    return LOG_UNREADABLE;
  }
  chain = hash;
  record_named = true;
  pending_length = 0;
  return LOG_FOUND;
}

off_t log_end(bool from_receipt) { return from_receipt ? receipt_end : record_end; }

bool log_next(bool from_receipt, off_t* offset, LogFields* fields) {
  // Checked whole when the log was opened; here only read.
  const bool read = *offset < log_end(from_receipt) &&
                    read_line((from_receipt ? receipt : record).get(), *offset, nullptr, fields);
  if (read) *offset = fields->end;
  return read;
}

bool log_previous(bool from_receipt, off_t* offset, LogFields* fields) {
  if (*offset <= 0) return false;
  const int fd = (from_receipt ? receipt : record).get();
  static std::array<char, sizeof LogLine::text + 1> text;
  const off_t from = std::max(*offset - static_cast<off_t>(text.size()), off_t{0});
  const ssize_t got = pread(fd, text.data(), static_cast<std::size_t>(*offset - from), from);
  if (got != *offset - from) return false;
  // The last byte is the line's end; the one before it ends the line before.
  const auto* end =
      static_cast<const char*>(memrchr(text.data(), '\n', static_cast<std::size_t>(got - 1)));
  *offset = from + (end != nullptr ? end + 1 - text.data() : 0);
  off_t line = *offset;
  return log_next(from_receipt, &line, fields);
}

bool log_marks_whole() { return marks_whole; }

std::int64_t LogFields::number(int index) {
  std::int64_t value = 0;
  if (numbers(index, &value, 1) != 1) good = false;
  return value;
}

std::uint64_t LogFields::hex(int index) {
  const std::string_view text = word(index);
  std::uint64_t value = 0;
  if (text.size() != 16 || !read_digits(text, 16, &value)) good = false;
  return value;
}

bool LogFields::string(int index, char* value, std::size_t size) {
  const std::string_view text = word(index);
  std::size_t length = 0;
  if (text.empty() || text[0] != '=') good = false;
  for (std::size_t i = 1; good && i < text.size(); ++i) {
    char byte = text[i];
    if (byte == '\\') {
      std::uint64_t code = 0;
      good = i + 3 < text.size() && text[i + 1] == 'x' &&
             read_digits(std::string_view(text.data() + i + 2, 2), 16, &code);
      byte = static_cast<char>(code);
      i += 3;
    }
    if (byte == '\0' || length + 1 >= size) good = false;
    if (good) value[length++] = byte;
  }
  value[good ? length : 0] = '\0';
  return good;
}

int LogFields::numbers(int index, std::int64_t* values, int most) {
  const std::string_view text = word(index);
  int found = 0;
  for (std::size_t at = 0; good && at <= text.size() && found < most; ++found) {
    const std::size_t stop = std::min(text.find_first_of(":.", at), text.size());
    std::string_view digits(text.data() + at, stop - at);
    const bool negative = digits.starts_with('-');
    digits.remove_prefix(negative ? 1 : 0);
    std::uint64_t value = 0;
    // An inode number takes all 64 bits (an overlay's keeps its layer in the
    // high ones): kept as its bit pattern.
    good = !digits.empty() && digits.size() <= (negative ? 17U : 20U) &&
           (digits.size() < 20 || digits <= "18446744073709551615") &&
           read_digits(digits, 10, &value);
    values[found] = negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value);
    at = stop + 1;
    if (stop == text.size()) return good ? found + 1 : -1;
  }
  good = false;
  return -1;
}

Identity LogFields::identity(int index) {
  std::int64_t values[3] = {};
  const int parts = numbers(index, values, 3);
  if (parts == 2) return Identity{static_cast<dev_t>(values[1]), static_cast<ino_t>(values[0])};
  if (parts != 3) good = false;
  return Identity{0, static_cast<ino_t>(values[0]), true, values[1],
                  static_cast<std::uint32_t>(values[2])};
}

timespec LogFields::time(int index) {
  std::int64_t values[2] = {};
  if (numbers(index, values, 2) != 2) good = false;
  return timespec{static_cast<time_t>(values[0]), static_cast<long>(values[1])};
}

Attributes LogFields::attributes(int index) {
  std::int64_t v[7] = {};
  if (numbers(index, v, 7) != 7) good = false;
  return Attributes{static_cast<uid_t>(v[0]),
                    static_cast<gid_t>(v[1]),
                    static_cast<mode_t>(v[2]),
                    {static_cast<time_t>(v[3]), static_cast<long>(v[4])},
                    {static_cast<time_t>(v[5]), static_cast<long>(v[6])}};
}

void report_unusable(const char* path, const char* what) {
  if (errno == EBADMSG) {
    std::printf("Unable to use %s: it is not a %s this program wrote.\n\n", path, what);
  } else if (errno == EPROTO) {
    std::printf(
        "Unable to use %s: an earlier release of this program wrote it. Finish with that "
        "release, or remove %s once nothing it names is needed.\n\n",
        path, path);
  } else {
    std::printf("Unable to read %s. %s.\n\n", path, std::strerror(errno));
  }
}
