// Runs of the tool that replace files take turns, directory by directory.
//
// - lockDirectoryOf(path) holds an exclusive flock on the directory the
//   path's last name is in. No rename replaces a directory, so the lock
//   stays on what it guards however often the files in it are replaced.
// - Taking the lock, it removes what a killed run left in the directory
//   under the tool's temporary names (removeStrayCopies, new_copy.h): a run
//   makes such names only in a directory whose lock it holds, or where no
//   lock can be had (below), so none of them belongs to a live run.
// - It waits at most kLockWait seconds for another process's lock, then
//   fails with EWOULDBLOCK. A missing directory fails with its error.
// - The lock lasts while any handle to it lives. A second request for the
//   same directory in the same process gets the same lock, so a run never
//   waits for a lock it holds itself.
// - Where the file system has no flock for a directory (ENOLCK, EOPNOTSUPP,
//   EINVAL; EBADF where an exclusive lock needs a descriptor open for
//   writing, which a directory never is), or the directory may be searched
//   but not read (so not opened for a lock), the handle holds none, nothing
//   is removed, and the writers go on as they always did.
#pragma once

#include <memory>
#include <string>

class DirLock;
using HeldDirLock = std::shared_ptr<DirLock>;

constexpr int kLockWait = 30;  // seconds

// Null with errno set on failure.
HeldDirLock lockDirectoryOf(const std::string& path);
