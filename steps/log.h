// The log of a run, each step appended durably before it is taken, in a
// directory only root may enter: the next run finishes or undoes a killed
// run from facts. Each line is sealed by a hash chained to all before it,
// so a line a crash cut short, and all after it, is none. A completed
// installation's log becomes its receipt, which the undo reads.
#ifndef LANGEXT_STEPS_LOG_H
#define LANGEXT_STEPS_LOG_H

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>

#include "fs/entry.h"
#include "fs/fd.h"

constexpr const char* RECORD_DIRECTORY = "/var/lib/langext-install";
constexpr const char* RECORD_PATH = "/var/lib/langext-install/record";
constexpr const char* RECEIPT_PATH = "/var/lib/langext-install/receipt";

// One run at a time: the lock is on the log's own directory, root's and
// closed to others (else EBADMSG), made when missing where make is set;
// unlocking removes it when empty, where this run made it or may change it.
constexpr int LOCK_TAKEN = 0;
constexpr int LOCK_BUSY = 1;
constexpr int LOCK_ABSENT = 2;  // there is none, and none was to be made
constexpr int LOCK_FAILED = -1;
int lock_record_directory(bool make = true);
void unlock_record_directory();
// The same removal, safe in a signal handler; never by a run that only looks.
void drop_record_directory();

// Whether a record is there: a run was killed, or is under way.
bool record_exists();

// The list of every entry of the installed trees beside the receipt, for a
// check: opened to be appended to (emptied first where anew), or read; null where it cannot be.
Stream open_listing(bool write, bool anew = false);

struct Attributes {
  uid_t user = 0;
  gid_t group = 0;
  mode_t mode = 0;
  timespec access{};
  timespec modification{};
};

// A line being written, its fields separated by blanks.
struct LogLine {
  char text[4096];
  std::size_t length = 0;
  bool fits = true;
};
void add_word(LogLine* line, const char* word);
void add_number(LogLine* line, std::int64_t number);
void add_string(LogLine* line, const char* value);
void add_identity(LogLine* line, const Identity& identity);
void add_time(LogLine* line, const timespec& time);
void add_hex(LogLine* line, std::uint64_t value);
void add_attributes(LogLine* line, const Attributes& attributes);
// Appends value to text (of size room) at length, each blank, control, "\" or non-ASCII byte as
// \xhh in the log, \ooo in the list; the history keeps blanks and non-ASCII bytes. The new
// length, or SIZE_MAX where it does not fit.
enum class Escape { LOG, LIST, HISTORY };
std::size_t append_escaped(char* text, std::size_t room, std::size_t length, std::string_view value,
                           Escape style);

// Seals a line of another file in the log's form, chained to *seal, which
// moves on; false where it did not fit.
bool seal_line(LogLine* line, std::uint64_t* seal);

// A new record of the kind given ("install" or "undo"), where there is
// none; a line appended; what was appended made durable; where the next
// line will begin. Then the record becomes the receipt, or goes.
bool log_start(const char* kind);
bool log_append(const LogLine& line);
bool log_sync();
off_t log_offset();
bool log_to_receipt();
bool log_forget();
bool remove_receipt();  // and its list of entries

// A line read back, split at blanks. A decoder that meets what is not its
// kind of value clears good.
struct LogFields {
  std::array<char, sizeof LogLine::text> copy;  // of the line, which the fields view
  std::string_view field[16];
  int count = 0;
  off_t start = 0;  // where the line begins in the log
  off_t end = 0;    // and where the next begins
  bool good = true;
  std::string_view word(int index) const { return index < count ? field[index] : ""; }
  std::int64_t number(int index);
  std::uint64_t hex(int index);
  bool string(int index, char* value, std::size_t size);
  int numbers(int index, std::int64_t* values, int most);  // split at ":", "."; how many, or -1
  Identity identity(int index);
  timespec time(int index);
  Attributes attributes(int index);
};

// Reads the line at the start of text into fields (fields->end is its
// length): false where it is not whole or, where hash is given, not sealed
// chained to *hash, which then moves on.
bool parse_line(const char* text, std::size_t length, std::uint64_t* hash, LogFields* fields);
std::uint64_t seal_of(std::uint64_t previous, const char* text, std::size_t length);
constexpr std::uint64_t LOG_SEAL_START = 14695981039346656037ULL;

constexpr int LOG_NONE = 0;
constexpr int LOG_FOUND = 1;        // *kind names its kind
constexpr int LOG_UNREADABLE = -1;  // errno EBADMSG: another's; EPROTO: an earlier release's
// Opens the record (kept open for appending) or the receipt and checks
// every line; a line a crash cut short at its end is cut off the record.
int log_open(bool receipt, const char** kind);
// The line at *offset, which moves past it, or the one ending at *offset,
// which moves back to its start; false at the end.
bool log_next(bool receipt, off_t* offset, LogFields* fields);
bool log_previous(bool receipt, off_t* offset, LogFields* fields);
off_t log_end(bool receipt);
// Whether the log says when a put-back in place is whole, and when a
// directory's own attributes were given to NAME.old: in a log of the
// release before, what a run made and is gone was done.
bool log_marks_whole();

void report_unusable(const char* path, const char* what);

#endif
