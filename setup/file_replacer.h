// Safe replacement of a file: the new content goes to a temporary file in the
// target's own directory and takes the target's place in one rename, so a
// reader sees either the whole old file or the whole new one, never a part.
// Only the rewrite in place below gives up that promise: a crash in the
// middle of it can leave the file partly rewritten, and on a copy-on-write
// file system the room reserved first does not cover the overwritten blocks,
// so a full disk can still stop it halfway.
//
// Two placements, by what the writer promises its callers:
// - kRename: the new file takes the place of whatever name stands at the
//   path. A symbolic link there is replaced by the new file, other hard
//   links keep the old content, and a file that cannot be renamed over (a
//   single file bind-mounted at the path: EBUSY) is a failure.
// - kInPlace: the new content lands in the file the path names now, as an
//   open for writing with truncation would put it there. A symbolic link is
//   followed to its target and stays a link; a file with several names, or
//   bind-mounted at the path, is rewritten in place (all of the new content
//   is kept first, room for it is reserved, then every byte is written, the
//   file cut to length and synced), so every name sees the new content. So
//   is a file where no copy can be made beside it, and, for a caller other
//   than root, a file whose owner or group a new file could not get
//   (another user's file, also in a sticky directory): it keeps both.
// Either way an existing target must be a regular file (for kRename a link
// may stand there too, when it leads to a regular file or nowhere): a
// directory is refused with EISDIR, a FIFO, device node or socket with
// EINVAL, before anything is written. kInPlace also refuses an existing file
// the process may not write (access(2)), as opening it would.
//
// Calling order:
//  1. FileReplacer r(target) / r(target, kInPlace)
//                                       -- or r(target, temp_path) for a
//     fixed temporary name (a stale file of that name is removed first);
//     otherwise the temporary name has a fixed length, however long the
//     target's name is;
//  2. r.open(&err)                      -- checks the target and creates the
//     temporary file with O_EXCL; it gets the old file's mode (and owner and
//     group when run as root), or `mode` (less the creation mask) when there
//     is no old file; with force_mode the file ends with exactly `mode` (a
//     rewrite in place gives it before the first byte changes);
//  3. r.write(...) as often as needed   -- every byte is written: short
//     writes are continued and EINTR is retried;
//  4. r.commit(&err)                    -- fsync, close, rename over the
//     target (or the rewrite in place), then fsync of the directory.
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
  enum class Placement { kRename, kInPlace };

  explicit FileReplacer(std::string target, std::string temp_path = {});
  FileReplacer(std::string target, Placement placement);
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

  // The check open() makes for kRename, for writers that move a finished
  // file into place themselves: true when nothing, a regular file, or a
  // link to a regular file or to nothing stands at the path.
  static bool mayReplace(const std::string& target, std::string* err);

  // The descriptor written to (-1 when none is open), for traces.
  int descriptor() const { return fd_.get(); }
  const std::string& temporaryPath() const { return temp_; }

 private:
  bool openInPlace(std::string* err);
  bool rewriteInPlace(const std::string& content, std::string* err);
  bool readBackTemporary(std::string* content, std::string* err);

  std::string target_;
  Placement placement_ = Placement::kRename;
  std::string final_;  // the file that gets the content: target_, or where its links lead
  std::string temp_;
  bool fixed_temp_ = false;
  UniqueFd fd_;
  bool created_ = false;
  bool committed_ = false;
  bool in_place_ = false;  // no temporary file: the content waits in staged_
  std::string staged_;
  mode_t mode_ = 0666;
  bool force_mode_ = false;
  int write_error_ = 0;  // first failed write, refused again at commit
};
