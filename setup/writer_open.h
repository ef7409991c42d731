// What stands at a writer's path, opened without ever opening anything but
// a regular file for writing, and where that file really is. Nothing here
// goes through /proc: in a chroot or a container without it the files are
// opened, found and reopened the same way.
//
// - openLooked: the one look-open-recheck of every open of a regular file by
//   its path (links followed). The path is looked at with O_PATH first, so
//   that a directory, device or FIFO is never opened; then opened with
//   `flags` (non-blocking: a FIFO put there since can't make it wait, and
//   O_NONBLOCK is cleared again), and looked at again on the descriptor,
//   which must be a regular file. With O_CREAT a dangling link makes the
//   file it names (*created), and nothing at all at the path makes nothing
//   (ENOENT). A directory fails with EISDIR, anything else that is not a
//   regular file with EINVAL; no descriptor, errno set.
// - openAsWriter: the file the writer's own creat(2) of the path would
//   reach, open for reading and writing: openLooked for reading with O_CREAT
//   (the kernel applies its link and sticky-directory protections to that
//   open as to the writer's own, and a dangling link makes the file it
//   names, with `mode`), then reopened for writing through its real name.
//   Nothing at all at the path gives no descriptor, once the directory could
//   take a new file.
// - openOld: the old file of a writer that replaces the name, with O_PATH
//   (links followed; no permission to read it needed), or nothing.
// - reopen: the same file opened anew with `flags` through its real name
//   (no link followed there), checked to be the same file (EAGAIN when the
//   name now holds another); where no real name was found, by the path, with
//   the same check.
// - realName: the directory a file is in and its name there, checked by
//   device and inode: the path's own, or where the links at its last name
//   lead (relative ones from their own directory).
// Failures give false with the system's error text in *err.
#pragma once

#include <sys/stat.h>

#include <string>

#include "setup/unique_fd.h"

struct OpenedTarget {
  UniqueFd fd;            // none when nothing stands at the path
  struct stat st {};
  bool created = false;   // made by the open, through a dangling link
  std::string path;       // as the writer gave it
  UniqueFd dir;           // where the file really is (none when not found)
  std::string dirPath;    //   that directory's path
  std::string name;       //   and the file's name there
};

UniqueFd openLooked(const std::string& path, int flags, mode_t mode, struct stat* st, bool* created = nullptr);
bool openAsWriter(const std::string& path, mode_t mode, OpenedTarget* out, std::string* err);
bool openOld(const std::string& path, OpenedTarget* out, std::string* err);
UniqueFd reopen(const OpenedTarget& target, int flags);
// For reading the target: a second descriptor of its own one where that is
// open for reading (sharing its offset), else reopen(O_RDONLY).
UniqueFd readableOf(const OpenedTarget& target);
bool realName(const std::string& path, const struct stat& st, OpenedTarget* out);
// "<dirPath>/<name>" of a target whose real name was found.
std::string realPath(const OpenedTarget& target);

// The path's directory (".", "/" or the part before the last slash) and
// last name.
void splitPath(const std::string& path, std::string* dir, std::string* name);
// A directory open for reading (so that it can be locked and synced), or,
// one that may be searched but not read, with O_PATH, which still serves
// to make, link and rename names in it.
UniqueFd openDirectory(const std::string& path);
// A name that something is mounted over: no rename can replace it.
bool isMountRoot(int dirfd, const std::string& name);
bool sameFile(const struct stat& a, const struct stat& b);
// Removes the file a failed write made, while it is still empty and still
// has its name.
void removeIfMadeEmpty(const OpenedTarget& target);

bool failWith(std::string* err, int error);
