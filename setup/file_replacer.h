// Replacement of a file's content for every writer of the tool.
//
// Where the write lands is the kernel's decision. open() opens the path the
// way the writer's own open would (for writing, created when missing, links
// followed by the kernel, so its link and sticky-directory protections and
// every permission apply), after a look with stat that only a regular file
// (or nothing) stands there, so no FIFO or device is ever opened. From then
// on the replacer works from that descriptor: the file it names, and the
// directory that file is really in (found from the descriptor and checked by
// device and inode), with directory-relative calls, so any path the open
// accepts works whatever the length of the names made beside it.
//
// Two placements, by what the writer promises its callers:
// - kInPlace: the new content lands in the file the open reached. Where it
//   can, a new file made in that directory takes the name's place in one
//   rename, so a reader sees the whole old file or the whole new one. A file
//   with several names, one mounted at its path, one whose directory can't
//   take a new file (no permission, no free inode, a full disk), one beside
//   which the copy can't be filled or synced for want of room (ENOSPC,
//   EDQUOT: the rewrite in place secures its own room, see below) and one
//   whose owner, group, mode, ACL or extended attributes a new file could
//   not get are rewritten in place through the descriptor instead.
// - kRename: the new file takes the place of the name at the path (a
//   symbolic link there is replaced, other hard links keep the old content,
//   a file mounted at the path fails with EBUSY). The old file is only
//   opened for reading (the lock and its metadata), as the writers that
//   rename read it anyway; with Metadata::kNew it is opened for writing as
//   the writer's own open would (and only when it exists), so that the
//   kernel refuses what it would refuse that open. One exception: where the
//   new file can't get the old one's owner, group, mode, ACL or extended
//   attributes, the old file is written in place instead (through the path,
//   links followed), so that it ends with what a truncating open of the path
//   would leave; any other failure to make or fill the new file fails the
//   write.
//
// What the new file carries (Metadata):
// - kKeep: the old file's owner, group, mode, ACL and extended attributes
//   (less the ones the kernel owns or a write would drop: security.evm,
//   security.ima, security.capability); a new file gets `mode`, reduced as
//   creat(2) reduces it. Whatever of that can't be given (EPERM, ENOTSUP...)
//   makes the write go in place, for either placement, where the file keeps
//   all of it.
// - kForceMode: as kKeep, then the mode is exactly `mode` (given before the
//   first byte of a rewrite in place changes).
// - kNew: new output (kRename only): the file of whoever runs the tool, with
//   exactly `mode`, nothing taken from the file it replaces; never written
//   in place.
//
// Two runs at once: open() takes an exclusive flock on the file it opened
// and holds it until the replacer is done, checking that the path still
// names the locked file (else it opens it again). A writer that reads the
// old file before it writes (a read, modify, write) opens the replacer
// first. The wait for the lock is bounded (kLockWait), so a lock held by
// anyone who may read the file can delay a run but never hang it: then
// open() fails with EWOULDBLOCK. Where the file system can't lock that
// descriptor (NFS makes an exclusive flock a write lock, so a descriptor
// open only for reading fails with EBADF; ENOLCK without its lock service;
// EOPNOTSUPP or EINVAL elsewhere), the lock is taken on a descriptor of the
// same file open for reading and writing, if one can be opened; where none
// can be had at all, the write goes on without a lock.
//
// Room and failures: the rename placement writes and syncs the whole new
// file before the rename, so a full disk or a failed sync leaves the old
// file; the copy is unnamed until it is whole (O_TMPFILE where the file
// system has it), so a killed run leaves no name behind. The rewrite in
// place secures the room first: room is reserved where fallocate works, and
// the part beyond the old end is written and synced before any old byte is
// overwritten; a failure there puts the length back, so the old content is
// whole. From the first byte written beyond the old end (or the first old
// byte overwritten) to the final truncate and sync, the catchable signals
// whose default ends the process (SIGINT, SIGTERM, SIGHUP, SIGQUIT and the
// others, see setup/ending_signals.h) are blocked, and act once the mask is
// put back. Only SIGKILL, a crash or an I/O error in that window (or a
// copy-on-write file system, where an overwrite needs new room, or an old
// file with holes) can still leave it partly rewritten.
//
// Calling order:
//  1. FileReplacer r(target) / r(target, kInPlace) / r(target, temp_path)
//     for a fixed temporary name beside the target (made at open(), after a
//     stale one is removed; left behind by keepTemporary()).
//  2. r.open(&err, mode, metadata) -- look, open, lock, find the directory.
//     Where nothing stands, the new file is made now, unnamed until it is
//     whole (its descriptor is descriptor(); a directory the writer's open
//     could not create in is refused now), and takes the name at commit;
//     through a dangling link, the open makes the file the link names, and
//     removes it again unless a commit succeeds.
//  3. optionally r.keepBackup(path, &err) -- the old file stays under that
//     name: a second name for it, or, when it will be written in place (or
//     can't take one more name), a copy with the file's own owner, group,
//     mode, ACL and extended attributes (whatever an older backup had); a
//     copy that can't get them fails the backup.
//  4. r.write(...) as often as needed.
//  5. r.commit(&err) -- the new content takes its place; the rename is made
//     durable by a sync of the directory.
// Any step that fails returns false with the system's error text in *err;
// after a failed write, commit refuses. Without a successful commit the
// target is untouched and nothing the replacer made is left behind.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

