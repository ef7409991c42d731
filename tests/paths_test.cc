#include "productlib/paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "setup/files.h"
#include "setup/write_file.h"
#include "setup/unique_fd.h"
#include "tests/productlib/capture.h"
#include "tests/harness/tool.h"
#include "tests/productlib/scratch_dir.h"

namespace {
class TempDir : public ScratchDirTest {
 protected:
  TempDir() : ScratchDirTest("plib-paths") {}
  void SetUp() override {
    ScratchDirTest::SetUp();
    umask_ = umask(0);
  }
  void TearDown() override {
    umask(umask_);
    ScratchDirTest::TearDown();
  }
  static mode_t modeOf(const std::string& p) { return harness::modeOf(p); }
  static bool isDir(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }
  static std::string cwd() {
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof buffer) ? buffer : "";
  }

  mode_t umask_ = 0;
};
}  // namespace

TEST(AppendSlash, Cases) {
  struct Case {
    const char* text;
    int size;
    int result;
    const char* after;
  } cases[] = {
      {"a/", 3, 0, "a/"}, {"a", 2, 1, "a"}, {"a", 3, 0, "a/"}, {"/", 2, 0, "/"}, {"", 8, 1, ""},
  };
  for (const Case& c : cases) {
    char buffer[8] = {};
    std::strcpy(buffer, c.text);
    EXPECT_EQ(append_slash(buffer, c.size), c.result) << '"' << c.text << "\" size " << c.size;
    EXPECT_STREQ(buffer, c.after);
  }
  // No terminator within the size: nothing is read or written past it.
  char unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(append_slash(unterminated, 4), 1);
  EXPECT_EQ(std::memcmp(unterminated, "abcd", 4), 0);
  EXPECT_EQ(append_slash(unterminated, 0), 1);
}

TEST_F(TempDir, OpenInDirJoinsWithoutSeparator) {
  int fd = -1;
  ASSERT_EQ(open_in_dir(&fd, dir_.c_str(), "file", O_CREAT | O_WRONLY, 0600), 0);
  close(fd);
  EXPECT_TRUE(fileExists((dir_ + "file").c_str()));
  unlink((dir_ + "file").c_str());

  std::string withSlash = dir_ + "/";
  ASSERT_EQ(open_in_dir(&fd, withSlash.c_str(), "inside", O_CREAT | O_WRONLY, 0600), 0);
  close(fd);
  EXPECT_TRUE(fileExists(path("inside").c_str()));

  std::string out = captureStdout([&] { EXPECT_EQ(open_in_dir(&fd, withSlash.c_str(), "absent", O_RDONLY, 0), 1); });
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(out, "failed to open(" + path("absent") + "): No such file or directory (2)\n");
}

TEST(OpenInDir, PathLengthLimit) {
  std::string directory(kPathTextSize - 1, 'd');
  int fd = -1;
  // Just fits: the open is attempted (and the system refuses the long name).
  std::string out = captureStdout([&] { EXPECT_EQ(open_in_dir(&fd, directory.c_str(), "", O_RDONLY, 0), 1); });
  EXPECT_EQ(out.rfind("failed to open(" + std::string(100, 'd'), 0), 0u) << out.substr(0, 40);
  // One more character is refused before any open; the line shows the cut path
  // (itself cut to the logger's line length).
  out = captureStdout([&] { EXPECT_EQ(open_in_dir(&fd, directory.c_str(), "n", O_RDONLY, 0), 1); });
  EXPECT_EQ(out.rfind("path (" + std::string(20, 'd'), 0), 0u);
  EXPECT_EQ(out.find("failed to open"), std::string::npos);
  std::string longer(kPathTextSize, 'd');
  out = captureStdout([&] { EXPECT_EQ(open_in_dir(&fd, longer.c_str(), "", O_RDONLY, 0), 1); });
  EXPECT_EQ(out.rfind("path (", 0), 0u);
}

TEST_F(TempDir, MakePathDirectAndWalkModes) {
  std::string before = cwd();
  std::string out = captureStdout([&] {
    EXPECT_EQ(make_path(path("direct").c_str(), 0750, 0700), 0);
    EXPECT_EQ(make_path(path("direct").c_str(), 0750, 0700), 1);  // exists: 1, no line
    EXPECT_EQ(make_path("", 0750, 0700), 0);
    EXPECT_EQ(make_path("relative-missing/below", 0750, 0700), 1);
    EXPECT_EQ(make_path((path("t") + "//a/b/c").c_str(), 0750, 0711), 0);
  });
  EXPECT_EQ(out, "");
  EXPECT_EQ(modeOf(path("direct")), 0750u);
  for (const char* p : {"t", "t/a", "t/a/b", "t/a/b/c"}) EXPECT_EQ(modeOf(path(p)), 0711u) << p;
  EXPECT_EQ(cwd(), before);
  EXPECT_FALSE(fileExists("relative-missing"));
}

TEST_F(TempDir, MakePathReportsTheFailingComponent) {
  std::string before = cwd();
  // Something missing below a file fails at once (ENOTDIR), without a line.
  ASSERT_EQ(write_file(path("file").c_str(), "x"), 0);
  std::string out = captureStdout([&] { EXPECT_EQ(make_path(path("file/sub").c_str(), 0755, 0755), 1); });
  EXPECT_EQ(out, "");
  // A dangling link exists, has no status, and cannot be entered.
  ASSERT_EQ(symlink(path("nowhere").c_str(), path("link").c_str()), 0);
  out = captureStdout([&] { EXPECT_EQ(make_path(path("link/sub").c_str(), 0755, 0755), 1); });
  EXPECT_EQ(out, "Failed to chdir to directory (link): No such file or directory (2)\n");
  EXPECT_EQ(cwd(), before);
  EXPECT_FALSE(fileExists(path("nowhere").c_str()));

}

