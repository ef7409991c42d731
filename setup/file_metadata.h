// What a new file takes from the file whose place it takes.
//
// - carryMetadata gives `to` (a new file of ours, open for writing) the
//   owner, group, whole mode (set-id and sticky bits too), ACL, extended
//   attributes and inode flags of `from`, and checks that they stuck;
//   false with errno when any of it could not be given. They are read
//   through a descriptor of the old file opened for reading by its real
//   name, never through /proc. Where it can't be read, the ACL is read by
//   its real path (which needs no permission to read the file), a file
//   with extended attributes to carry fails with EACCES, and inode flags
//   can't be seen (none are carried).
// - carryWhatItCan does the same as far as it goes, and never grants more
//   than `from` does: a copy that can't have its owner and group keeps only
//   the owner's bits of the mode, and no ACL.
// Not carried: the attributes the kernel keeps itself or drops on a write
// (security.evm, security.ima, security.capability), and the immutable and
// append-only flags, which no file being written can have.
#pragma once

#include <sys/types.h>

#include "setup/writer_open.h"

bool carryMetadata(const OpenedTarget& from, int to);
void carryWhatItCan(const OpenedTarget& from, int to);

// Gives `fd` the mode `mode` when it has another one (a write by a user
// without CAP_FSETID clears the set-id bits); false with errno when it
// could not be given.
bool giveMode(int fd, mode_t mode);
