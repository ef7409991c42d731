#include "setup/file_replacer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <random>

#include "setup/files.h"

namespace {

bool fail(std::string* err, int error) {
  if (err) *err = std::strerror(error);
  return false;
}

std::string directoryOf(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
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

// Where the symbolic links at `path` lead, as open(2) would follow them; a
// dangling link gives the path it names (where a creating open makes the
// file).
bool followLinks(const std::string& path, std::string* out, int* error) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      *out = current;
      return true;
    }
    char to[PATH_MAX];
    ssize_t n = ::readlink(current.c_str(), to, sizeof to);
    if (n < 0) {
      *error = errno;
      return false;
    }
    if (static_cast<std::size_t>(n) >= sizeof to) {
      *error = ENAMETOOLONG;
      return false;
    }
    std::string next(to, static_cast<std::size_t>(n));
    current = next[0] == '/' ? next : directoryOf(current) + "/" + next;
  }
  *error = ELOOP;
  return false;
}

// What stands at `path` must be a regular file (or nothing). With
// allow_link, a link there is looked through. *old gets the file's status
// when there is one.
bool inspectTarget(const std::string& path, bool allow_link, struct stat* old, bool* have_old, int* error) {
  *have_old = false;
  if (::lstat(path.c_str(), old) != 0) {
    if (errno == ENOENT) return true;
    *error = errno;
    return false;
  }
  if (S_ISLNK(old->st_mode) && allow_link) {
    if (::stat(path.c_str(), old) != 0) {
      if (errno == ENOENT) return true;  // dangling: the link itself is replaced
      *error = errno;
      return false;
    }
  }
  if (!S_ISREG(old->st_mode)) {
    *error = S_ISDIR(old->st_mode) ? EISDIR : EINVAL;
    return false;
  }
  *have_old = true;
  return true;
}

// A file bind-mounted over the path is the root of a mount: no rename can
// replace it.
bool isMountRoot(const std::string& path) {
  struct statx stx;
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &stx) != 0) return false;
  return (stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) && (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT);
}

}  // namespace

FileReplacer::FileReplacer(std::string target, std::string temp_path)
    : target_(std::move(target)), temp_(std::move(temp_path)), fixed_temp_(!temp_.empty()) {}

FileReplacer::FileReplacer(std::string target, Placement placement)
    : target_(std::move(target)), placement_(placement) {}

FileReplacer::~FileReplacer() {
  if (!committed_) rollback();
}

bool FileReplacer::mayReplace(const std::string& target, std::string* err) {
  struct stat old;
  bool have_old;
  int error = 0;
  return inspectTarget(target, true, &old, &have_old, &error) || fail(err, error);
}

bool FileReplacer::open(std::string* err, mode_t mode, bool force_mode) {
  mode_ = mode;
  force_mode_ = force_mode;
  int error = 0;
  final_ = target_;
  if (placement_ == Placement::kInPlace && !followLinks(target_, &final_, &error)) return fail(err, error);
  struct stat old;
  bool have_old;
  if (!inspectTarget(final_, placement_ == Placement::kRename, &old, &have_old, &error)) return fail(err, error);

  if (placement_ == Placement::kInPlace && have_old) {
    if (::access(final_.c_str(), W_OK) != 0) return fail(err, errno);
    // A second name of the file, or a mount on it, must see the new
    // content: a rename would leave them the old file. Nor can a new file
    // keep another user's ownership (only root may give a file away), and
    // in a sticky directory only the owner may rename over a file.
    if (old.st_nlink > 1 || isMountRoot(final_) || (::geteuid() != 0 && old.st_uid != ::geteuid())) {
      in_place_ = true;
      return openInPlace(err);
    }
  }

  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  if (fixed_temp_) {
    // The fixed name belongs to this file: a copy left by an earlier run
    // (or anything planted there) is removed, never written through.
    if (::unlink(temp_.c_str()) != 0 && errno != ENOENT) return fail(err, errno);
    fd_.reset(::open(temp_.c_str(), flags, mode));
    if (!fd_) return fail(err, errno);
  } else {
    const std::string dir = directoryOf(final_) + "/";
    for (int attempt = 0;; ++attempt) {
      temp_ = dir + temporaryName();
      fd_.reset(::open(temp_.c_str(), flags, mode));
      if (fd_) break;
      const int error = errno;
      // No new file may be made beside it, but the file itself may be
      // written, as opening it would write it.
      if (placement_ == Placement::kInPlace && have_old &&
          (error == EACCES || error == EPERM || error == EROFS)) {
        in_place_ = true;
        return openInPlace(err);
      }
      if (error != EEXIST || attempt >= 100) return fail(err, error);
    }
  }
  created_ = true;

  if (have_old && ::geteuid() == 0) {
    if (::fchown(fd_.get(), old.st_uid, old.st_gid) != 0) return fail(err, errno);
  } else if (have_old && placement_ == Placement::kInPlace) {
    // The owner's own file, but perhaps of a group the new file can't get
    // (one the user is not a member of): then the file itself is written.
    struct stat now;
    if (::fstat(fd_.get(), &now) != 0) return fail(err, errno);
    if (now.st_gid != old.st_gid && ::fchown(fd_.get(), static_cast<uid_t>(-1), old.st_gid) != 0) {
      rollback();
      in_place_ = true;
      return openInPlace(err);
    }
  }
  // After any fchown, which clears set-id bits.
  if (force_mode) {
    if (::fchmod(fd_.get(), mode) != 0) return fail(err, errno);
  } else if (have_old) {
    if (::fchmod(fd_.get(), old.st_mode & 07777) != 0) return fail(err, errno);
  }
  return true;
}

