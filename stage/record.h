// The record of the run in progress: every staging entry the run makes,
// what stood at each target's name, and how far the run got. It is kept
// durable in a directory only root may write, so that the next run can
// finish or clean up after a run that was killed, from facts and not from
// guesses about contents.
#ifndef LANGEXT_STAGE_RECORD_H
#define LANGEXT_STAGE_RECORD_H

#include <cstddef>
#include <cstdint>

#include "stage/target.h"

constexpr const char* RECORD_PARENT = "/var/lib";
constexpr const char* RECORD_DIRECTORY = "/var/lib/langext-install";
constexpr const char* RECORD_PATH = "/var/lib/langext-install/record";

constexpr const char* RECEIPT_PATH = "/var/lib/langext-install/receipt";

// How far the run got: staging; swapping once everything staged is
// durable; undoing once a failure has begun to put the product back, which
// a killed run's repair then finishes; reverting once an undo of a
// completed installation has begun to put the product back, which a
// killed run's repair finishes the same way. A receipt is written in the
// phase installed.
constexpr int PHASE_STAGING = 1;
constexpr int PHASE_SWAPPING = 2;
constexpr int PHASE_UNDOING = 3;
constexpr int PHASE_REVERTING = 4;
constexpr int PHASE_INSTALLED = 5;

// The most targets a record holds, and the most bytes it takes.
constexpr std::size_t RECORD_TARGETS = 3;
constexpr std::size_t RECORD_SIZE = 24576;

// What a record's last line holds: the FNV-1a hash of all before it.
std::uint64_t checksum(const char* text, std::size_t length);

// The record's text for the targets; returns its length, or 0 when it
// does not fit size bytes.
std::size_t format_record(char* text, std::size_t size, int phase, const StagedTarget* targets,
                          std::size_t count);

// Reads a record's text back: the phase, and for each target its path
// (into paths, each PATH_BUFFER_SIZE bytes, which target.path points to),
// kind, whether it replaces, its identities and its staging name. Returns
// the number of targets, or -1 when the text is not a whole record of this
// program's.
int parse_record(const char* text, std::size_t length, int* phase, StagedTarget* targets,
                 char (*paths)[PATH_BUFFER_SIZE]);

// Writes the record whole: under a temporary name, synced, renamed into
// place, its directory synced; a crash leaves the previous version or this
// one. Returns false, with errno set, when it cannot.
bool write_record(int phase, const StagedTarget* targets, std::size_t count);

// Removes the record and, when it is empty, its directory; the removal of
// the record is durable. Returns false, with errno set, when it cannot.
bool remove_record();

// The receipt of the last completed installation, beside the record and in
// its form: written whole as the record is, in the phase installed, and
// with two digests more to each target. Only root can read it.
bool write_receipt(const StagedTarget* targets, std::size_t count);
bool remove_receipt();
int read_receipt(StagedTarget* targets, char (*paths)[PATH_BUFFER_SIZE], std::size_t* count);

// write_record and remove_record, reporting a failure with its reason.
bool keep_record(int phase, const StagedTarget* targets, std::size_t count);
// keep_record in the phase that the record was last written or read in.
bool keep_record_step(const StagedTarget* targets, std::size_t count);
bool forget_record();

// One run at a time: the lock is taken on the record's own directory, which
// only root can open, so that no other user can hold it (as anyone could
// the configuration file, which all may read). Made when missing.
constexpr int LOCK_TAKEN = 0;
constexpr int LOCK_BUSY = 1;     // another run holds it
constexpr int LOCK_FAILED = -1;  // errno says why; EBADMSG: others may write the directory
constexpr int LOCK_ATTEMPTS = 8;
int lock_record_directory();

// Removes the record's directory when it is empty, and lets the lock go.
void unlock_record_directory();

// What read_record found.
constexpr int RECORD_NONE = 0;         // no run was in progress
constexpr int RECORD_FOUND = 1;        // *count targets filled in
constexpr int RECORD_UNREADABLE = -1;  // errno says why; EBADMSG: not this program's

int read_record(int* phase, StagedTarget* targets, char (*paths)[PATH_BUFFER_SIZE],
                std::size_t* count);

#endif
