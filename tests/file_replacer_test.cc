// The file replacer: the new content appears whole or not at all (or, in
// place, in the file itself), with the old file's mode and owner; failures
// leave the old file as it was.
#include "setup/file_replacer.h"

#include <acl/libacl.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/harness/sandbox.h"
#include "tests/harness/tool.h"

namespace {

using harness::readFile;
using harness::Sandbox;

std::vector<std::string> listDir(const std::string& dir) {
  std::vector<std::string> names;
  UniqueDir d(::opendir(dir.c_str()));
  if (!d) return names;
  while (struct dirent* e = ::readdir(d.get())) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  return names;
}

std::vector<std::string> sorted(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

using harness::modeOf;

void setAcl(const std::string& path, const char* text) {
  acl_t acl = ::acl_from_text(text);
  ASSERT_NE(nullptr, acl) << text;
  EXPECT_EQ(0, ::acl_set_file(path.c_str(), ACL_TYPE_ACCESS, acl)) << path;
  ::acl_free(acl);
}

std::string aclText(const std::string& path) {
  acl_t acl = ::acl_get_file(path.c_str(), ACL_TYPE_ACCESS);
  if (!acl) return "no ACL";
  char* text = ::acl_to_any_text(acl, nullptr, ',', TEXT_NUMERIC_IDS);
  std::string out = text ? text : "";
  ::acl_free(text);
  ::acl_free(acl);
  return out;
}

std::string attribute(const std::string& path, const char* name) {
  char value[64];
  ssize_t n = ::getxattr(path.c_str(), name, value, sizeof value);
  return n < 0 ? "" : std::string(value, static_cast<std::size_t>(n));
}

// A small tmpfs of its own at `dir` (inside the sandbox's /tmp).
void mountTmpfs(const std::string& dir, const char* options) {
  ::mkdir(dir.c_str(), 0755);
  ASSERT_EQ(0, ::mount("tmpfs", dir.c_str(), "tmpfs", 0, options)) << dir;
}

TEST(FileReplacer, CommitReplacesWholeAndKeepsModeAndOwner) {
  Sandbox box;
  const std::string target = "/tmp/d/conf";
  box.writeFile(target, "old contents\n", 0640);
  ASSERT_EQ(0, ::chown(target.c_str(), 1234, 4321));

  std::string err;
  FileReplacer r(target, FileReplacer::Placement::kRename);
  ASSERT_TRUE(r.open(&err)) << err;
  EXPECT_EQ("old contents\n", readFile(target));
  std::string big(200000, 'x');
  ASSERT_TRUE(r.write("new\n", &err));
  ASSERT_TRUE(r.write(big, &err));
  EXPECT_EQ(std::vector<std::string>{"conf"}, listDir("/tmp/d")) << "a name made before the content is whole";
  ASSERT_TRUE(r.commit(&err)) << err;

  EXPECT_EQ("new\n" + big, readFile(target));
  struct stat st;
  ASSERT_EQ(0, ::stat(target.c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 07777);
  EXPECT_EQ(1234u, st.st_uid);
  EXPECT_EQ(4321u, st.st_gid);
  EXPECT_EQ(std::vector<std::string>{"conf"}, listDir("/tmp/d"));
}

TEST(FileReplacer, NewFileTakesTheGivenModeLessTheMask) {
  Sandbox box;
  box.makeDirs("/tmp/d");
  mode_t old_mask = ::umask(022);
  std::string err;
  {
    FileReplacer r("/tmp/d/new", FileReplacer::Placement::kRename);
    ASSERT_TRUE(r.open(&err)) << err;
    ASSERT_TRUE(r.write("x", &err));
    ASSERT_TRUE(r.commit(&err)) << err;
  }
  ::umask(old_mask);
  EXPECT_EQ("x", readFile("/tmp/d/new"));
  EXPECT_EQ(0644u, modeOf("/tmp/d/new"));
}

TEST(FileReplacer, ForcedModeOverridesTheOldOne) {
  Sandbox box;
  box.writeFile("/tmp/d/secret", "old", 0644);
  std::string err;
  FileReplacer r("/tmp/d/secret", FileReplacer::Placement::kRename);
  ASSERT_TRUE(r.open(&err, 0400, FileReplacer::Metadata::kForceMode)) << err;
  ASSERT_TRUE(r.write("new", &err));
  ASSERT_TRUE(r.commit(&err)) << err;
  EXPECT_EQ(0400u, modeOf("/tmp/d/secret"));
  EXPECT_EQ("new", readFile("/tmp/d/secret"));
}

TEST(FileReplacer, WithoutCommitTheOldFileStaysAndTheTemporaryGoes) {
  Sandbox box;
  box.writeFile("/tmp/d/conf", "old", 0600);
  std::string err;
  {
    FileReplacer r("/tmp/d/conf", FileReplacer::Placement::kRename);
    ASSERT_TRUE(r.open(&err)) << err;
    ASSERT_TRUE(r.write("half of the new", &err));
  }
  EXPECT_EQ("old", readFile("/tmp/d/conf"));
  EXPECT_EQ(std::vector<std::string>{"conf"}, listDir("/tmp/d"));
}

TEST(FileReplacer, FixedTemporaryNameReplacesAStaleCopyAndIsNotFollowed) {
  Sandbox box;
  box.writeFile("/tmp/d/server.conf", "old\n");
  box.writeFile("/tmp/d/elsewhere", "must stay\n");
  box.makeSymlink("/tmp/d/elsewhere", "/tmp/d/server.conf_t");
  std::string err;
  FileReplacer r("/tmp/d/server.conf", FileReplacer::Placement::kRename, "/tmp/d/server.conf_t");
  ASSERT_TRUE(r.open(&err)) << err;
  ASSERT_TRUE(r.write("new\n", &err));
  ASSERT_TRUE(r.commit(&err)) << err;
  EXPECT_EQ("new\n", readFile("/tmp/d/server.conf"));
  EXPECT_EQ("must stay\n", readFile("/tmp/d/elsewhere"));
  EXPECT_FALSE(harness::pathPresent("/tmp/d/server.conf_t"));
}

TEST(FileReplacer, KeepTemporaryLeavesTheCopyAndTheTarget) {
  Sandbox box;
  box.writeFile("/tmp/d/server.conf", "old\n");
  std::string err;
  {
    FileReplacer r("/tmp/d/server.conf", FileReplacer::Placement::kRename, "/tmp/d/server.conf_t");
    ASSERT_TRUE(r.open(&err)) << err;
    ASSERT_TRUE(r.write("copy\n", &err));
    r.keepFixedCopy();
  }
  EXPECT_EQ("old\n", readFile("/tmp/d/server.conf"));
  EXPECT_EQ("copy\n", readFile("/tmp/d/server.conf_t"));
}

// A full file system: the commit fails and a partial file never replaces
// the old one; without a commit no temporary is left either.
TEST(FileReplacer, FullFileSystemKeepsTheOldFileAndLeavesNoTemporary) {
  for (bool commit : {true, false}) {
    SCOPED_TRACE(commit ? "committed" : "not committed");
    Sandbox box;
    mountTmpfs("/tmp/full", "size=64k");
    box.writeFile("/tmp/full/conf", "old contents\n");
    std::string err;
    {
      FileReplacer r("/tmp/full/conf", FileReplacer::Placement::kRename);
      ASSERT_TRUE(r.open(&err)) << err;
      r.write(std::string(1 << 20, 'y'), &err);  // kept until the commit
      if (commit) {
        err.clear();
        EXPECT_FALSE(r.commit(&err));
        EXPECT_EQ("No space left on device", err);
      }
    }
    EXPECT_EQ("old contents\n", readFile("/tmp/full/conf")) << "old file replaced";
    EXPECT_EQ(std::vector<std::string>{"conf"}, listDir("/tmp/full"));
  }
}

// A read-only file system refuses the copy where it is made (at open for a
// fixed temporary name, at commit for an unnamed one): the replacement
// fails, and the old file stays.
TEST(FileReplacer, ReadOnlyFileSystemFailsTheReplacementAndKeepsTheOldFile) {
  Sandbox box;
  mountTmpfs("/tmp/ro", "size=64k");
  box.writeFile("/tmp/ro/conf", "old contents\n");
  ASSERT_EQ(0, ::mount(nullptr, "/tmp/ro", nullptr, MS_REMOUNT | MS_RDONLY, nullptr));
  for (const char* temp : {"", "/tmp/ro/conf_t"}) {
    std::string err;
    FileReplacer r("/tmp/ro/conf", FileReplacer::Placement::kRename, temp);
    if (*temp) {
      EXPECT_FALSE(r.open(&err)) << temp;
      EXPECT_FALSE(r.write("x", &err));
    } else {
      ASSERT_TRUE(r.open(&err)) << err;
      EXPECT_TRUE(r.write("x", &err));
    }
    err.clear();
    EXPECT_FALSE(r.commit(&err));
    EXPECT_EQ(*temp ? "Bad file descriptor" : "Read-only file system", err) << temp;
  }
  EXPECT_EQ("old contents\n", readFile("/tmp/ro/conf"));
  EXPECT_EQ(std::vector<std::string>{"conf"}, listDir("/tmp/ro"));
}

TEST(FileReplacer, MissingDirectoryFailsTheOpen) {
  Sandbox box;
  std::string err;
  FileReplacer r("/tmp/absent/conf", FileReplacer::Placement::kRename);
  EXPECT_FALSE(r.open(&err));
  EXPECT_EQ("No such file or directory", err);
}

// The temporary name does not grow with the target's: a name of 255 bytes
// (the most a directory entry holds) is replaced either way.
TEST(FileReplacer, LongestNameGetsATemporaryNameOfFixedLength) {
  Sandbox box;
  const std::string target = "/tmp/d/" + std::string(255, 'm');
  box.writeFile(target, "old");
  for (FileReplacer::Placement placement : {FileReplacer::Placement::kRename, FileReplacer::Placement::kInPlace}) {
    std::string err;
    FileReplacer r(target, placement);
    ASSERT_TRUE(r.open(&err)) << err;
    ASSERT_TRUE(r.write("new", &err));
    ASSERT_TRUE(r.commit(&err)) << err;
    EXPECT_EQ("new", readFile(target));
  }
  EXPECT_EQ(std::vector<std::string>{std::string(255, 'm')}, listDir("/tmp/d"));
}

// In place, links are followed to their end as open(2) follows them
// (relative ones from the link's own directory); a dangling link makes the
// file it names.
TEST(FileReplacer, InPlaceFollowsEveryLinkToItsEnd) {
  Sandbox box;
  box.writeFile("/tmp/a/real", "old", 0600);
  box.makeSymlink("../a/real", "/tmp/b/hop");
  box.makeSymlink("/tmp/b/hop", "/tmp/c/conf");
  box.makeSymlink("absent", "/tmp/c/dangling");
  for (const char* path : {"/tmp/c/conf", "/tmp/c/dangling"}) {
    std::string err;
    FileReplacer r(path, FileReplacer::Placement::kInPlace);
    ASSERT_TRUE(r.open(&err)) << err;
    ASSERT_TRUE(r.write(path, &err));
    ASSERT_TRUE(r.commit(&err)) << err;
  }
  EXPECT_EQ("/tmp/c/conf", readFile("/tmp/a/real"));
  EXPECT_EQ(0600u, modeOf("/tmp/a/real"));
  EXPECT_EQ("/tmp/c/dangling", readFile("/tmp/c/absent"));
  EXPECT_EQ((std::vector<std::string>{"real"}), listDir("/tmp/a"));
  EXPECT_EQ((std::vector<std::string>{"hop"}), listDir("/tmp/b"));
}

// A file rewritten in place (here: one with a second name) on a full disk:
// the room is reserved before any byte is overwritten, so the old content
// stays whole.
TEST(FileReplacer, InPlaceRewriteOnAFullDiskKeepsTheOldContent) {
  Sandbox box;
  box.mountSmallTmpfs("/tmp/full");
  box.writeFile("/tmp/full/conf", "old contents\n");
  box.makeHardLink("/tmp/full/conf", "/tmp/full/second");
  box.fillUp("/tmp/full");
  std::string err;
  {
    FileReplacer r("/tmp/full/conf", FileReplacer::Placement::kInPlace);
    ASSERT_TRUE(r.open(&err)) << err;
    ASSERT_TRUE(r.write(std::string(1 << 16, 'y'), &err));
    EXPECT_FALSE(r.commit(&err));
    EXPECT_EQ("No space left on device", err);
  }
  EXPECT_EQ("old contents\n", readFile("/tmp/full/conf"));
  EXPECT_EQ("old contents\n", readFile("/tmp/full/second"));
}

constexpr uid_t kNobody = 65534;

// Writes `content` in place at `path` in a child process run as the
// unprivileged user kNobody (its group alone), with `forced_mode` when not
// 0: the child's exit status, 0 on success (its error text on standard
// error otherwise). `make` gives the replacer (in place by default).
int writeInPlaceAsNobody(const std::string& path, const std::string& content, mode_t forced_mode = 0,
                         const std::function<FileReplacer*()>& make = nullptr) {
  pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(2);
    std::string err;
    bool ok;
    {  // the replacer's destructor runs before _exit
      std::unique_ptr<FileReplacer> made(make ? make() : new FileReplacer(path, FileReplacer::Placement::kInPlace));
      FileReplacer& r = *made;
      ok = r.open(&err, forced_mode ? forced_mode : 0666,
                  forced_mode ? FileReplacer::Metadata::kForceMode : FileReplacer::Metadata::kKeep) &&
           r.write(content, &err) && r.commit(&err);
    }
    if (!ok) std::fprintf(stderr, "%s: %s\n", path.c_str(), err.c_str());
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A user who may write the file but not its directory: no copy can be made
// beside it, so it is rewritten in place, as opening it would write it.
TEST(FileReplacer, InPlaceWithoutRoomForACopyWritesTheFileItself) {
  Sandbox box;
  box.makeDirs("/tmp/locked", 0755);
  box.writeFile("/tmp/locked/conf", "old contents\n", 0666);
  EXPECT_EQ(0, writeInPlaceAsNobody("/tmp/locked/conf", "new\n"));
  EXPECT_EQ("new\n", readFile("/tmp/locked/conf"));
  EXPECT_EQ(std::vector<std::string>{"conf"}, listDir("/tmp/locked"));
}

// A user other than root writes a file in place as opening it would: the
// file keeps its owner and group (a new file could not have them), and a
// sticky directory, where only a file's owner may rename over it, is no
// obstacle.
TEST(FileReplacer, InPlaceByAnotherUserKeepsOwnerAndGroup) {
  const struct {
    const char* name;
    mode_t dirMode;
    uid_t uid;
    gid_t gid;
  } cases[] = {
      {"roots", 0777, 0, 0},
      {"roots-sticky", 01777, 0, 0},
      {"own-of-other-group", 0777, kNobody, 1234},
      {"own-of-other-group-sticky", 01777, kNobody, 1234},
      {"own", 01777, kNobody, kNobody},
  };
  Sandbox box;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string dir = std::string("/tmp/") + c.name, path = dir + "/conf";
    box.makeDirs(dir, c.dirMode);
    box.writeFile(path, "old contents\n", 0666);
    ASSERT_EQ(0, ::chown(path.c_str(), c.uid, c.gid));
    ASSERT_EQ(0, ::chmod(path.c_str(), 0666));
    EXPECT_EQ(0, writeInPlaceAsNobody(path, "new\n"));
    EXPECT_EQ("new\n", readFile(path));
    struct stat st;
    ASSERT_EQ(0, ::stat(path.c_str(), &st));
    EXPECT_EQ(c.uid, st.st_uid);
    EXPECT_EQ(c.gid, st.st_gid);
    EXPECT_EQ(0666u, st.st_mode & 07777);
    EXPECT_EQ(std::vector<std::string>{"conf"}, listDir(dir));
  }
}

// A mode that only the owner may give fails the write before the content
// changes.
TEST(FileReplacer, InPlaceModeRefusedLeavesTheContent) {
  Sandbox box;
  box.makeDirs("/tmp/d", 0777);
  box.writeFile("/tmp/d/conf", "old contents\n", 0666);
  EXPECT_EQ(1, writeInPlaceAsNobody("/tmp/d/conf", "new\n", 0400));
  EXPECT_EQ("old contents\n", readFile("/tmp/d/conf"));
  EXPECT_EQ(0666u, modeOf("/tmp/d/conf"));
  EXPECT_EQ(std::vector<std::string>{"conf"}, listDir("/tmp/d"));
}

// A file bind-mounted over the target between open and commit: the rename
// fails with EBUSY, and the content goes into the file the open reached (as
// the writer's own open and write would put it there), the mounted file
// untouched.
TEST(FileReplacer, InPlaceMountAppearingBeforeCommitWritesTheFileTheOpenReached) {
  Sandbox box;
  box.writeFile("/tmp/d/conf", "the file underneath\n", 0640);
  UniqueFd underneath(::open("/tmp/d/conf", O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(underneath);
  std::string err;
  FileReplacer r("/tmp/d/conf", FileReplacer::Placement::kInPlace);
  ASSERT_TRUE(r.open(&err)) << err;
  ASSERT_TRUE(r.write("new\n", &err));
  box.bindFile("/tmp/d/conf", "the mounted file\n", 0640);
  ASSERT_TRUE(r.commit(&err)) << err;
  EXPECT_EQ("the mounted file\n", readFile("/tmp/d/conf"));
  char buffer[64] = {};
  ssize_t n = ::pread(underneath.get(), buffer, sizeof buffer, 0);
  ASSERT_GE(n, 0);
  EXPECT_EQ("new\n", std::string(buffer, static_cast<std::size_t>(n)));
  EXPECT_EQ(std::vector<std::string>{"conf"}, listDir("/tmp/d"));
}

// A file rewritten in place (here: one with a second name) is backed up as
// a copy. The copy has exactly the file's owner, group, mode, ACL and
// extended attributes, whatever an older backup had, and its mode is not
// forced over the ACL's mask (which would widen what the owning group may).
TEST(FileReplacer, BackupCopyTakesTheMetadataOfTheFileItCopies) {
  const char kAcl[] = "user::rw-,user:65534:rw-,group::---,mask::rw-,other::---";
  for (bool olderBackup : {false, true}) {
    SCOPED_TRACE(olderBackup ? "over an older backup" : "no older backup");
    Sandbox box;
    const std::string target = "/tmp/d/conf", backup = "/tmp/d/conf.bak";
    box.writeFile(target, "old contents\n", 0640);
    box.makeHardLink(target, "/tmp/d/second");
    ASSERT_EQ(0, ::chown(target.c_str(), 1234, 4321));
    setAcl(target, kAcl);
    ASSERT_EQ(0, ::setxattr(target.c_str(), "user.tag", "kept", 4, 0));
    if (olderBackup) {
      box.writeFile(backup, "older\n", 0644);
      ASSERT_EQ(0, ::chown(backup.c_str(), 999, 999));
      setAcl(backup, "u::rw-,u:4321:r--,g::r--,m::r--,o::r--");
      ASSERT_EQ(0, ::setxattr(backup.c_str(), "user.older", "x", 1, 0));
    }
    struct stat before;
    ASSERT_EQ(0, ::stat(target.c_str(), &before));

    std::string err;
    FileReplacer r(target, FileReplacer::Placement::kInPlace);
    ASSERT_TRUE(r.open(&err)) << err;
    ASSERT_TRUE(r.keepBackup(backup, &err)) << err;
    ASSERT_TRUE(r.write("new\n", &err));
    ASSERT_TRUE(r.commit(&err)) << err;

    EXPECT_EQ("new\n", readFile("/tmp/d/second"));
    EXPECT_EQ("old contents\n", readFile(backup));
    struct stat st;
    ASSERT_EQ(0, ::stat(backup.c_str(), &st));
    EXPECT_NE(before.st_ino, st.st_ino) << "the backup is a copy";
    EXPECT_EQ(1234u, st.st_uid);
    EXPECT_EQ(4321u, st.st_gid);
    EXPECT_EQ(before.st_mode & 07777, st.st_mode & 07777);
    EXPECT_EQ(kAcl, aclText(backup));
    EXPECT_EQ(kAcl, aclText(target));
    EXPECT_EQ("kept", attribute(backup, "user.tag"));
    EXPECT_EQ("", attribute(backup, "user.older"));
    EXPECT_EQ((std::vector<std::string>{"conf", "conf.bak", "second"}), sorted(listDir("/tmp/d")));
  }
}

// A renaming writer whose new file could not get the old one's owner and
// group (a user other than root, over root's file in a directory open to
// all) writes the file in place instead, which keeps them, as the writer's
// own truncating open would; no copy is left.
TEST(FileReplacer, RenameWhoseCopyCantTakeTheOwnerWritesInPlace) {
  for (bool fixedName : {false, true}) {
    SCOPED_TRACE(fixedName ? "fixed temporary name" : "unnamed copy");
    Sandbox box;
    box.makeDirs("/tmp/open", 0777);
    const std::string path = "/tmp/open/conf";
    box.writeFile(path, "old contents\n", 0666);
    ASSERT_EQ(0, ::chmod(path.c_str(), 0666));
    struct stat before;
    ASSERT_EQ(0, ::stat(path.c_str(), &before));
    EXPECT_EQ(0, writeInPlaceAsNobody(path, "new\n", 0, [&] {
      return fixedName ? new FileReplacer(path, FileReplacer::Placement::kRename, path + "_t")
                       : new FileReplacer(path, FileReplacer::Placement::kRename);
    }));
    EXPECT_EQ("new\n", readFile(path));
    struct stat st;
    ASSERT_EQ(0, ::stat(path.c_str(), &st));
    EXPECT_EQ(before.st_ino, st.st_ino) << "written in place";
    EXPECT_EQ(0u, st.st_uid);
    EXPECT_EQ(0u, st.st_gid);
    EXPECT_EQ(0666u, st.st_mode & 07777);
    EXPECT_EQ(std::vector<std::string>{"conf"}, listDir("/tmp/open"));
  }
}

}  // namespace
