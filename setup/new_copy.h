// A new file in a directory that takes a name's place once it is whole.
//
// - make: unnamed (O_TMPFILE) where the file system has it and the process
//   can name such a file later (linkat with AT_EMPTY_PATH, or /proc where
//   it is mounted); elsewhere under a temporary name that lives only while
//   the ending signals are held. makeFixed: under a fixed name (a stale file
//   of that name removed first), left behind after a failure only when
//   keep() is called. adopt: a whole file of the caller's elsewhere, which
//   place() renames (EXDEV from another file system: then copy it).
// - place(name) syncs it, then gives it the name: an unnamed copy where
//   nothing stands there is linked at the name itself; otherwise it takes a
//   temporary name in the moment before (the signals held) and is renamed
//   over what stands there. Then it syncs the directory; a failure of that
//   last sync is not reported: the replacement has happened.
// - Destroyed before place() (and without keep()), it leaves no name.
// - secondName gives what stands at a name (a link itself, not followed) a
//   second name the same way: linked at the name where nothing stands
//   there, else under a temporary name, the signals held, and renamed over
//   whatever had the name.
// - A SIGKILL can't be held: it can leave a temporary name, which the next
//   run that locks the directory removes (removeStrayCopies, dir_lock.h).
//   A temporary name is ".tavrik-" and six letters or digits; the writers
//   never give a file of their own such a name (isTemporaryName).
// Failures give false with the system's error text in *err and errno set.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>

#include "setup/ending_signals.h"
#include "setup/unique_fd.h"

bool secondName(int dirfd, const std::string& existing, int to_dirfd, const std::string& name, std::string* err);

bool isTemporaryName(const std::string& name);
// Removes what a killed run left in `dirfd` (open for reading) under
// temporary names: regular files, and second names of links whose first
// name still stands; in a sticky directory only those of the user running
// the tool. Only for a directory whose lock is held.
void removeStrayCopies(int dirfd);

class NewCopy {
 public:
  NewCopy() = default;
  NewCopy(const NewCopy&) = delete;
  NewCopy& operator=(const NewCopy&) = delete;
  ~NewCopy();

  bool make(int dirfd, mode_t mode, std::string* err);
  bool makeFixed(int dirfd, const std::string& name, mode_t mode, std::string* err);
  bool adopt(const std::string& path, int dirfd, std::string* err);
  bool made() const { return static_cast<bool>(fd_); }
  bool adopted() const { return static_cast<bool>(from_); }
  int fd() const { return fd_.get(); }
  bool write(const void* data, std::size_t length, std::string* err);
  // Writes all that can be read from `fd` to its end.
  bool writeFrom(int fd, std::string* err);
  bool place(const std::string& name, std::string* err);
  void keep();

 private:
  bool linkAt(const std::string& name);
  bool nameIt(std::string* err);

  int dir_ = -1;  // not owned
  UniqueFd fd_;
  std::string name_;  // its name in dir_ (or in from_), while it has one
  UniqueFd from_;     // an adopted file's directory
  bool fixed_ = false;
  std::optional<EndingSignalsHeld> held_;
};
