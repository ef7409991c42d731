#include "setup/dir_lock.h"

#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <map>
#include <thread>
#include <utility>

#include "setup/new_copy.h"
#include "setup/unique_fd.h"
#include "setup/writer_open.h"

class DirLock {
 public:
  explicit DirLock(UniqueFd fd) : fd_(std::move(fd)) {}

 private:
  UniqueFd fd_;  // the lock goes with the descriptor
};

namespace {

using Key = std::pair<dev_t, ino_t>;

// The locks this process holds, by directory.
std::map<Key, std::weak_ptr<DirLock>>& heldLocks() {
  static std::map<Key, std::weak_ptr<DirLock>> held;
  return held;
}

// Polled rather than waited for, so that the wait has a bound.
bool lockWithin(int fd, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return false;
    if (std::chrono::steady_clock::now() >= deadline) {
      errno = EWOULDBLOCK;
      return false;
    }
    std::this_thread::sleep_for(pause);
    if (pause < std::chrono::milliseconds(50)) pause *= 2;
  }
}

bool noLockToBeHad(int error) { return error == ENOLCK || error == EOPNOTSUPP || error == EINVAL || error == EBADF; }

}  // namespace

HeldDirLock lockDirectoryOf(const std::string& path) {
  std::string dirPath, name;
  splitPath(path, &dirPath, &name);
  UniqueFd dir = openDirectory(dirPath);
  struct stat st;
  if (!dir || ::fstat(dir.get(), &st) != 0) return nullptr;
  std::weak_ptr<DirLock>& slot = heldLocks()[Key(st.st_dev, st.st_ino)];
  if (HeldDirLock held = slot.lock()) return held;
  if (lockWithin(dir.get(), kLockWait)) {
    // No run of the tool is writing here now: a temporary name is what a
    // killed one left.
    removeStrayCopies(dir.get());
  } else {
    if (!noLockToBeHad(errno)) return nullptr;
    dir.reset();  // nothing to hold
  }
  auto lock = std::make_shared<DirLock>(std::move(dir));
  slot = lock;
  return lock;
}
