#include "setup/file_replacer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "setup/file_metadata.h"
#include "setup/rewrite_in_place.h"
#include "setup/wipe.h"

namespace {

// What keeps a copy from standing in for a file that can itself still be
// written: no room or no rights for a new file beside it, metadata it
// can't take, a mount over the name.
bool copyCantServe(int error) {
  switch (error) {
    case ENOSPC:
    case EDQUOT:
    case EACCES:
    case EPERM:
    case EROFS:
    case EMLINK:
    case EOPNOTSUPP:
    case EBUSY:
      return true;
    default:
      return false;
  }
}

bool sameFileAt(int dir, const std::string& a, const std::string& b) {
  struct stat x, y;
  return ::fstatat(dir, a.c_str(), &x, AT_SYMLINK_NOFOLLOW) == 0 &&
         ::fstatat(dir, b.c_str(), &y, AT_SYMLINK_NOFOLLOW) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

std::string nameIn(const std::string& path) {
  std::string dir, name;
  splitPath(path, &dir, &name);
  return name;
}

}  // namespace

FileReplacer::FileReplacer(std::string path, Placement placement, std::string fixed_copy)
    : path_(std::move(path)), placement_(placement), fixed_name_(fixed_copy.empty() ? "" : nameIn(fixed_copy)) {}

FileReplacer::~FileReplacer() {
  if (!committed_ && old_.created) removeIfMadeEmpty(old_.fd.get(), path_);
  // What was written may be a password (the credentials and key files).
  wipeSecret(content_);
}

bool FileReplacer::open(std::string* err, mode_t mode, Metadata metadata) {
  mode_ = mode;
  metadata_ = metadata;
  lock_ = lockDirectoryOf(path_);
  if (!lock_) return failWith(err, errno);
  if (placement_ == Placement::kInPlace) {
    if (!openAsWriter(path_, mode_, &old_, err)) return false;
    if (old_.fd) {
      // A copy takes the name the file has where it really is. A file with
      // more names, one mounted over its name, or one whose name can't be
      // found is written itself, at commit, as is one a copy can't stand
      // in for then.
      in_place_ = !realName(path_, old_.fd.get(), &dir_, &name_) || old_.st.st_nlink > 1 ||
                  isMountRoot(dir_.get(), name_);
      opened_ = true;
      return true;
    }
  } else {
    if (!openOld(path_, &old_, err)) return false;
    // New output is refused where the writer's own open would refuse it.
    OpenedTarget check;
    if (metadata_ == Metadata::kNew && old_.fd && !openAsWriter(path_, mode_, &check, err)) return false;
  }
  std::string dir;
  splitPath(path_, &dir, &name_);
  dir_ = openDirectory(dir);
  if (!dir_) return failWith(err, errno);
  if (!fixed_name_.empty() && !fixed_.makeFixed(dir_.get(), fixed_name_, old_.fd ? 0600 : mode_, err)) return false;
  // Decided before a backup is made: where no new file can carry what the
  // old one has, the old one gets the new content. Where it can't be
  // written either, the new file takes the name with what it can carry, as
  // the name's own rename and a new file would have it.
  if (old_.fd && metadata_ != Metadata::kNew && !copyCarries()) {
    UniqueFd both = reopen(old_.fd.get(), O_RDWR | O_NOCTTY);
    if (both) {
      old_.fd = std::move(both);
      in_place_ = true;
    } else {
      partial_copy_ = true;
    }
  }
  opened_ = true;
  return true;
}

bool FileReplacer::copyCarries() {
  if (fixed_.made()) return carryMetadata(old_.fd.get(), fixed_.fd());
  NewCopy probe;
  std::string ignored;
  // One that can't be made at all fails the write later, with its error.
  return !probe.make(dir_.get(), 0600, &ignored) || carryMetadata(old_.fd.get(), probe.fd());
}

bool FileReplacer::keepBackup(const std::string& backup, std::string* err) {
  if (!opened_) return failWith(err, EBADF);
  if (!old_.fd) return true;
  std::string dir, name;
  splitPath(backup, &dir, &name);
  UniqueFd backupDir = openDirectory(dir);
  if (!backupDir) return failWith(err, errno);
  // The old file is about to change itself: the backup is a copy.
  if (in_place_ || placement_ == Placement::kInPlace) return backUpByCopy(backupDir.get(), name, err);
  if (isMountRoot(dir_.get(), name_)) return failWith(err, EBUSY);
  // The name's own file (a link there stays a link) under a second name;
  // one it already has keeps it as it is.
  if (sameFileAt(dir_.get(), name_, name)) return true;
  if (secondName(dir_.get(), name_, backupDir.get(), name, err)) return true;
  // Too many names, or another user's file that the kernel's link
  // protection keeps an unprivileged user from giving one more: a copy
  // keeps the old content.
  const uid_t user = ::geteuid();
  const bool linkRefused = errno == EMLINK || (errno == EPERM && user != 0 && old_.st.st_uid != user);
  return linkRefused && backUpByCopy(backupDir.get(), name, err);
}

bool FileReplacer::backUpByCopy(int dir, const std::string& name, std::string* err) {
  UniqueFd in = reopen(old_.fd.get(), O_RDONLY | O_NONBLOCK | O_NOCTTY);
  if (!in) return failWith(err, errno);
  NewCopy copy;
  if (!copy.make(dir, 0600, err) || !copy.writeFrom(in.get(), err)) return false;
  carryWhatItCan(old_.fd.get(), copy.fd());
  return copy.place(name, err);
}

bool FileReplacer::write(const void* data, std::size_t length, std::string* err) {
  if (!opened_) return failWith(err, EBADF);
  if (error_ != 0) return failWith(err, error_);
  bool ok = true;
  if (fixed_.made()) {
    ok = fixed_.write(data, length, err);
  } else if (metadata_ == Metadata::kNew) {
    ok = (output_.made() || output_.make(dir_.get(), mode_, err)) && output_.write(data, length, err);
  }
  if (!ok) {
    error_ = errno;
    return false;
  }
  if (metadata_ != Metadata::kNew) content_.append(static_cast<const char*>(data), length);
  return true;
}

bool FileReplacer::writeFrom(int fd, std::string* err) {
  if (!opened_) return failWith(err, EBADF);
  if (metadata_ != Metadata::kNew) return failWith(err, EINVAL);
  if (error_ != 0) return failWith(err, error_);
  if ((output_.made() || output_.make(dir_.get(), mode_, err)) && output_.writeFrom(fd, err)) return true;
  error_ = errno;
  return false;
}

bool FileReplacer::commit(std::string* err) {
  if (!opened_) return failWith(err, EBADF);
  if (error_ != 0) return failWith(err, error_);
  if (!in_place_ && !placeCopy(err)) {
    // A writer in place still writes the file its open reached.
    if (placement_ != Placement::kInPlace || !old_.fd || !copyCantServe(errno)) return false;
    in_place_ = true;
  }
  if (in_place_ && !rewriteInPlace(old_.fd.get(), content_, forcedMode(), err)) return false;
  committed_ = true;
  return true;
}

std::optional<mode_t> FileReplacer::forcedMode() const {
  if (metadata_ == Metadata::kKeep) return std::nullopt;
  return mode_;
}

bool FileReplacer::placeCopy(std::string* err) {
  NewCopy made;
  NewCopy* copy = fixed_.made() ? &fixed_ : metadata_ == Metadata::kNew ? &output_ : &made;
  const bool carries = old_.fd && metadata_ != Metadata::kNew;
  if (!copy->made() && !copy->make(dir_.get(), carries ? 0600 : mode_, err)) return false;
  if (copy == &made && !copy->write(content_.data(), content_.size(), err)) return false;
  // Filled first, then given what the old file has, so that no write of
  // ours clears a set-id bit; the fixed copy took it before, and gets its
  // mode again now.
  if (carries && partial_copy_) {
    carryWhatItCan(old_.fd.get(), copy->fd());
  } else if (carries && copy != &fixed_ && !carryMetadata(old_.fd.get(), copy->fd())) {
    return failWith(err, errno);
  }
  std::optional<mode_t> mode = forcedMode();
  if (!mode && carries && !partial_copy_) mode = old_.st.st_mode & 07777;
  if (mode && !giveMode(copy->fd(), *mode)) return failWith(err, errno);
  return copy->place(name_, err);
}
