// What stands at a writer's path, opened without ever opening anything but
// a regular file for writing, and where that file really is.
//
// - openAsWriter: the file the writer's own creat(2) of the path would
//   reach, open for reading and writing. The kernel follows the links and
//   applies its link protections to a look with O_PATH; only a regular file
//   is then opened, first for reading with O_CREAT (so that a file another
//   user planted in a sticky directory is refused as that open would refuse
//   it, and a dangling link makes the file it names, with `mode`), and only
//   after another look at that descriptor for writing. Nothing at all at the
//   path gives no descriptor, once the directory could take a new file.
// - openOld: the old file of a writer that replaces the name, with O_PATH
//   (links followed; no permission to read it needed), or nothing.
// - realName: the directory a file is in and its name there, checked by
//   device and inode.
// Failures give false with the system's error text in *err: EISDIR for a
// directory, EINVAL for anything else that is not a regular file.
#pragma once

#include <sys/stat.h>

#include <string>

#include "setup/unique_fd.h"

struct OpenedTarget {
  UniqueFd fd;            // none when nothing stands at the path
  struct stat st {};
  bool created = false;   // made by the open, through a dangling link
};

bool openAsWriter(const std::string& path, mode_t mode, OpenedTarget* out, std::string* err);
bool openOld(const std::string& path, OpenedTarget* out, std::string* err);

// The same file opened anew with `flags` (an O_PATH descriptor too), with
// every check an open makes.
UniqueFd reopen(int fd, int flags);
std::string procPath(int fd);

// The path's directory (".", "/" or the part before the last slash) and
// last name.
void splitPath(const std::string& path, std::string* dir, std::string* name);
// A directory open for reading (so that it can be locked and synced), or,
// one that may be searched but not read, with O_PATH, which still serves
// to make, link and rename names in it.
UniqueFd openDirectory(const std::string& path);
bool realName(const std::string& path, int fd, UniqueFd* dir, std::string* name);
// A name that something is mounted over: no rename can replace it.
bool isMountRoot(int dirfd, const std::string& name);
// Removes the file a failed write made, while it is still empty and still
// has the name.
void removeIfMadeEmpty(int fd, const std::string& path);

bool failWith(std::string* err, int error);
