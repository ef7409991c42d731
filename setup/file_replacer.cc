#include "setup/file_replacer.h"

#include <acl/libacl.h>
#include <attr/libattr.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <optional>
#include <random>
#include <thread>

#include "setup/ending_signals.h"
#include "setup/files.h"

namespace {

bool fail(std::string* err, int error) {
  if (err) *err = std::strerror(error);
  return false;
}

int notRegular(mode_t mode) { return S_ISDIR(mode) ? EISDIR : EINVAL; }

void splitPath(const std::string& path, std::string* dir, std::string* name) {
  std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) {
    *dir = ".";
    *name = path;
  } else {
    *dir = slash == 0 ? "/" : path.substr(0, slash);
    *name = path.substr(slash + 1);
  }
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

std::string procPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// The path the kernel gives for what an open descriptor names; nothing when
// it has none to give (the file is gone, or the path is too long).
std::optional<std::string> pathOf(int fd) {
  char real[PATH_MAX];
  ssize_t n = ::readlink(procPath(fd).c_str(), real, sizeof real);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof real || real[0] != '/') return std::nullopt;
  return std::string(real, static_cast<std::size_t>(n));
}

// A name of fixed length: a target's name may already use all the bytes a
// directory entry may hold.
std::string temporaryName() {
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static std::mt19937 generator{std::random_device{}()};
  std::uniform_int_distribution<int> pick(0, sizeof(kChars) - 2);
  std::string name(".tavrik-");
  for (int i = 0; i < 6; ++i) name += kChars[pick(generator)];
  return name;
}

// Errors that say no new file can be made or filled in the directory while
// the file itself may still be written.
bool roomOrRightsMissing(int error) {
  return error == EACCES || error == EPERM || error == EROFS || error == ENOSPC || error == EDQUOT ||
         error == EMLINK;
}

// A file mounted over a name is the root of a mount: no rename can replace it.
bool isMountRoot(int dirfd, const char* name, int flags) {
  struct statx stx;
  if (::statx(dirfd, name, flags, STATX_BASIC_STATS, &stx) != 0) return false;
  return (stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) && (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT);
}

// The extended attributes a copy takes: all but the access ACL (copied with
// the mode), and those the kernel keeps itself or drops on a write.
int copyAttribute(const char* name, struct error_context*) {
  static const char* const kSkipped[] = {"system.posix_acl_access", "system.posix_acl_default", "security.evm",
                                         "security.ima", "security.capability"};
  for (const char* skipped : kSkipped)
    if (std::strcmp(name, skipped) == 0) return 0;
  return 1;
}

bool pwriteAll(int fd, const char* data, std::size_t length, off_t offset) {
  while (length > 0) {
    ssize_t n = ::pwrite(fd, data, length, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data += n;
    length -= static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
}

// Errors with which a file system says it can't give this descriptor an
// flock: NFS makes an exclusive one a write lock, which a descriptor open
// only for reading can't take (EBADF), and has none without its lock
// service (ENOLCK); others have none at all.
bool lockNotHad(int error) { return error == EBADF || error == ENOLCK || error == EOPNOTSUPP || error == EINVAL; }

// An exclusive lock on the open file, waited for at most `seconds`.
bool lockExclusive(int fd, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return false;
    if (std::chrono::steady_clock::now() >= deadline) {
      errno = EWOULDBLOCK;
      return false;
    }
    std::this_thread::sleep_for(pause);
    if (pause < std::chrono::milliseconds(50)) pause *= 2;
  }
}

}  // namespace

FileReplacer::FileReplacer(std::string target, std::string temp_path)
    : target_(std::move(target)), fixed_temp_(std::move(temp_path)) {}

FileReplacer::FileReplacer(std::string target, Placement placement)
    : target_(std::move(target)), placement_(placement) {}

FileReplacer::~FileReplacer() {
  if (committed_) return;
  discardTemporary();
  removeCreated();
}

