#include "setup/writer_open.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace {

// As many links as the kernel follows on one path.
constexpr int kMaxLinks = 40;

int notRegular(mode_t mode) { return S_ISDIR(mode) ? EISDIR : EINVAL; }

// No descriptor, with errno as it was given (closing one may change it).
UniqueFd failed(UniqueFd& fd, int error) {
  fd.reset();
  errno = error;
  return UniqueFd();
}

// Whether `name` in `dir` is the file `st` describes (not a link to it).
bool namesFile(int dir, const std::string& name, const struct stat& st) {
  struct stat there;
  return ::fstatat(dir, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(there.st_mode) &&
         sameFile(there, st);
}

// A descriptor of the same regular file as `st`, or none with errno set.
UniqueFd checkedSame(UniqueFd fd, const struct stat& st) {
  if (!fd) return fd;
  struct stat now;
  if (::fstat(fd.get(), &now) != 0) return failed(fd, errno);
  if (!S_ISREG(now.st_mode)) return failed(fd, notRegular(now.st_mode));
  if (!sameFile(now, st)) return failed(fd, EAGAIN);
  return fd;
}

bool clearNonBlocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

}  // namespace

bool failWith(std::string* err, int error) {
  if (err) *err = std::strerror(error);
  errno = error;
  return false;
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

void splitPath(const std::string& path, std::string* dir, std::string* name) {
  std::string::size_type slash = path.rfind('/');
  *dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  *name = slash == std::string::npos ? path : path.substr(slash + 1);
}

UniqueFd openDirectory(const std::string& path) {
  UniqueFd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir && errno == EACCES) dir.reset(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  return dir;
}

UniqueFd openLooked(const std::string& path, int flags, mode_t mode, struct stat* st, bool* created) {
  if (created) *created = false;
  // Looked at before the open: opening a device can have effects of its own.
  UniqueFd look(::open(path.c_str(), O_PATH | O_CLOEXEC));
  if (look) {
    if (::fstat(look.get(), st) != 0) return failed(look, errno);
    if (!S_ISREG(st->st_mode)) return failed(look, notRegular(st->st_mode));
  } else {
    if (errno != ENOENT || !(flags & O_CREAT)) return UniqueFd();
    // Nothing at all there is left so; a dangling link makes its file.
    struct stat link;
    if (::lstat(path.c_str(), &link) != 0) return UniqueFd();
  }
  UniqueFd fd(::open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode));
  if (!fd) return fd;
  // Something else put there since the look.
  if (::fstat(fd.get(), st) != 0) return failed(fd, errno);
  if (!S_ISREG(st->st_mode)) return failed(fd, notRegular(st->st_mode));
  if (!clearNonBlocking(fd.get())) return failed(fd, errno);
  if (created) *created = !look;
  return fd;
}

bool realName(const std::string& path, const struct stat& st, OpenedTarget* out) {
  std::string dirPath, name;
  splitPath(path, &dirPath, &name);
  for (int hop = 0; hop <= kMaxLinks; ++hop) {
    UniqueFd dir = openDirectory(dirPath);
    if (!dir) break;
    if (namesFile(dir.get(), name, st)) {
      out->dir = std::move(dir);
      out->dirPath = dirPath;
      out->name = name;
      return true;
    }
    // A link at the name: where it leads.
    char target[PATH_MAX];
    ssize_t n = ::readlinkat(dir.get(), name.c_str(), target, sizeof target);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target) break;
    std::string to(target, static_cast<std::size_t>(n));
    if (to[0] != '/') to = dirPath + "/" + to;
    splitPath(to, &dirPath, &name);
  }
  out->dir.reset();
  out->dirPath.clear();
  out->name.clear();
  return false;
}

std::string realPath(const OpenedTarget& target) { return target.dirPath + "/" + target.name; }

UniqueFd reopen(const OpenedTarget& target, int flags) {
  flags |= O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  UniqueFd fd(target.dir ? ::openat(target.dir.get(), target.name.c_str(), flags | O_NOFOLLOW)
                         : ::open(target.path.c_str(), flags));
  fd = checkedSame(std::move(fd), target.st);
  if (fd && !clearNonBlocking(fd.get())) return failed(fd, errno);
  return fd;
}

UniqueFd readableOf(const OpenedTarget& target) {
  const int flags = ::fcntl(target.fd.get(), F_GETFL);
  if (flags >= 0 && !(flags & O_PATH) && (flags & O_ACCMODE) != O_WRONLY)
    return UniqueFd(::fcntl(target.fd.get(), F_DUPFD_CLOEXEC, 0));
  return reopen(target, O_RDONLY);
}

bool openOld(const std::string& path, OpenedTarget* out, std::string* err) {
  UniqueFd look(::open(path.c_str(), O_PATH | O_CLOEXEC));
  if (!look) return errno == ENOENT ? true : failWith(err, errno);
  if (::fstat(look.get(), &out->st) != 0) return failWith(err, errno);
  if (!S_ISREG(out->st.st_mode)) return failWith(err, notRegular(out->st.st_mode));
  out->fd = std::move(look);
  out->path = path;
  realName(path, out->st, out);
  return true;
}

bool openAsWriter(const std::string& path, mode_t mode, OpenedTarget* out, std::string* err) {
  struct stat st;
  bool created = false;
  UniqueFd read = openLooked(path, O_RDONLY | O_CREAT, mode, &st, &created);
  if (!read) {
    struct stat link;
    if (errno != ENOENT || ::lstat(path.c_str(), &link) == 0) return failWith(err, errno);
    // Nothing there: the new file makes the name when it is whole. A
    // directory the writer's open could not create in is refused now.
    std::string dir, name;
    splitPath(path, &dir, &name);
    if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return failWith(err, errno);
    return true;
  }
  out->st = st;
  out->created = created;
  out->path = path;
  realName(path, st, out);
  // Opened for writing only now that it is known to be a regular file.
  UniqueFd both = reopen(*out, O_RDWR);
  if (!both) {
    const int error = errno;
    if (created) removeIfMadeEmpty(*out);
    return failWith(err, error);
  }
  out->fd = std::move(both);
  return true;
}

bool isMountRoot(int dirfd, const std::string& name) {
  struct statx stx;
  if (::statx(dirfd, name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &stx) != 0) return false;
  return (stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) && (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT);
}

void removeIfMadeEmpty(const OpenedTarget& target) {
  struct stat st;
  if (!target.dir || ::fstatat(target.dir.get(), target.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (sameFile(st, target.st) && st.st_size == 0) ::unlinkat(target.dir.get(), target.name.c_str(), 0);
}
