// The directory lock: one per directory and process, shared by every
// request of the run, and a bounded wait for another process's.
#include "setup/dir_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "setup/unique_fd.h"
#include "tests/harness/file_shim.h"
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

// Taking a directory's lock removes what a killed run left there under the
// writers' temporary names: its files, and second names of links that
// still have their first. Nothing else goes: not a name of another form,
// a directory, a FIFO, nor a link with a name of its own alone (a user's
// link to a working directory, say); and nothing once the lock is held.
TEST(DirLock, TakingItRemovesWhatAKilledRunLeft) {
  harness::Sandbox box;
  const std::string dir = "/tmp/d";
  for (const char* name : {".tavrik-a1B2c3", ".tavrik-zzzzzz", ".tavrik-short", ".tavrik-abc12!", "x.tavrik-abcdef",
                           ".tavrik-abcdefg", "keep"})
    box.writeFile(dir + "/" + name, "x");
  box.makeDirs(dir + "/.tavrik-dir123");
  box.makeFifo(dir + "/.tavrik-fifo12");
  box.makeSymlink("/tmp", dir + "/.tavrik-link12");
  box.makeSymlink("/tmp", dir + "/linked");
  ASSERT_EQ(0, ::link((dir + "/linked").c_str(), (dir + "/.tavrik-second").c_str()));
  const std::vector<std::string> kept = {".tavrik-abc12!", ".tavrik-abcdefg", ".tavrik-dir123", ".tavrik-fifo12",
                                         ".tavrik-link12", ".tavrik-short", "keep", "linked", "x.tavrik-abcdef"};
  HeldDirLock lock = lockDirectoryOf(dir + "/file");
  ASSERT_TRUE(lock);
  EXPECT_EQ(kept, harness::listing(dir));
  // Held already: a second request removes nothing.
  box.writeFile(dir + "/.tavrik-later1", "x");
  EXPECT_EQ(lock, lockDirectoryOf(dir + "/other"));
  EXPECT_TRUE(harness::pathPresent(dir + "/.tavrik-later1"));
}

// In a sticky directory (/tmp) a file of that form that another user owns
// is that user's, not a killed run's: only the tool's own user's goes.
// Elsewhere only those who may write the directory make names there.
TEST(DirLock, InAStickyDirectoryOnlyTheUsersOwnLeftoversGo) {
  harness::Sandbox box;
  constexpr uid_t kOther = 65534;
  for (bool sticky : {true, false}) {
    SCOPED_TRACE(sticky ? "sticky" : "not sticky");
    const std::string dir = sticky ? "/tmp/shared" : "/tmp/own";
    box.writeFile(dir + "/.tavrik-mine12", "x");
    box.writeFile(dir + "/.tavrik-other1", "x");
    ASSERT_EQ(0, ::chown((dir + "/.tavrik-other1").c_str(), kOther, kOther));
    ASSERT_EQ(0, ::chmod(dir.c_str(), sticky ? 01777 : 0755));
    HeldDirLock lock = lockDirectoryOf(dir + "/file");
    ASSERT_TRUE(lock);
    EXPECT_EQ(sticky ? std::vector<std::string>{".tavrik-other1"} : std::vector<std::string>{},
              harness::listing(dir));
  }
}

TEST(DirLock, AMissingDirectoryFails) {
  harness::Sandbox box;
  EXPECT_FALSE(lockDirectoryOf("/tmp/absent/file"));
  EXPECT_EQ(ENOENT, errno);
}

}  // namespace
