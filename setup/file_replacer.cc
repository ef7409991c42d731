#include "setup/file_replacer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

std::string randomSuffix() {
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  static std::mt19937 generator{std::random_device{}()};
  std::uniform_int_distribution<int> pick(0, sizeof(kChars) - 2);
  std::string suffix(".");
  for (int i = 0; i < 6; ++i) suffix += kChars[pick(generator)];
  return suffix;
}

}  // namespace

FileReplacer::FileReplacer(std::string target, std::string temp_path)
    : target_(std::move(target)), temp_(std::move(temp_path)), fixed_temp_(!temp_.empty()) {}

FileReplacer::~FileReplacer() {
  if (!committed_) rollback();
}

bool FileReplacer::open(std::string* err, mode_t mode, bool force_mode) {
  struct stat old;
  bool have_old = ::stat(target_.c_str(), &old) == 0;

  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  if (fixed_temp_) {
    // The fixed name belongs to this file: a copy left by an earlier run
    // (or anything planted there) is removed, never written through.
    if (::unlink(temp_.c_str()) != 0 && errno != ENOENT) return fail(err, errno);
    fd_.reset(::open(temp_.c_str(), flags, mode));
    if (!fd_) return fail(err, errno);
  } else {
    for (int attempt = 0;; ++attempt) {
      temp_ = target_ + randomSuffix();
      fd_.reset(::open(temp_.c_str(), flags, mode));
      if (fd_) break;
      if (errno != EEXIST || attempt >= 100) return fail(err, errno);
    }
  }
  created_ = true;

  if (force_mode) {
    if (::fchmod(fd_.get(), mode) != 0) return fail(err, errno);
  } else if (have_old) {
    if (::fchmod(fd_.get(), old.st_mode & 07777) != 0) return fail(err, errno);
  }
  if (have_old && ::geteuid() == 0) {
    if (::fchown(fd_.get(), old.st_uid, old.st_gid) != 0) return fail(err, errno);
    // fchown clears set-id bits; give the mode again.
    if (::fchmod(fd_.get(), force_mode ? mode : (old.st_mode & 07777)) != 0) return fail(err, errno);
  }
  return true;
}

bool FileReplacer::write(const void* data, std::size_t length, std::string* err) {
  if (!fd_) return fail(err, EBADF);
  if (writeAll(fd_.get(), data, length)) return true;
  write_error_ = errno;
  return fail(err, errno);
}

bool FileReplacer::commit(std::string* err) {
  if (!fd_) return fail(err, EBADF);
  if (write_error_ != 0) return fail(err, write_error_);
  if (::fsync(fd_.get()) != 0) return fail(err, errno);
  if (fd_.close() != 0) return fail(err, errno);
  if (::rename(temp_.c_str(), target_.c_str()) != 0) return fail(err, errno);
  committed_ = true;
  // Make the rename itself durable; the replacement has happened already,
  // so a failure here is not reported as a failed replacement.
  UniqueFd dir(::open(directoryOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
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
