// The journal of an installation in place: what it knows of each directory
// of the live target, at its path with its identity. The copy of the old
// contents names every old directory it copied; the replacement names each
// directory it makes before it moves it in. The replacement and the
// put-back enter, and set owners and modes on, only what the journal names,
// so another user's directory moved to a known name is never taken for
// the old one. It lives in the staging directory, which only root may
// enter, and survives a reboot.
#ifndef LANGEXT_STAGE_JOURNAL_H
#define LANGEXT_STAGE_JOURNAL_H

#include "stage/target.h"

// What the journal says of a directory.
constexpr char NOT_JOURNALED = 0;
constexpr char OLD = 'O';   // the copy took it: the old one, which the run may change
constexpr char MADE = 'M';  // the installation made it
// The put-back built it whole from the copy of the old contents, and it was
// on stable storage, all it holds included, before it was moved in.
constexpr char REBUILT = 'R';

// Opens (creating) the journal name in the open directory staging, durably
// named; -1 with errno set where it cannot.
int open_journal(int staging, const char* name);

// Empties the journal: a copy begins anew.
bool clear_journal(int journal);

// Adds what the journal knows of the directory at path. A durable entry is
// on stable storage before this returns, so that the step it allows may be
// taken: a power cut may keep the step and lose an entry still in the page
// cache, and then the next run takes the directory for someone else's.
bool journal_add(int journal, char kind, const char* path, EntryIdentity identity, bool durable);

// Writes what was added to stable storage.
bool journal_sync(int journal);

// What the journal says of the directory at path whose identity is given:
// MADE before OLD, NOT_JOURNALED where it says nothing or cannot be read.
char journal_find(int journal, const char* path, EntryIdentity identity);

#endif
