#include "setup/rewrite_in_place.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "setup/ending_signals.h"
#include "setup/file_metadata.h"
#include "setup/wipe.h"
#include "setup/write_all.h"
#include "setup/writer_open.h"

namespace {

bool readWhole(int fd, off_t size, std::string* bytes) {
  bytes->assign(static_cast<std::size_t>(size), '\0');
  std::size_t done = 0;
  while (done < bytes->size()) {
    ssize_t n = ::pread(fd, &(*bytes)[done], bytes->size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;  // shorter than it said
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Makes the file hold `bytes` whole, whatever it holds now.
bool putWhole(int fd, const std::string& bytes) {
  return writeAll(fd, bytes.data(), bytes.size(), 0) && ::ftruncate(fd, static_cast<off_t>(bytes.size())) == 0;
}

// The new content over the old, the room secured first; false with errno
// set, and the file then holds the old content whole where it can.
bool replaceContent(int fd, const std::string& old, const std::string& content) {
  const off_t oldSize = static_cast<off_t>(old.size());
  const off_t newSize = static_cast<off_t>(content.size());
  if (newSize > 0 && ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, newSize) != 0 && errno != EOPNOTSUPP &&
      errno != ENOSYS) {
    const int error = errno;
    ::ftruncate(fd, oldSize);  // gives back what was reserved beyond the end
    errno = error;
    return false;
  }
  EndingSignalsHeld held;
  if (newSize > oldSize) {
    // Where nothing could be reserved, a full disk is met here, before
    // any old byte changes.
    if (!writeAll(fd, content.data() + old.size(), content.size() - old.size(), oldSize) || ::fsync(fd) != 0) {
      const int error = errno;
      ::ftruncate(fd, oldSize);
      errno = error;
      return false;
    }
  }
  const std::size_t overwritten = std::min(old.size(), content.size());
  if (!writeAll(fd, content.data(), overwritten, 0) || (newSize < oldSize && ::ftruncate(fd, newSize) != 0)) {
    const int error = errno;
    putWhole(fd, old);
    errno = error;
    return false;
  }
  return true;
}

}  // namespace

bool rewriteInPlace(int fd, const std::string& content, std::optional<mode_t> mode, std::string* err) {
  struct stat st;
  std::string old;
  // The old content may hold a password, as the new one may.
  WipedOnExit wiped(old);
  if (::fstat(fd, &st) != 0 || !readWhole(fd, st.st_size, &old)) return failWith(err, errno);
  const mode_t oldMode = st.st_mode & 07777;
  // A mode that can't be given fails before anything changes: giving the
  // one the file has asks the kernel the same question.
  if (mode && ::fchmod(fd, oldMode) != 0) return failWith(err, errno);
  if (!replaceContent(fd, old, content)) return failWith(err, errno);
  // Whole now: the mode, then the sync. A write by a user without
  // CAP_FSETID has cleared the set-id bits of a file that had them.
  if (giveMode(fd, mode ? *mode : oldMode) || !mode) {
    if (::fsync(fd) == 0) return true;
  }
  const int error = errno;
  {
    EndingSignalsHeld held;
    // Where the old content can't be put back, the new one stays whole and
    // the write is done.
    if (!putWhole(fd, old)) return putWhole(fd, content) || failWith(err, error);
  }
  ::fchmod(fd, oldMode);
  return failWith(err, error);
}
