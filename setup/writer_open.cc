#include "setup/writer_open.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace {

int notRegular(mode_t mode) { return S_ISDIR(mode) ? EISDIR : EINVAL; }

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Whether `name` in `dir` is the file `st` describes (not a link to it).
bool namesFile(int dir, const std::string& name, const struct stat& st) {
  struct stat there;
  return ::fstatat(dir, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(there, st);
}

}  // namespace

bool failWith(std::string* err, int error) {
  if (err) *err = std::strerror(error);
  return false;
}

std::string procPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

UniqueFd reopen(int fd, int flags) { return UniqueFd(::open(procPath(fd).c_str(), flags | O_CLOEXEC)); }

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

bool openOld(const std::string& path, OpenedTarget* out, std::string* err) {
  UniqueFd look(::open(path.c_str(), O_PATH | O_CLOEXEC));
  if (!look) return errno == ENOENT ? true : failWith(err, errno);
  if (::fstat(look.get(), &out->st) != 0) return failWith(err, errno);
  if (!S_ISREG(out->st.st_mode)) return failWith(err, notRegular(out->st.st_mode));
  out->fd = std::move(look);
  return true;
}

bool openAsWriter(const std::string& path, mode_t mode, OpenedTarget* out, std::string* err) {
  OpenedTarget looked;
  if (!openOld(path, &looked, err)) return false;
  if (!looked.fd) {
    struct stat link;
    if (::lstat(path.c_str(), &link) != 0) {
      if (errno != ENOENT) return failWith(err, errno);
      // Nothing there: the new file makes the name when it is whole. A
      // directory the writer's open could not create in is refused now.
      std::string dir, name;
      splitPath(path, &dir, &name);
      if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return failWith(err, errno);
      return true;
    }
    // A dangling link: the open below makes the file it names.
  }
  UniqueFd read(::open(path.c_str(), O_RDONLY | O_CREAT | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, mode));
  if (!read) return failWith(err, errno);
  struct stat st;
  if (::fstat(read.get(), &st) != 0) return failWith(err, errno);
  // Something else put there since the look was opened for reading only.
  if (!S_ISREG(st.st_mode)) return failWith(err, notRegular(st.st_mode));
  const bool created = !looked.fd;
  UniqueFd both = reopen(read.get(), O_RDWR | O_NOCTTY);
  if (!both) {
    const int error = errno;
    if (created) removeIfMadeEmpty(read.get(), path);
    return failWith(err, error);
  }
  out->fd = std::move(both);
  out->st = st;
  out->created = created;
  return true;
}

bool realName(const std::string& path, int fd, UniqueFd* dir, std::string* name) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  std::string dirPath;
  splitPath(path, &dirPath, name);
  *dir = openDirectory(dirPath);
  if (*dir && namesFile(dir->get(), *name, st)) return true;
  // Not the name at the path (a link leads elsewhere): where the kernel's
  // resolution led.
  char real[PATH_MAX];
  ssize_t n = ::readlink(procPath(fd).c_str(), real, sizeof real);
  dir->reset();
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof real || real[0] != '/') return false;
  splitPath(std::string(real, static_cast<std::size_t>(n)), &dirPath, name);
  *dir = openDirectory(dirPath);
  if (*dir && namesFile(dir->get(), *name, st)) return true;
  dir->reset();
  return false;
}

bool isMountRoot(int dirfd, const std::string& name) {
  struct statx stx;
  if (::statx(dirfd, name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &stx) != 0) return false;
  return (stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) && (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT);
}

void removeIfMadeEmpty(int fd, const std::string& path) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || st.st_size != 0) return;
  UniqueFd dir;
  std::string name;
  if (realName(path, fd, &dir, &name)) ::unlinkat(dir.get(), name.c_str(), 0);
}
