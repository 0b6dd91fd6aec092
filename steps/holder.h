// A directory an overlay's lower layer will not let go is emptied into a
// holder made with its attributes, and goes; put back, its entries go back
// into it, or the holder comes in its place. A holder, and one made in it
// for a directory below, names its directory by identity in an attribute:
// what goes back goes only into that very directory, never into one
// another user made at its name.
#ifndef LANGEXT_STEPS_HOLDER_H
#define LANGEXT_STEPS_HOLDER_H

#include <ctime>

#include "fs/entry.h"
#include "steps/step.h"

// Moves everything in the open directory from into the open directory to:
// out of the live tree into a holder, or back into it. Taking out (since
// set), an entry changed since then stops the walk, and *touched says so.
// False, errno set, where anything could not move.
bool move_contents(int from, int to, bool back, const timespec* since = nullptr,
                   bool* touched = nullptr);

// Makes the directory name of directory, never taking one there, to stand
// in for the open directory source, the entry of identity, named in an
// attribute with the source's owner, group and mode, which it holds back:
// until it goes back whole, it is root's and closed to others. Its
// descriptor, or -1 (errno set).
int make_stand_in(int directory, const char* name, int source, const Identity& identity,
                  const char* path);

// Gives a stand-in about to go back, and every stand-in below it, the
// owner, group and mode each holds back, the deepest first, while they are
// still where no one else reaches them. True where it holds nothing back.
bool open_up(int directory);

// Gone back whole, a stand-in stands in for nothing.
bool forget_origin(int directory);

// Moves what the holder at out holds back into the live directory, the
// entry of identity, and removes the holder.
bool refill(const Slot& out, const Slot& live, const Identity& identity);

#endif