// Started in a directory whose path is longer than chdir takes, or longer
// than any path buffer, the walk still ends where it began.
TEST_F(TempDir, MakePathReturnsToAWorkingDirectoryOfAnyLength) {
  UniqueFd testDir(open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(testDir);
  struct Back {
    int fd;
    ~Back() { EXPECT_EQ(fchdir(fd), 0); }
  } back{testDir.get()};
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  const std::string name(250, 'n');
  std::size_t length = dir_.size();
  int made = 0;
  for (std::size_t longerThan : {std::size_t{PATH_MAX}, std::size_t{kPathTextSize}}) {
    SCOPED_TRACE(longerThan);
    while (length <= longerThan) {
      ASSERT_EQ(mkdir(name.c_str(), 0700), 0);
      ASSERT_EQ(chdir(name.c_str()), 0);
      length += 1 + name.size();
    }
    struct stat before;
    ASSERT_EQ(stat(".", &before), 0);
    std::string target = path("t" + std::to_string(++made) + "/a/b");
    std::string out = captureStdout([&] { EXPECT_EQ(make_path(target.c_str(), 0755, 0700), 0); });
    EXPECT_EQ(out, "");
    EXPECT_TRUE(isDir(target));
    struct stat after;
    ASSERT_EQ(stat(".", &after), 0);
    EXPECT_EQ(after.st_dev, before.st_dev);
    EXPECT_EQ(after.st_ino, before.st_ino);
  }
}

namespace {
// From here on, every fchdir of the calling process fails with EACCES, as
// for a directory it may no longer enter. False when the system refuses the
// filter.
bool failEveryFchdir() {
#if defined(__x86_64__)
  constexpr unsigned kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
  constexpr unsigned kArch = AUDIT_ARCH_AARCH64;
#else
  return false;
#endif
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fchdir, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EACCES & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}
}  // namespace

// The walk is done, but the process cannot get back to where it started:
// the call fails, without a line.
TEST_F(TempDir, MakePathThatCannotReturnFails) {
  const std::string target = path("t/a/b");
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (!failEveryFchdir()) _exit(3);
    dup2(out[1], STDOUT_FILENO);
    int result = make_path(target.c_str(), 0755, 0700);
    std::fflush(stdout);
    _exit(result);
  }
  close(out[1]);
  std::string text;
  char buffer[256];
  ssize_t n;
  while ((n = read(out[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
  close(out[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  if (WEXITSTATUS(status) == 3) GTEST_SKIP() << "no system-call filter on this system";
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(text, "");
  EXPECT_TRUE(isDir(target));
}

TEST_F(TempDir, MakeParentDirsCreatesOutermostFirst) {
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  char text[] = "x/y/z";
  std::string out = captureStdout([&] { EXPECT_EQ(make_parent_dirs(text, 0755), 0); });
  EXPECT_EQ(out, "");
  EXPECT_TRUE(isDir(path("x/y/z")));
  EXPECT_STREQ(text, "x");  // the walk cuts the caller's text in place
  char again[] = "x/y/z";
  EXPECT_EQ(make_parent_dirs(again, 0755), 0);

  ASSERT_EQ(write_file(path("f").c_str(), "x"), 0);
  char blocked[] = "f/y/z";
  out = captureStdout([&] { EXPECT_EQ(make_parent_dirs(blocked, 0755), 1); });
  EXPECT_EQ(out, "Element in path is not a directory (f)\n");

  // An absolute path ends its walk at "/" instead of recursing forever.
  std::string absolute = path("abs/one/two");
  std::string out2 = captureStdout([&] { EXPECT_EQ(make_parent_dirs(absolute.data(), 0700), 0); });
  EXPECT_EQ(out2, "");
  EXPECT_TRUE(isDir(path("abs/one/two")));
  char root[] = "/";
  EXPECT_EQ(make_parent_dirs(root, 0700), 0);
  char empty[] = "";
  EXPECT_EQ(make_parent_dirs(empty, 0700), 0);
  ASSERT_EQ(chdir("/"), 0);
}

// A text no system call would take is refused at once, however many
// components it has, and nothing is created.
TEST_F(TempDir, MakeParentDirsRefusesOverlongTexts) {
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  std::string components;
  for (int i = 0; i < 100000; ++i) components += "a/";
  std::string exact(PATH_MAX, 'b');
  for (std::string* text : {&components, &exact}) {
    std::string before = *text;
    std::string out = captureStdout([&] { EXPECT_EQ(make_parent_dirs(text->data(), 0755), 1); });
    EXPECT_EQ(out.rfind("Failed to make parent directory (" + before.substr(0, 20), 0), 0u) << out.substr(0, 60);
    EXPECT_EQ(*text, before);
  }
  UniqueDir d(opendir(dir_.c_str()));
  ASSERT_TRUE(d);
  int entries = 0;
  while (dirent* e = readdir(d.get())) entries += e->d_name[0] != '.';
  EXPECT_EQ(entries, 0);
  ASSERT_EQ(chdir("/"), 0);
}