bool FileReplacer::open(std::string* err, mode_t mode, Metadata metadata) {
  mode_ = mode;
  metadata_ = metadata;
  // Looked at first: opening a FIFO or a device can have effects of its own.
  // The kernel follows the links and applies its protections to them here.
  struct stat st;
  bool exists = ::stat(target_.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) return fail(err, errno);
  if (exists && !S_ISREG(st.st_mode)) return fail(err, notRegular(st.st_mode));
  if (!openTarget(exists, err)) return false;
  if (!findDirectory(err)) return false;
  // New output never takes anything from the old file, so it needs no copy
  // of the content to fall back on.
  stage_ = metadata_ != Metadata::kNew;
  if (!fixed_temp_.empty() && !in_place_) {
    // The fixed name belongs to this file: a copy left by an earlier run
    // (or anything planted there) is removed, never written through. The
    // lock keeps another run of the tool away from it meanwhile.
    if (::unlinkat(dir_fd_.get(), temp_name_.c_str(), 0) != 0 && errno != ENOENT) return fail(err, errno);
    bool fall_back = false;
    int error = 0;
    if (!createTemporary(err, &fall_back, &error) && (!fall_back || !switchToInPlace(err))) return false;
  } else if (!target_fd_ && stage_) {
    // Nothing stands at the path: the new file is made now, as the
    // writer's own open would make it, so that the descriptor is real from
    // the start and a directory that can't take it fails the open. It stays
    // unnamed until it is whole.
    bool fall_back = false;
    int error = 0;
    if (!createTemporary(err, &fall_back, &error)) return false;
  }
  opened_ = true;
  return true;
}

bool FileReplacer::openTarget(bool exists, std::string* err) {
  const bool for_writing = placement_ == Placement::kInPlace || metadata_ == Metadata::kNew;
  for (int attempt = 0;; ++attempt) {
    created_ = false;
    lock_fd_.reset();
    target_fd_.reset();
    struct stat link;
    if (!exists && (placement_ == Placement::kRename || ::lstat(target_.c_str(), &link) != 0)) {
      // Nothing stands there: the new file will make the name when it is
      // whole (a killed run leaves none), and there is nothing to lock. A
      // name the writer's own open could not make is refused now, as that
      // open would refuse it.
      have_old_ = false;
      if (placement_ == Placement::kInPlace) {
        std::string dir, name;
        splitPath(target_, &dir, &name);
        if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return fail(err, errno);
      }
      return true;
    }
    // A dangling link in place: the open makes the file it names.
    // As the writer's own open, less the truncation: the old content stays
    // until the new one is whole.
    int flags = (for_writing ? O_WRONLY | O_CREAT : O_RDONLY) | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
    target_fd_.reset(::open(target_.c_str(), flags, mode_));
    if (!target_fd_) return fail(err, errno);
    created_ = !exists && for_writing;
    target_writable_ = for_writing;
    if (::fstat(target_fd_.get(), &old_) != 0) return fail(err, errno);
    if (!S_ISREG(old_.st_mode)) {
      target_fd_.reset();
      return fail(err, notRegular(old_.st_mode));
    }
    if (!lockTarget()) {
      const int error = errno;
      removeCreated();
      return fail(err, error);
    }
    // Another run may have put a new file at the name while this one waited.
    struct stat now;
    exists = ::stat(target_.c_str(), &now) == 0;
    if (exists && sameFile(now, old_)) {
      if (::fstat(target_fd_.get(), &old_) != 0) return fail(err, errno);
      have_old_ = !created_;
      return true;
    }
    if (!exists && errno != ENOENT) return fail(err, errno);
    if (exists && !S_ISREG(now.st_mode)) return fail(err, notRegular(now.st_mode));
    if (attempt >= 100) return fail(err, EWOULDBLOCK);
  }
}