#include "setup/unique_fd.h"

class FileReplacer {
 public:
  enum class Placement { kRename, kInPlace };
  enum class Metadata { kKeep, kForceMode, kNew };
  // The longest wait for another holder of the file's lock, in seconds.
  static constexpr int kLockWait = 30;

  explicit FileReplacer(std::string target, std::string temp_path = {});
  FileReplacer(std::string target, Placement placement);
  FileReplacer(const FileReplacer&) = delete;
  FileReplacer& operator=(const FileReplacer&) = delete;
  ~FileReplacer();

  bool open(std::string* err, mode_t mode = 0666, Metadata metadata = Metadata::kKeep);
  bool keepBackup(const std::string& backup, std::string* err);
  bool write(const void* data, std::size_t length, std::string* err);
  bool write(const std::string& text, std::string* err) { return write(text.data(), text.size(), err); }
  // Writes all that can be read from `fd` to its end; a read error fails
  // it as a write error does.
  bool writeFrom(int fd, std::string* err);
  bool commit(std::string* err);

  // Closes the fixed temporary file and leaves it where it is.
  void keepTemporary();

  // True when a file stood at the path when it was opened.
  bool hadOldFile() const { return have_old_; }
  // The descriptor of the file the path names, as the writer's own open
  // would have returned it (where nothing stood there, the new file's),
  // for traces; -1 when none is open.
  int descriptor() const { return target_fd_ ? target_fd_.get() : temp_fd_.get(); }

 private:
  bool openTarget(bool exists, std::string* err);
  bool lockTarget();
  bool findDirectory(std::string* err);
  bool createTemporary(std::string* err, bool* may_fall_back, int* error);
  bool giveMetadata(int fd, bool* may_fall_back, int* error);
  bool settlePlacement(std::string* err);
  bool switchToInPlace(std::string* err);
  bool rewriteInPlace(std::string* err);
  bool placeTemporary(std::string* err, bool* may_fall_back);
  bool copyFailed(std::string* err, bool* may_fall_back);
  // The file the open reached may be written in place when no copy can be.
  bool mayWriteInPlace() const { return placement_ == Placement::kInPlace && target_fd_; }
  void discardTemporary();
  void removeCreated();

  std::string target_;
  Placement placement_ = Placement::kRename;
  Metadata metadata_ = Metadata::kKeep;
  mode_t mode_ = 0666;
  std::string fixed_temp_;   // the fixed temporary path, or empty
  bool opened_ = false;
  bool committed_ = false;

  UniqueFd target_fd_;       // the old file (or the one the open created): locked
  bool target_writable_ = false;
  UniqueFd write_fd_;        // the same file for writing, when it was opened for reading
  UniqueFd lock_fd_;         // the same file for reading and writing, where only that takes the lock
  struct stat old_ {};       // its status once locked
  bool have_old_ = false;    // a file stood at the path
  bool created_ = false;     // the open made it
  // For a backup copy: the file it is a copy of, whose metadata it takes
  // (not owned; -1 otherwise).
  int source_fd_ = -1;
  struct stat source_ {};

  UniqueFd dir_fd_;          // the directory the name is really in
  std::string name_;         // the name there that the new file takes

  bool in_place_ = false;
  UniqueFd temp_fd_;
  std::string temp_name_;    // the temporary file's name in dir_fd_, when it has one
  bool temp_settled_ = false;  // the copy exists and carries what it must
  std::string staged_;       // the content, kept for a rewrite in place
  bool stage_ = true;
  int write_error_ = 0;
};
