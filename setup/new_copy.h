// A new file in a directory that takes a name's place once it is whole.
//
// - make: unnamed (O_TMPFILE) where the file system has it; elsewhere under
//   a random name that lives only while the ending signals are held, so
//   that no signal leaves it behind. makeFixed: under a fixed name (a stale
//   file of that name removed first), left behind after a failure only when
//   keep() is called.
// - place(name) syncs it and gives it the name in one rename (an unnamed
//   copy takes a random name in the moment before, the signals held), then
//   syncs the directory. A failure of that last sync is not reported: the
//   replacement has happened.
// - Destroyed before place() (and without keep()), it leaves no name.
// - secondName gives what stands at a name (a link itself, not followed) a
//   second name the same way: linked under a random name, the signals
//   held, then renamed over whatever had the name.
// Failures give false with the system's error text in *err and errno set.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>

#include "setup/ending_signals.h"
#include "setup/unique_fd.h"

bool secondName(int dirfd, const std::string& existing, int to_dirfd, const std::string& name, std::string* err);

class NewCopy {
 public:
  NewCopy() = default;
  NewCopy(const NewCopy&) = delete;
  NewCopy& operator=(const NewCopy&) = delete;
  ~NewCopy();

  bool make(int dirfd, mode_t mode, std::string* err);
  bool makeFixed(int dirfd, const std::string& name, mode_t mode, std::string* err);
  bool made() const { return static_cast<bool>(fd_); }
  int fd() const { return fd_.get(); }
  bool write(const void* data, std::size_t length, std::string* err);
  // Writes all that can be read from `fd` to its end.
  bool writeFrom(int fd, std::string* err);
  bool place(const std::string& name, std::string* err);
  void keep();

 private:
  bool nameIt(std::string* err);

  int dir_ = -1;  // not owned
  UniqueFd fd_;
  std::string name_;  // its name in dir_, while it has one
  bool fixed_ = false;
  std::optional<EndingSignalsHeld> held_;
};