bool FileReplacer::lockTarget() {
  if (lockExclusive(target_fd_.get(), kLockWait)) return true;
  if (!lockNotHad(errno)) return false;
  // The same file open for reading and writing, where the file system
  // needs that: the lock goes with that descriptor. Where none is to be had
  // (that descriptor can't be opened, or the file system has no flock), the
  // run goes on without one, as the writers always went before; a lock
  // another holds is still waited for.
  UniqueFd both(::open(procPath(target_fd_.get()).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!both) return true;
  if (lockExclusive(both.get(), kLockWait)) {
    lock_fd_ = std::move(both);
    return true;
  }
  const int error = errno;
  both.reset();
  errno = error;
  return lockNotHad(error);
}

bool FileReplacer::findDirectory(std::string* err) {
  std::string dir, name;
  splitPath(target_, &dir, &name);
  if (placement_ == Placement::kRename || !target_fd_) {
    // The name at the path itself is replaced.
    dir_fd_.reset(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir_fd_) return fail(err, errno);
    name_ = name;
  } else {
    // The directory the file is really in: the path's own when the name
    // there is the file, else where the kernel's resolution led.
    struct stat there;
    dir_fd_.reset(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir_fd_ || ::fstatat(dir_fd_.get(), name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
        !sameFile(there, old_)) {
      dir_fd_.reset();
      if (std::optional<std::string> real = pathOf(target_fd_.get())) {
        splitPath(*real, &dir, &name);
        dir_fd_.reset(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir_fd_ && (::fstatat(dir_fd_.get(), name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
                        !sameFile(there, old_)))
          dir_fd_.reset();
      }
    }
    name_ = name;
    // No directory to make a copy in (the name is gone, or not reachable
    // from here), a second name that must see the new content, or a mount
    // on the file that no rename could replace: the file itself is written.
    if (!dir_fd_ || (have_old_ && old_.st_nlink > 1) || isMountRoot(target_fd_.get(), "", AT_EMPTY_PATH)) in_place_ = true;
  }
  // A fixed temporary name stands beside the name it replaces.
  if (!fixed_temp_.empty()) {
    std::string temp_dir;
    splitPath(fixed_temp_, &temp_dir, &temp_name_);
  }
  return true;
}

bool FileReplacer::createTemporary(std::string* err, bool* may_fall_back, int* error_out) {
  // Made private first; the mode it ends with comes with the metadata. A
  // new file is made with `mode` as creat(2) would make it.
  const mode_t create_mode = have_old_ || source_fd_ >= 0 ? 0600 : mode_;
  *may_fall_back = false;
  if (!fixed_temp_.empty()) {
    temp_fd_.reset(::openat(dir_fd_.get(), temp_name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                            create_mode));
  } else {
    // Unnamed until it is whole: a run killed meanwhile leaves no name.
    temp_name_.clear();
    temp_fd_.reset(::openat(dir_fd_.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, create_mode));
    if (!temp_fd_ && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
      for (int attempt = 0; !temp_fd_; ++attempt) {
        temp_name_ = temporaryName();
        temp_fd_.reset(::openat(dir_fd_.get(), temp_name_.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, create_mode));
        if (!temp_fd_ && (errno != EEXIST || attempt >= 100)) {
          temp_name_.clear();
          break;
        }
      }
    }
  }
  if (!temp_fd_) {
    *error_out = errno;
    *may_fall_back = mayWriteInPlace() && roomOrRightsMissing(*error_out);
    return fail(err, *error_out);
  }
  if (!giveMetadata(temp_fd_.get(), may_fall_back, error_out)) {
    discardTemporary();
    return fail(err, *error_out);
  }
  temp_settled_ = true;
  return true;
}

bool FileReplacer::giveMetadata(int fd, bool* may_fall_back, int* error) {
  *may_fall_back = false;
  auto failed = [error](int e) {
    *error = e ? e : EPERM;
    return false;
  };
  // What the copy takes after: the old file, or the file a backup copy is
  // made of.
  const bool of_backup = source_fd_ >= 0;
  const int source = of_backup ? source_fd_ : target_fd_.get();
  const struct stat& from = of_backup ? source_ : old_;
  if (metadata_ == Metadata::kNew || (!of_backup && !have_old_)) {
    if (metadata_ != Metadata::kKeep && ::fchmod(fd, mode_) != 0) return failed(errno);
    return true;
  }
  // Whatever of the old file's the copy can't get makes the write go in
  // place, where the file keeps it all; a backup copy has no such way out,
  // and fails.
  *may_fall_back = !of_backup;
  struct stat now;
  if (::fstat(fd, &now) != 0) return failed(errno);
  // Owner and group first: changing them clears the set-id bits.
  if ((now.st_uid != from.st_uid || now.st_gid != from.st_gid) &&
      ::fchown(fd, now.st_uid != from.st_uid ? from.st_uid : static_cast<uid_t>(-1),
               now.st_gid != from.st_gid ? from.st_gid : static_cast<gid_t>(-1)) != 0)
    return failed(errno);
  if (::perm_copy_fd(target_.c_str(), source, target_.c_str(), fd, nullptr) != 0) return failed(errno);
  if (::attr_copy_fd(target_.c_str(), source, target_.c_str(), fd, copyAttribute, nullptr) != 0)
    return failed(errno);
  if (metadata_ == Metadata::kForceMode && ::fchmod(fd, mode_) != 0) return failed(errno);
  *may_fall_back = false;
  return true;
}

bool FileReplacer::switchToInPlace(std::string* err) {
  discardTemporary();
  if (!target_fd_) return fail(err, ENOENT);
  if (!target_writable_) {
    // Opened for reading only: the same file again, for writing.
    UniqueFd writable(::open(procPath(target_fd_.get()).c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!writable) return fail(err, errno);
    // The lock stays with the first descriptor, which stays open.
    write_fd_ = std::move(writable);
  }
  in_place_ = true;
  return true;
}

bool FileReplacer::keepBackup(const std::string& backup, std::string* err) {
  if (!opened_) return fail(err, EBADF);
  if (!have_old_) return true;
  // Settled first, so that a copy that can't carry the old file's metadata
  // does not turn into a rewrite in place of a file that now has a second
  // name. A copy that can't be made at all fails the write, not the backup.
  std::string not_settled;
  settlePlacement(&not_settled);
  if (!in_place_) {
    if (placement_ == Placement::kRename && isMountRoot(dir_fd_.get(), name_.c_str(), AT_SYMLINK_NOFOLLOW))
      return fail(err, EBUSY);
    // A second name for the file: the backup appears whole or not at all,
    // and an older backup is replaced.
    std::string staging = backup + ".new";
    ::unlink(staging.c_str());
    if (::link(target_.c_str(), staging.c_str()) == 0) {
      if (::rename(staging.c_str(), backup.c_str()) == 0) return true;
      const int error = errno;
      ::unlink(staging.c_str());
      return fail(err, error);
    }
    // A file that can't take one more name is copied; any other refusal
    // (an append-only file, a read-only file system) fails the backup.
    if (errno != EMLINK) return fail(err, errno);
  }
  // A copy: the file itself is about to be rewritten (or can't take a
  // second name).
  UniqueFd in(::open(procPath(target_fd_.get()).c_str(), O_RDONLY | O_CLOEXEC));
  if (!in) in.reset(::open(target_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!in) return fail(err, errno);
  // Owner, group, mode, ACL and extended attributes are the file's own,
  // whatever an older backup had.
  FileReplacer copy(backup, backup + ".new");
  copy.source_fd_ = target_fd_.get();
  copy.source_ = old_;
  return copy.open(err, old_.st_mode & 07777) && copy.writeFrom(in.get(), err) && copy.commit(err);
}

bool FileReplacer::settlePlacement(std::string* err) {
  if (in_place_ || temp_settled_) return true;
  bool fall_back = false;
  int error = 0;
  if (createTemporary(err, &fall_back, &error)) return true;
  if (!fall_back) return false;
  return switchToInPlace(err);
}

bool FileReplacer::write(const void* data, std::size_t length, std::string* err) {
  if (!opened_) return fail(err, EBADF);
  if (write_error_ != 0) return fail(err, write_error_);
  if (stage_) staged_.append(static_cast<const char*>(data), length);
  if (in_place_) return true;
  if (!stage_ && !temp_fd_) {
    // New output: its file is made at the first write and filled as it comes.
    bool fall_back = false;
    if (!createTemporary(err, &fall_back, &write_error_)) return false;
  }
  if (!temp_fd_) return true;  // the copy is made at commit
  if (writeAll(temp_fd_.get(), data, length)) return true;
  write_error_ = errno;
  return fail(err, errno);
}

bool FileReplacer::writeFrom(int fd, std::string* err) {
  char piece[65536];
  for (;;) {
    ssize_t n = ::read(fd, piece, sizeof piece);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      write_error_ = errno;
      return fail(err, errno);
    }
    if (n == 0) return true;
    if (!write(piece, static_cast<std::size_t>(n), err)) return false;
  }
}

bool FileReplacer::copyFailed(std::string* err, bool* may_fall_back) {
  const int error = errno;
  *may_fall_back = mayWriteInPlace() && (error == ENOSPC || error == EDQUOT);
  return fail(err, error);
}

bool FileReplacer::placeTemporary(std::string* err, bool* may_fall_back) {
  *may_fall_back = false;
  if (!temp_fd_) {
    int error = 0;
    if (!createTemporary(err, may_fall_back, &error)) return false;
    if (!writeAll(temp_fd_.get(), staged_.data(), staged_.size())) return copyFailed(err, may_fall_back);
  }
  if (::fsync(temp_fd_.get()) != 0) return copyFailed(err, may_fall_back);
  if (temp_name_.empty()) {
    // Named only now that it is whole, for the rename.
    for (int attempt = 0;; ++attempt) {
      temp_name_ = temporaryName();
      if (::linkat(AT_FDCWD, procPath(temp_fd_.get()).c_str(), dir_fd_.get(), temp_name_.c_str(),
                   AT_SYMLINK_FOLLOW) == 0 ||
          ::linkat(temp_fd_.get(), "", dir_fd_.get(), temp_name_.c_str(), AT_EMPTY_PATH) == 0)
        break;
      temp_name_.clear();
      if (errno != EEXIST || attempt >= 100) return copyFailed(err, may_fall_back);
    }
  }
  if (::renameat(dir_fd_.get(), temp_name_.c_str(), dir_fd_.get(), name_.c_str()) != 0) {
    // A mount on the file that was not there at open: no rename can
    // replace it, but the file the open reached can still be written.
    *may_fall_back = mayWriteInPlace() && errno == EBUSY;
    return fail(err, errno);
  }
  temp_name_.clear();
  temp_fd_.reset();
  // Make the rename itself durable; the replacement has happened already,
  // so a failure here is not reported as a failed replacement.
  ::fsync(dir_fd_.get());
  return true;
}

bool FileReplacer::commit(std::string* err) {
  if (!opened_) return fail(err, EBADF);
  if (write_error_ != 0) return fail(err, write_error_);
  if (!in_place_) {
    // Where the copy can't be made, filled or put in place for want of
    // room or rights, a file that may be written in place still is, as
    // the writer's own open and write would write it.
    bool fall_back = false;
    std::string place_err;
    if (!placeTemporary(&place_err, &fall_back)) {
      if (!fall_back) {
        if (err) *err = place_err;
        return false;
      }
      if (!switchToInPlace(err)) return false;
    }
  }
  if (in_place_ && !rewriteInPlace(err)) return false;
  committed_ = true;
  target_fd_.reset();  // the lock goes with it
  lock_fd_.reset();
  return true;
}

bool FileReplacer::rewriteInPlace(std::string* err) {
  const int fd = write_fd_ ? write_fd_.get() : target_fd_.get();
  const std::string& content = staged_;
  struct stat st;
  if (::fstat(fd, &st) != 0) return fail(err, errno);
  const off_t old_size = st.st_size;
  const off_t new_size = static_cast<off_t>(content.size());
  // The mode first: a mode that can't be given fails before the content changes.
  if (metadata_ == Metadata::kForceMode && ::fchmod(fd, mode_) != 0) return fail(err, errno);
  // Room for all of it, where the file system can reserve it.
  if (new_size > 0 && ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, new_size) != 0 && errno != EOPNOTSUPP &&
      errno != ENOSYS) {
    const int error = errno;
    ::ftruncate(fd, old_size);  // gives back what was reserved beyond the end
    return fail(err, error);
  }
  // From the first byte changed to the last sync, a signal that would end
  // the run waits, so that the run never ends with the file half old and
  // half new.
  EndingSignalsHeld held;
  // Where it could not: the part beyond the old end goes first, so that a
  // full disk is met before any old byte is overwritten.
  if (new_size > old_size) {
    const std::size_t head = static_cast<std::size_t>(old_size);
    if (!pwriteAll(fd, content.data() + head, content.size() - head, old_size) || ::fsync(fd) != 0) {
      const int error = errno;
      ::ftruncate(fd, old_size);
      return fail(err, error);
    }
  }
  const std::size_t overwrite = static_cast<std::size_t>(std::min(old_size, new_size));
  if (!pwriteAll(fd, content.data(), overwrite, 0)) return fail(err, errno);
  if (new_size < old_size && ::ftruncate(fd, new_size) != 0) return fail(err, errno);
  if (::fsync(fd) != 0) return fail(err, errno);
  return true;
}

void FileReplacer::keepTemporary() {
  temp_fd_.reset();
  temp_name_.clear();
}

void FileReplacer::discardTemporary() {
  if (!temp_name_.empty() && dir_fd_) ::unlinkat(dir_fd_.get(), temp_name_.c_str(), 0);
  temp_name_.clear();
  temp_fd_.reset();
  temp_settled_ = false;
}

void FileReplacer::removeCreated() {
  if (!created_ || !target_fd_) return;
  created_ = false;
  // Only the empty file this run made, and only while the name is still its.
  struct stat now, mine;
  if (::fstat(target_fd_.get(), &mine) != 0 || mine.st_size != 0) return;
  if (::stat(target_.c_str(), &now) != 0 || !sameFile(now, mine)) return;
  if (dir_fd_ && !name_.empty()) {
    struct stat there;
    if (::fstatat(dir_fd_.get(), name_.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(there, mine))
      ::unlinkat(dir_fd_.get(), name_.c_str(), 0);
    return;
  }
  if (std::optional<std::string> real = pathOf(target_fd_.get())) ::unlink(real->c_str());
}
