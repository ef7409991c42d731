#include "setup/new_copy.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <random>

#include "setup/write_all.h"
#include "setup/writer_open.h"

namespace {

constexpr int kNameAttempts = 100;

// Of fixed length: the name replaced may already use all the bytes a
// directory entry holds.
std::string randomName() {
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static std::mt19937 generator{std::random_device{}()};
  std::uniform_int_distribution<int> pick(0, sizeof(kChars) - 2);
  std::string name(".tavrik-");
  for (int i = 0; i < 6; ++i) name += kChars[pick(generator)];
  return name;
}

bool fail(std::string* err) { return failWith(err, errno); }

}  // namespace

bool secondName(int dirfd, const std::string& existing, int to_dirfd, const std::string& name, std::string* err) {
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
  if (!name_.empty() && dir_ >= 0) ::unlinkat(dir_, name_.c_str(), 0);
}

bool NewCopy::make(int dirfd, mode_t mode, std::string* err) {
  dir_ = dirfd;
  fd_.reset(::openat(dirfd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
  if (fd_) return true;
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return fail(err);
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
    if (::linkat(AT_FDCWD, procPath(fd_.get()).c_str(), dir_, name.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
        ::linkat(fd_.get(), "", dir_, name.c_str(), AT_EMPTY_PATH) == 0) {
      name_ = name;
      return true;
    }
    if (errno != EEXIST) break;
  }
  return fail(err);
}

bool NewCopy::place(const std::string& name, std::string* err) {
  if (::fsync(fd_.get()) != 0) return fail(err);
  if (name_.empty() && !nameIt(err)) return false;
  if (::renameat(dir_, name_.c_str(), dir_, name.c_str()) != 0) return fail(err);
  name_.clear();
  held_.reset();
  fd_.reset();
  ::fsync(dir_);
  return true;
}

void NewCopy::keep() {
  if (fixed_) name_.clear();
}
