// Safe replacement of a file: the new content goes to a temporary file in the
// target's own directory and takes the target's place in one rename, so a
// reader sees either the whole old file or the whole new one, never a part.
//
// Calling order:
//  1. FileReplacer r(target)            -- or r(target, temp_path) for a
//     fixed temporary name (a stale file of that name is removed first);
//  2. r.open(&err)                      -- creates the temporary file with
//     O_EXCL; it gets the old file's mode (and owner and group when run as
//     root), or `mode` (less the creation mask) when there is no old file;
//     with force_mode the temporary file gets exactly `mode` in any case;
//  3. r.write(...) as often as needed   -- every byte is written: short
//     writes are continued and EINTR is retried;
//  4. r.commit(&err)                    -- fsync, close, rename over the
//     target, then fsync of the directory.
// Any step that fails returns false with the system's error text in *err;
// after a failed write, commit refuses (a partial file never takes the place
// of the old one).
// Without a successful commit the destructor removes the temporary file and
// the target is untouched; keepTemporary() leaves it behind instead.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "setup/unique_fd.h"

class FileReplacer {
 public:
  explicit FileReplacer(std::string target, std::string temp_path = {});
  FileReplacer(const FileReplacer&) = delete;
  FileReplacer& operator=(const FileReplacer&) = delete;
  ~FileReplacer();

  bool open(std::string* err, mode_t mode = 0666, bool force_mode = false);
  bool write(const void* data, std::size_t length, std::string* err);
  bool write(const std::string& text, std::string* err) {
    return write(text.data(), text.size(), err);
  }
  bool commit(std::string* err);

  // Closes the temporary file and leaves it where it is (no rename).
  void keepTemporary();
  // Removes the temporary file now; the target stays as it was.
  void rollback();

  // The temporary file's descriptor (-1 when none is open), for traces.
  int descriptor() const { return fd_.get(); }
  const std::string& temporaryPath() const { return temp_; }

 private:
  std::string target_;
  std::string temp_;
  bool fixed_temp_;
  UniqueFd fd_;
  bool created_ = false;
  bool committed_ = false;
  int write_error_ = 0;  // first failed write, refused again at commit
};
