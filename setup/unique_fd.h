// Owners of descriptors, streams and directories: closed when they go out
// of scope, so no early return leaks one.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  // A descriptor 0 is valid: only a negative one means "none".
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes now and reports the result, for writers that must check it.
  int close() {
    int fd = release();
    return fd >= 0 ? ::close(fd) : 0;
  }

 private:
  int fd_ = -1;
};

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

struct PipeCloser {
  void operator()(std::FILE* f) const {
    if (f) ::pclose(f);
  }
};
using UniquePipe = std::unique_ptr<std::FILE, PipeCloser>;

struct DirCloser {
  void operator()(DIR* d) const {
    if (d) ::closedir(d);
  }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;