bool FileReplacer::openInPlace(std::string* err) {
  // Non-blocking, so that a FIFO put there meanwhile can't hang the open.
  fd_.reset(::open(final_.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd_) return fail(err, errno);
  struct stat st;
  if (::fstat(fd_.get(), &st) != 0) return fail(err, errno);
  if (!S_ISREG(st.st_mode)) {
    fd_.reset();
    return fail(err, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  }
  return true;
}

bool FileReplacer::write(const void* data, std::size_t length, std::string* err) {
  if (!fd_) return fail(err, EBADF);
  if (in_place_) {
    staged_.append(static_cast<const char*>(data), length);
    return true;
  }
  if (writeAll(fd_.get(), data, length)) return true;
  write_error_ = errno;
  return fail(err, errno);
}

bool FileReplacer::rewriteInPlace(const std::string& content, std::string* err) {
  const int fd = fd_.get();
  // Room for all of it first: a full disk then fails before a byte of the
  // old content is overwritten.
  if (!content.empty() && ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(content.size())) != 0 &&
      errno != EOPNOTSUPP && errno != ENOSYS)
    return fail(err, errno);
  // The mode first: a mode that can't be given fails before the content changes.
  if (force_mode_ && ::fchmod(fd, mode_) != 0) return fail(err, errno);
  if (::lseek(fd, 0, SEEK_SET) != 0) return fail(err, errno);
  if (!writeAll(fd, content.data(), content.size())) return fail(err, errno);
  if (::ftruncate(fd, static_cast<off_t>(content.size())) != 0) return fail(err, errno);
  if (::fsync(fd) != 0) return fail(err, errno);
  if (fd_.close() != 0) return fail(err, errno);
  return true;
}

bool FileReplacer::readBackTemporary(std::string* content, std::string* err) {
  UniqueFd in(::open(temp_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!in) return fail(err, errno);
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(in.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(err, errno);
    if (n == 0) return true;
    content->append(buffer, static_cast<std::size_t>(n));
  }
}

bool FileReplacer::commit(std::string* err) {
  if (!fd_) return fail(err, EBADF);
  if (write_error_ != 0) return fail(err, write_error_);
  if (in_place_) {
    if (!rewriteInPlace(staged_, err)) return false;
    committed_ = true;
    return true;
  }
  if (::fsync(fd_.get()) != 0) return fail(err, errno);
  if (fd_.close() != 0) return fail(err, errno);
  if (::rename(temp_.c_str(), final_.c_str()) != 0) {
    const int error = errno;
    if (error != EBUSY || placement_ != Placement::kInPlace) return fail(err, error);
    // A mount on the file that was not seen at open: the content it must
    // get is whole in the temporary file.
    std::string content;
    if (!readBackTemporary(&content, err) || !openInPlace(err) || !rewriteInPlace(content, err)) return false;
    rollback();
    committed_ = true;
    return true;
  }
  committed_ = true;
  // Make the rename itself durable; the replacement has happened already,
  // so a failure here is not reported as a failed replacement.
  UniqueFd dir(::open(directoryOf(final_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir) ::fsync(dir.get());
  return true;
}

void FileReplacer::keepTemporary() {
  fd_.reset();
  created_ = false;
}

void FileReplacer::rollback() {
  fd_.reset();
  if (created_) ::unlink(temp_.c_str());
  created_ = false;
}
