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
  if (!committed_ && old_.created) removeIfMadeEmpty(old_);
  // What was written may be a password (the credentials and key files).
  wipeSecret(content_);
}

bool FileReplacer::open(std::string* err, mode_t mode, Metadata metadata) {
  mode_ = mode;
  metadata_ = metadata;
  std::string dir;
  splitPath(path_, &dir, &name_);
  // A later run would take a file under such a name for one a killed run
  // left, and remove it. Refused before any lock is taken: taking one
  // removes such names, the file the user named among them.
  if (isTemporaryName(name_)) return failWith(err, EINVAL);
  lock_ = lockDirectoryOf(path_);
  if (!lock_) return failWith(err, errno);
  if (placement_ == Placement::kInPlace) {
    if (!openAsWriter(path_, mode_, &old_, err)) return false;
  } else {
    if (!openOld(path_, &old_, err)) return false;
    // New output is refused where the writer's own open would refuse it.
    OpenedTarget check;
    if (metadata_ == Metadata::kNew && old_.fd && !openAsWriter(path_, mode_, &check, err)) return false;
  }
  if (placement_ == Placement::kInPlace && old_.dir) {
    // A copy takes the name the file has where it really is, under that
    // directory's lock.
    if (isTemporaryName(old_.name)) return failWith(err, EINVAL);
    dir_.reset(::fcntl(old_.dir.get(), F_DUPFD_CLOEXEC, 0));
    name_ = old_.name;
    placeLock_ = lockDirectoryOf(realPath(old_));
    if (!dir_ || !placeLock_) return failWith(err, errno);
  } else {
    dir_ = openDirectory(dir);
    if (!dir_) return failWith(err, errno);
  }
  if (!fixed_name_.empty() && !fixed_.makeFixed(dir_.get(), fixed_name_, old_.fd ? 0600 : mode_, err)) return false;
  way_ = decide();
  opened_ = true;
  return true;
}

FileReplacer::Way FileReplacer::decide(int copyError) {
  if (!old_.fd || metadata_ == Metadata::kNew) return copyError == 0 ? Way::kCopy : Way::kFail;
  const bool inPlaceWriter = placement_ == Placement::kInPlace;
  if (copyError != 0) return inPlaceWriter && copyCantServe(copyError) ? Way::kInPlace : Way::kFail;
  if (inPlaceWriter && (!old_.dir || old_.st.st_nlink > 1 || isMountRoot(dir_.get(), name_))) return Way::kInPlace;
  if (copyCarries()) return Way::kCopy;
  if (inPlaceWriter) return Way::kInPlace;  // its descriptor is open for writing
  UniqueFd both = reopen(old_, O_RDWR);
  if (!both) return Way::kPartialCopy;
  old_.fd = std::move(both);
  return Way::kInPlace;
}

bool FileReplacer::copyCarries() {
  if (fixed_.made()) return carryMetadata(old_, fixed_.fd());
  NewCopy probe;
  std::string ignored;
  // One that can't be made at all fails the write later, with its error.
  return !probe.make(dir_.get(), 0600, &ignored) || carryMetadata(old_, probe.fd());
}

bool FileReplacer::keepBackup(const std::string& backup, std::string* err) {
  if (!opened_) return failWith(err, EBADF);
  if (!old_.fd) return true;
  std::string dir, name;
  splitPath(backup, &dir, &name);
  if (isTemporaryName(name)) return failWith(err, EINVAL);
  backupLock_ = lockDirectoryOf(backup);
  if (!backupLock_) return failWith(err, errno);
  UniqueFd backupDir = openDirectory(dir);
  if (!backupDir) return failWith(err, errno);
  // The old file is about to change itself: the backup is a copy.
  if (way_ == Way::kInPlace || placement_ == Placement::kInPlace) return backUpByCopy(backupDir.get(), name, err);
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
  UniqueFd in = readableOf(old_);
  if (!in || ::lseek(in.get(), 0, SEEK_SET) != 0) return failWith(err, errno);
  NewCopy copy;
  if (!copy.make(dir, 0600, err) || !copy.writeFrom(in.get(), err)) return false;
  carryWhatItCan(old_, copy.fd());
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
  if (metadata_ != Metadata::kNew || output_.adopted()) return failWith(err, EINVAL);
  if (error_ != 0) return failWith(err, error_);
  if ((output_.made() || output_.make(dir_.get(), mode_, err)) && output_.writeFrom(fd, err)) return true;
  error_ = errno;
  return false;
}

bool FileReplacer::takeFile(const std::string& source, std::string* err) {
  if (!opened_) return failWith(err, EBADF);
  if (metadata_ != Metadata::kNew || output_.made()) return failWith(err, EINVAL);
  if (error_ != 0) return failWith(err, error_);
  return output_.adopt(source, dir_.get(), err);
}

bool FileReplacer::commit(std::string* err) {
  if (!opened_) return failWith(err, EBADF);
  if (error_ != 0) return failWith(err, error_);
  if (way_ != Way::kInPlace && !placeCopy(err)) {
    way_ = decide(errno);
    if (way_ != Way::kInPlace) return false;
  }
  if (way_ == Way::kInPlace && !rewriteInPlace(old_.fd.get(), content_, forcedMode(), err)) return false;
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
  if (carries && way_ == Way::kPartialCopy) {
    carryWhatItCan(old_, copy->fd());
  } else if (carries && copy != &fixed_ && !carryMetadata(old_, copy->fd())) {
    return failWith(err, errno);
  }
  std::optional<mode_t> mode = forcedMode();
  if (!mode && carries && way_ != Way::kPartialCopy) mode = old_.st.st_mode & 07777;
  if (mode && !giveMode(copy->fd(), *mode)) return failWith(err, errno);
  if (copy->place(name_, err)) return true;
  if (errno != EXDEV || !copy->adopted()) return false;
  // Taken over from another file system: a copy of it takes the name.
  NewCopy copied;
  return copied.make(dir_.get(), mode_, err) && copied.writeFrom(copy->fd(), err) &&
         (!mode || giveMode(copied.fd(), *mode) || failWith(err, errno)) && copied.place(name_, err);
}
