// The log of a run: what it will do, appended durably before it is done,
// in a directory only root may enter, so that the next run can finish or
// undo a run that was killed from facts, never from guesses. Each line is
// sealed with a hash that chains it to every line before, so a line cut
// short by a crash, and everything after it, is no line of the log. A
// completed installation's log becomes its receipt, which the undo reads.
#ifndef LANGEXT_STEPS_LOG_H
#define LANGEXT_STEPS_LOG_H

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>

#include "fs/entry.h"

constexpr const char* RECORD_DIRECTORY = "/var/lib/langext-install";
constexpr const char* RECORD_PATH = "/var/lib/langext-install/record";
constexpr const char* RECEIPT_PATH = "/var/lib/langext-install/receipt";

// One run at a time: the lock is taken on the log's own directory, which
// only root can open, so that no other user can hold it. Made when missing.
constexpr int LOCK_TAKEN = 0;
constexpr int LOCK_BUSY = 1;     // another run holds it
constexpr int LOCK_FAILED = -1;  // errno says why; EBADMSG: others may write the directory
int lock_record_directory();
// Removes the directory when it is empty, and lets the lock go.
void unlock_record_directory();

// A line being written: words, numbers, strings, identities, attributes.
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
// An entry's owner, group, mode, access and modification times.
struct Attributes {
  uid_t user = 0;
  gid_t group = 0;
  mode_t mode = 0;
  timespec access{};
  timespec modification{};
};
void add_attributes(LogLine* line, const Attributes& attributes);

// Starts a new record of the given kind ("install" or "undo") in place of
// none; appends a line to it; makes what was appended durable.
bool log_start(const char* kind);
bool log_append(const LogLine& line);
bool log_sync();
// Where the next line appended will begin.
off_t log_offset();
// The record, whole and durable, becomes the receipt; or goes.
bool log_to_receipt();
bool log_forget();
bool remove_receipt();

// A line read back, its fields split at blanks.
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
  // The numbers of one field, split at ":" and "."; how many, or -1.
  int numbers(int index, std::int64_t* values, int most);
  Identity identity(int index);
  timespec time(int index);
  Attributes attributes(int index);
};

// Reads the sealed line at the start of text (length bytes) into fields:
// whether it is whole and, where hash is given, sealed by the hash that
// follows *hash, which it moves on. fields->end is then its length.
bool parse_line(const char* text, std::size_t length, std::uint64_t* hash, LogFields* fields);
// The seal of a line of length bytes that follows one sealed by previous.
std::uint64_t seal_of(std::uint64_t previous, const char* text, std::size_t length);
constexpr std::uint64_t LOG_SEAL_START = 14695981039346656037ULL;

// What reading a log found.
constexpr int LOG_NONE = 0;         // there is none
constexpr int LOG_FOUND = 1;        // *kind names its kind
constexpr int LOG_UNREADABLE = -1;  // errno says why; EBADMSG: not this program's, EPROTO: an
                                    // earlier release's
// Opens the record (receipt false) or the receipt for reading and checks
// every line of it; what a crash cut short at its end is dropped (and, in
// the record, cut off, so that appending goes on after the last whole
// line). The record stays open for appending.
int log_open(bool receipt, const char** kind);
// The line that begins at *offset, which moves past it; or the line that
// ends at *offset, which moves back to its start. False at the end.
bool log_next(bool receipt, off_t* offset, LogFields* fields);
bool log_previous(bool receipt, off_t* offset, LogFields* fields);
off_t log_end(bool receipt);

// Reports a log that cannot be used, naming path.
void report_unusable(const char* path, const char* what);

#endif
