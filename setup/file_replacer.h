// Replaces a file's content, for every writer of the tool.
//
// The rule: the bytes written become the whole content of the file that the
// writer's own open of the path reaches (kInPlace: where links lead, seen by
// every name it has) or of the new file that takes the name (kRename: a link
// there is replaced), carrying the old file's owner, group, whole mode, ACL,
// extended attributes and inode flags, with or without /proc. A failure at
// any moment, or any signal but SIGKILL, leaves the old content or the new,
// whole, and no name that was not there before (but a fixed copy name the
// writer asks for). Runs of the tool take turns: the lock of the directory
// where the new file takes its name (dir_lock.h) is held from open() to the
// end, and taking it removes what a killed run left there.
// The exceptions to the metadata: kForceMode gives exactly `mode`; kNew
// (kRename only) makes new output of whoever runs the tool; and a kRename
// writer that can neither give a new file all the old one has nor write the
// old one itself replaces it with a new file that carries what it can
// (file_metadata.h), as moving the old one away and making a new one would.
//
// Where the content goes is decided in one place, on the same grounds for
// both placements:
// 1. A new file, where nothing stands at the path or the output is new.
// 2. The old file itself, for a writer in place, where a new file can't
//    take the place of every name it has: a second name, a mount over its
//    name, a real name that can't be found. (A renaming writer replaces the
//    one name, a mount over it fails with EBUSY.)
// 3. The old file itself, where no new file can carry all it has (probed at
//    open); a renaming writer that can't write it makes a new file that
//    carries what it can.
// 4. The old file itself, for a writer in place, where the new file can't
//    be made or put in place for want of room or rights (ENOSPC, EDQUOT,
//    EACCES, EPERM, EROFS, EMLINK, EOPNOTSUPP, EBUSY), as its own open and
//    write would; a renaming writer fails then.
// Else a new file takes the name: synced, linked at the name where nothing
// stands there, or renamed over what stands there, and the directory synced.
//
// Under SIGKILL (which no process can hold off) or a crash:
// - A new file's replacement still leaves the old content or the new,
//   whole; a temporary name (".tavrik-" and six letters or digits) may stay
//   until the next run that locks the directory removes it. No writer ever
//   writes at a name of that form: open() refuses it with EINVAL.
// - A rewrite in place (2 to 4) makes no such promise: killed between its
//   first and its last changed byte, the file can hold new bytes before old
//   ones, with the old length or the new, and its mode not yet given
//   (rewrite_in_place.h). Every other ending signal waits until it is whole.
//
// Calling order: FileReplacer r(path, placement[, fixed copy path]);
// r.open(&err, mode[, metadata]); [r.keepBackup(path + suffix, &err)];
// r.write(...) as often as needed, or r.writeFrom(fd) / r.takeFile(path)
// for new output; r.commit(&err). Failures give false with the system's
// error text in *err; without a commit nothing changes.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>

#include "setup/dir_lock.h"
#include "setup/new_copy.h"
#include "setup/writer_open.h"

class FileReplacer {
 public:
  enum class Placement { kInPlace, kRename };
  enum class Metadata { kKeep, kForceMode, kNew };

  FileReplacer(std::string path, Placement placement, std::string fixed_copy = {});
  FileReplacer(const FileReplacer&) = delete;
  FileReplacer& operator=(const FileReplacer&) = delete;
  ~FileReplacer();

  // `mode` is a new file's, reduced as creat(2) reduces it.
  bool open(std::string* err, mode_t mode = 0666, Metadata metadata = Metadata::kKeep);
  // The old file stays under `backup`, a name beside the path's.
  bool keepBackup(const std::string& backup, std::string* err);
  bool write(const void* data, std::size_t length, std::string* err);
  bool write(const std::string& text, std::string* err) { return write(text.data(), text.size(), err); }
  bool writeFrom(int fd, std::string* err);  // new output only: all fd holds
  // New output only, as all it is: the whole file at `source`, which the
  // caller gives up. It is itself renamed into place from another directory
  // of the same file system, copied from another one.
  bool takeFile(const std::string& source, std::string* err);
  bool commit(std::string* err);
  // After a failure, the fixed copy stays as far as it was written.
  void keepFixedCopy() { fixed_.keep(); }
  // For traces: the old file's descriptor, or where nothing stood, its
  // directory's (the new file is made at commit).
  int descriptor() const { return old_.fd ? old_.fd.get() : dir_.get(); }

 private:
  enum class Way { kCopy, kInPlace, kPartialCopy, kFail };
  Way decide(int copyError = 0);
  bool copyCarries();
  bool backUpByCopy(int dir, const std::string& name, std::string* err);
  bool placeCopy(std::string* err);
  std::optional<mode_t> forcedMode() const;

  std::string path_;
  Placement placement_;
  std::string fixed_name_;  // the fixed copy's name beside the path's, or empty
  Metadata metadata_ = Metadata::kKeep;
  mode_t mode_ = 0666;
  bool opened_ = false;
  bool committed_ = false;
  int error_ = 0;  // of a failed write: commit refuses

  HeldDirLock lock_;       // the path's directory
  HeldDirLock placeLock_;  // where the new file takes its name, if elsewhere
  HeldDirLock backupLock_;
  OpenedTarget old_;       // the file the writer's open reached, if any
  UniqueFd dir_;           // where the new file takes its name
  std::string name_;
  Way way_ = Way::kCopy;
  NewCopy fixed_;          // the fixed copy, filled as the writer writes
  NewCopy output_;         // new output, filled as it comes
  std::string content_;    // everything else waits for the commit
};
