// What a completed installation leaves for its undo, beside the record and
// in the record's form: each target, whether it replaced an old one, the
// identities of what it left at NAME and at NAME.old (staged_identity and
// old_identity), and a digest of each, which any change since shows in.
#ifndef LANGEXT_STAGE_RECEIPT_H
#define LANGEXT_STAGE_RECEIPT_H

#include <cstddef>
#include <cstdint>

#include "stage/target.h"

// The digest of the entry name in directory and of everything below it:
// each entry's place in the tree, type, mode, owner, size, times of
// modification and change, inode number and birth time. No call can set a
// change time, so an edit by anyone shows; device numbers, which a mount
// again changes, do not count, nor the times of a directory at the top,
// which an undo changes when it stages inside a volume and puts back after.
// A link is never followed, and another file system, or a directory that
// is not root's own, never entered; nor a directory hundreds of levels
// down, which counts only as being there. False, errno set, when the tree
// cannot be read.
// Where top is given, the entry's own owner and mode count as top's: a
// NAME.old an undo has closed to others is known as the installation left
// it by what it held back.
bool tree_digest(int directory, const char* name, std::uint64_t* digest,
                 const struct stat* top = nullptr);

// Writes the receipt of the targets, each in place (its parent open).
// Reports and returns false when it cannot; the installation stays
// complete.
bool keep_receipt(const StagedTarget* targets, std::size_t count);

#endif
