// The undo of the last completed installation: the product as it was
// before it, from the receipt that the installation left.
#ifndef LANGEXT_UNDO_UNDO_H
#define LANGEXT_UNDO_UNDO_H

constexpr int EXIT_UNDONE = 0;

// The whole undo, under the lock; returns the process exit status.
int run_undo();

#endif
