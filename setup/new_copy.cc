#include "setup/new_copy.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <random>
#include <vector>

#include "setup/write_all.h"
#include "setup/writer_open.h"

namespace {

constexpr int kNameAttempts = 100;
constexpr char kTemporaryPrefix[] = ".tavrik-";
constexpr std::size_t kTemporaryLetters = 6;

// Of fixed length: the name replaced may already use all the bytes a
// directory entry holds.
std::string randomName() {
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static std::mt19937 generator{std::random_device{}()};
  std::uniform_int_distribution<int> pick(0, sizeof(kChars) - 2);
  std::string name(kTemporaryPrefix);
  for (std::size_t i = 0; i < kTemporaryLetters; ++i) name += kChars[pick(generator)];
  return name;
}

bool fail(std::string* err) { return failWith(err, errno); }

bool hasEffectiveCapability(int cap) {
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  return (data[cap / 32].effective & (1u << (cap % 32))) != 0;
}

// linkat with AT_EMPTY_PATH names an unnamed file with that capability (or
// on kernels that let its opener do so); without it, only the file's link
// under /proc can.
bool unnamedCanBeNamed() {
  static const bool can = hasEffectiveCapability(CAP_DAC_READ_SEARCH) || ::access("/proc/self/fd", X_OK) == 0;
  return can;
}

bool linkUnnamed(int fd, int dir, const std::string& name) {
  if (::linkat(fd, "", dir, name.c_str(), AT_EMPTY_PATH) == 0) return true;
  if (errno != ENOENT && errno != EPERM) return false;
  const std::string proc = "/proc/self/fd/" + std::to_string(fd);
  return ::linkat(AT_FDCWD, proc.c_str(), dir, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

}  // namespace

bool isTemporaryName(const std::string& name) {
  const std::size_t prefix = sizeof kTemporaryPrefix - 1;
  if (name.size() != prefix + kTemporaryLetters || name.compare(0, prefix, kTemporaryPrefix) != 0) return false;
  for (std::size_t i = prefix; i < name.size(); ++i)
    if (!std::isalnum(static_cast<unsigned char>(name[i]))) return false;
  return true;
}

void removeStrayCopies(int dirfd) {
  int own = ::openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (own < 0) return;
  UniqueDir dir(::fdopendir(own));
  if (!dir) {
    ::close(own);
    return;
  }
  // In a sticky directory (/tmp) other users' files are theirs: only what
  // this user left there can be a killed run's. Elsewhere only those who
  // may write the directory make names in it.
  struct stat where;
  const bool shared = ::fstat(dirfd, &where) == 0 && (where.st_mode & S_ISVTX) != 0;
  const uid_t user = ::geteuid();
  std::vector<std::string> stray;
  while (struct dirent* entry = ::readdir(dir.get())) {
    if (!isTemporaryName(entry->d_name)) continue;
    struct stat st;
    if (::fstatat(dirfd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (shared && st.st_uid != user) continue;
    // A link with a name of its own alone is no second name of ours.
    if (S_ISREG(st.st_mode) || (S_ISLNK(st.st_mode) && st.st_nlink > 1)) stray.push_back(entry->d_name);
  }
  for (const std::string& name : stray) ::unlinkat(dirfd, name.c_str(), 0);
}

bool secondName(int dirfd, const std::string& existing, int to_dirfd, const std::string& name, std::string* err) {
  if (::linkat(dirfd, existing.c_str(), to_dirfd, name.c_str(), 0) == 0) return true;
  if (errno != EEXIST) return fail(err);
  EndingSignalsHeld held;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::string temp = randomName();
    if (::linkat(dirfd, existing.c_str(), to_dirfd, temp.c_str(), 0) != 0) {
      if (errno == EEXIST) continue;
      return fail(err);
    }
    if (::renameat(to_dirfd, temp.c_str(), to_dirfd, name.c_str()) == 0) return true;
    const int error = errno;
    ::unlinkat(to_dirfd, temp.c_str(), 0);
    errno = error;
    return fail(err);
  }
  return fail(err);
}

NewCopy::~NewCopy() {
  if (!name_.empty() && dir_ >= 0 && !from_) ::unlinkat(dir_, name_.c_str(), 0);
}

bool NewCopy::make(int dirfd, mode_t mode, std::string* err) {
  dir_ = dirfd;
  if (unnamedCanBeNamed()) {
    fd_.reset(::openat(dirfd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
    if (fd_) return true;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return fail(err);
  }
  held_.emplace();
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string name = randomName();
    fd_.reset(::openat(dirfd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (fd_) {
      name_ = name;
      return true;
    }
    if (errno != EEXIST) break;
  }
  const int error = errno;
  held_.reset();
  errno = error;
  return fail(err);
}

bool NewCopy::makeFixed(int dirfd, const std::string& name, mode_t mode, std::string* err) {
  dir_ = dirfd;
  fixed_ = true;
  // A copy left by an earlier run, or anything planted there, is removed,
  // never written through.
  if (::unlinkat(dirfd, name.c_str(), 0) != 0 && errno != ENOENT) return fail(err);
  fd_.reset(::openat(dirfd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!fd_) return fail(err);
  name_ = name;
  return true;
}

bool NewCopy::adopt(const std::string& path, int dirfd, std::string* err) {
  std::string dir, name;
  splitPath(path, &dir, &name);
  from_ = openDirectory(dir);
  if (!from_) return fail(err);
  fd_.reset(::openat(from_.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st;
  if (!fd_ || ::fstat(fd_.get(), &st) != 0) return fail(err);
  if (!S_ISREG(st.st_mode)) return failWith(err, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  dir_ = dirfd;
  name_ = name;
  return true;
}

bool NewCopy::write(const void* data, std::size_t length, std::string* err) {
  return writeAll(fd_.get(), data, length) || fail(err);
}

bool NewCopy::writeFrom(int fd, std::string* err) {
  char piece[65536];
  for (;;) {
    ssize_t n = ::read(fd, piece, sizeof piece);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(err);
    if (n == 0) return true;
    if (!write(piece, static_cast<std::size_t>(n), err)) return false;
  }
}

bool NewCopy::nameIt(std::string* err) {
  held_.emplace();
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    std::string name = randomName();
    if (linkUnnamed(fd_.get(), dir_, name)) {
      name_ = name;
      return true;
    }
    if (errno != EEXIST) break;
  }
  return fail(err);
}

bool NewCopy::place(const std::string& name, std::string* err) {
  if (::fsync(fd_.get()) != 0) return fail(err);
  const int from = from_ ? from_.get() : dir_;
  bool placed = false;
  if (name_.empty()) {
    // Where nothing stands at the name, the copy takes it at once.
    placed = linkUnnamed(fd_.get(), dir_, name);
    if (!placed && (errno != EEXIST || !nameIt(err))) return fail(err);
  }
  if (!placed && ::renameat(from, name_.c_str(), dir_, name.c_str()) != 0) return fail(err);
  name_.clear();
  held_.reset();
  fd_.reset();
  ::fsync(dir_);
  return true;
}

void NewCopy::keep() {
  if (fixed_) name_.clear();
}
