// The directory lock: one per directory and process, shared by every
// request of the run, and a bounded wait for another process's.
#include "setup/dir_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "setup/unique_fd.h"
#include "tests/harness/sandbox.h"

namespace {

// Whether another process could take the directory's lock now.
bool freeForOthers(const std::string& dir) {
  pid_t child = ::fork();
  if (child == 0) {
    UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ::_exit(fd && ::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
  }
  int status = 0;
  return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(DirLock, OneLockPerDirectorySharedWithinTheProcess) {
  harness::Sandbox box;
  box.makeDirs("/tmp/a");
  box.makeDirs("/tmp/b");
  box.makeSymlink("/tmp/a", "/tmp/link");
  HeldDirLock first = lockDirectoryOf("/tmp/a/one");
  ASSERT_TRUE(first);
  EXPECT_FALSE(freeForOthers("/tmp/a"));
  // The same directory by another name or for another file: the same lock,
  // at once.
  EXPECT_EQ(first, lockDirectoryOf("/tmp/a/two"));
  EXPECT_EQ(first, lockDirectoryOf("/tmp/link/three"));
  HeldDirLock other = lockDirectoryOf("/tmp/b/one");
  ASSERT_TRUE(other);
  EXPECT_NE(first, other);
  // Held while any handle lives.
  HeldDirLock second = lockDirectoryOf("/tmp/a/two");
  first.reset();
  EXPECT_FALSE(freeForOthers("/tmp/a"));
  second.reset();
  EXPECT_TRUE(freeForOthers("/tmp/a"));
  EXPECT_FALSE(freeForOthers("/tmp/b"));
}

TEST(DirLock, AMissingDirectoryFails) {
  harness::Sandbox box;
  EXPECT_FALSE(lockDirectoryOf("/tmp/absent/file"));
  EXPECT_EQ(ENOENT, errno);
}

}  // namespace
