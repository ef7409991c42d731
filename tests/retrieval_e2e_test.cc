// Module retrieval through the built tool, in a private namespace: the
// header package and what it leaves behind, the OS scripts, the failures
// that need no build service.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tests/harness/fixtures.h"
#include "tests/harness/run.h"
#include "tests/harness/sandbox.h"

namespace {

using harness::Install;
using harness::RunResult;
using harness::Sandbox;

const std::vector<std::string> kTree = {
    ".config",         "Makefile",         "Module.symvers",       "include/linux/a.h", "include/x.o",
    "scripts/Kconfig.include", "scripts/mod/x.ko", "arch/x86/Makefile", "arch/x86/boot/bzImage",
    "security/Kconfig", "drivers/Kconfig",  "drivers/Makefile.x",   "drivers/foo.c"};

// Members of a .tar.gz, sorted, without trailing slashes.
std::vector<std::string> members(const std::string& package) {
  int status = 0;
  std::string out = harness::shell("tar tzf " + harness::shellQuote(package), &status);
  EXPECT_EQ(0, status) << package;
  std::vector<std::string> list;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    while (!line.empty() && line.back() == '/') line.pop_back();
    list.push_back(line);
  }
  std::sort(list.begin(), list.end());
  list.erase(std::unique(list.begin(), list.end()), list.end());
  return list;
}

bool has(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

// No temporary directory of the package is left under /tmp.
std::string leftovers() { return harness::shell("ls -A /tmp | grep '^tavrik-kestrin' || true"); }

// Removes the distribution markers of the host's own /etc.
void noDistribution(Sandbox& box) {
  for (const char* f : {"/etc/redhat-release", "/etc/debian_version", "/etc/arch-release", "/etc/SuSE-release"})
    box.remove(f);
}

TEST(RetrievalE2E, TarballOnlyKeepsThePackageFromTheStandardPlaces) {
  Sandbox box;
  harness::installProduct(box, Install::kAgentOnly);
  noDistribution(box);
  // source/ lacks .config, the second candidate is absent, build/ is whole.
  box.makeTree("/lib/modules/" + harness::kernelRelease() + "/source", {"Makefile"});
  box.makeTree("/lib/modules/" + harness::kernelRelease() + "/build", kTree);
  RunResult r = harness::runTool({"--tarball-only", "/tmp/headers.tgz"});
  ASSERT_TRUE(r.exited(0)) << harness::describe(r);
  std::string src = "/lib/modules/" + harness::kernelRelease() + "/source/";
  std::string build = "/lib/modules/" + harness::kernelRelease() + "/build/";
  EXPECT_NE(std::string::npos, r.out.find("Checking '" + src + "' for kernel headers")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("Unable to find a '.config'. This file is required to build a kernel module\n"));
  EXPECT_NE(std::string::npos,
            r.out.find("Checking '/usr/src/kernels/" + harness::kernelRelease() + "-" + harness::machineName() + "/' for kernel headers"));
  EXPECT_NE(std::string::npos, r.out.find("Found headers in '" + build + "'"));
  EXPECT_NE(std::string::npos, r.out.find("Header package created '/tmp/headers.tgz'\n"));
  EXPECT_NE(std::string::npos,
            r.out.find("After it is complete, you will need to copy the module to /lib/modules/pelagent\n"));
  auto list = members("/tmp/headers.tgz");
  for (const char* want : {"./include/linux/a.h", "./scripts/Kconfig.include", "./arch/x86/Makefile",
                           "./security/Kconfig", "./.config", "./Makefile", "./Module.symvers", "./drivers/Kconfig",
                           "./drivers/Makefile.x", "./tmp/tavrik-proc-version"})
    EXPECT_TRUE(has(list, want)) << want;
  for (const char* unwanted : {"./include/x.o", "./scripts/mod/x.ko", "./arch/x86/boot/bzImage", "./drivers/foo.c"})
    EXPECT_FALSE(has(list, unwanted)) << unwanted;
  EXPECT_EQ(harness::readFile("/proc/version"),
            harness::shell("tar xzOf /tmp/headers.tgz ./tmp/tavrik-proc-version"));
  EXPECT_EQ("", leftovers());
}

// kbuild's objtool goes into the package when the tree has it, links
// followed, and nothing else of tools/; without it the package is as ever.
TEST(RetrievalE2E, ObjtoolIsPackedOnlyWhenTheTreeHasIt) {
  const struct {
    const char* name;
    void (*lay)(Sandbox& box);
    bool packed;
  } cases[] = {
      {"no tools directory", [](Sandbox&) {}, false},
      {"a regular file",
       [](Sandbox& box) {
         box.writeFile("/tmp/hdr/tools/objtool/objtool", "OBJTOOL", 0755);
         box.writeFile("/tmp/hdr/tools/objtool/check.c", "int x;\n");
         box.writeFile("/tmp/hdr/tools/include/y.h", "\n");
       },
       true},
      {"tools is a link, as in the Debian tree",
       [](Sandbox& box) {
         box.writeFile("/tmp/kbuild/tools/objtool/objtool", "OBJTOOL", 0755);
         box.makeSymlink("../kbuild/tools", "/tmp/hdr/tools");
       },
       true},
      {"a dangling link", [](Sandbox& box) { box.makeSymlink("/tmp/nowhere", "/tmp/hdr/tools/objtool/objtool"); },
       false},
      {"a directory", [](Sandbox& box) { box.makeDirs("/tmp/hdr/tools/objtool/objtool"); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    harness::installProduct(box, Install::kAgentOnly);
    box.makeTree("/tmp/hdr", kTree);
    c.lay(box);
    RunResult r = harness::runTool({"--kernel-dir", "/tmp/hdr", "--tarball-only", "/tmp/k.tgz"});
    ASSERT_TRUE(r.exited(0)) << harness::describe(r);
    std::vector<std::string> tools;
    for (const std::string& m : members("/tmp/k.tgz"))
      if (m.compare(0, 7, "./tools") == 0) tools.push_back(m);
    if (c.packed) {
      EXPECT_EQ(tools, std::vector<std::string>{"./tools/objtool/objtool"});
      EXPECT_EQ("OBJTOOL", harness::shell("tar xzOf /tmp/k.tgz ./tools/objtool/objtool"));
      EXPECT_EQ("-rwx", harness::shell("tar tvzf /tmp/k.tgz ./tools/objtool/objtool").substr(0, 4));
    } else {
      EXPECT_TRUE(tools.empty());
    }
  }
}

// The package command as run, byte for byte, from its debug line: with
// objtool in the tree and without, from --kernel-dir and from build/.
TEST(RetrievalE2E, PackageCommandText) {
  // $D header directory, $T temporary directory, $E extra file, $O the
  // objtool member, $C the name of the /proc/version copy.
  const std::string form =
      "debug: tar: (cd $D && tar -chf '$T/kernel-headers.tar' $E  --exclude \"*.o\" --exclude \"*.ko\" "
      "--exclude \"*.defconfigs\"  --exclude vmlinux.bin --exclude setup.elf --exclude bzImage   ./include "
      "./scripts ./security ./arch$O; find . -follow \\( -name 'Kconfig*' -o -name 'Makefile*' -o -name '.config' "
      "-o -name 'Module.symvers' -o -name 'asm-offsets.s' \\) -print0 | xargs -0 tar -uhf '$T/kernel-headers.tar'; "
      "mkdir $T/tmp && cd $T && cat /proc/version > $T/tmp/$C && tar -uhf '$T/kernel-headers.tar' ./tmp; "
      "gzip '$T/kernel-headers.tar') 2>/dev/null\n";
  const std::string build = "/lib/modules/" + harness::kernelRelease() + "/build/";
  const struct {
    const char* name;
    std::string tree;  // where the header tree is laid
    bool kernelDir;    // named with --kernel-dir, else found in build/
    bool objtool;
    bool bootHeader;   // /boot/kernel.h exists
    std::string dir, extra, objtoolWord, copyName;
  } cases[] = {
      {"--kernel-dir without objtool", "/tmp/hdr", true, false, false, "/tmp/hdr", "", "",
       "/tavrik-proc-version-dont-use"},
      {"--kernel-dir with objtool", "/tmp/hdr", true, true, false, "/tmp/hdr", "", " ./tools/objtool/objtool",
       "/tavrik-proc-version-dont-use"},
      {"build/ with objtool and /boot/kernel.h", build, false, true, true, build, "/boot/kernel.h",
       " ./tools/objtool/objtool", "tavrik-proc-version"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    harness::installProduct(box, Install::kAgentOnly);
    noDistribution(box);
    box.makeTree(c.tree, kTree);
    if (c.objtool) box.writeFile(c.tree + "/tools/objtool/objtool", "OBJTOOL", 0755);
    box.makeWritable("/boot");
    if (c.bootHeader) box.writeFile("/boot/kernel.h", "#define X 1\n");
    std::vector<std::string> args = {"--debug", "--tarball-only", "/tmp/k.tgz"};
    if (c.kernelDir) args.insert(args.end(), {"--kernel-dir", c.tree});
    RunResult r = harness::runTool(args);
    ASSERT_TRUE(r.exited(0)) << harness::describe(r);
    std::size_t at = r.out.find("\ndebug: tar: ");
    ASSERT_NE(std::string::npos, at) << r.out;
    std::string line = r.out.substr(at + 1, r.out.find('\n', at + 1) - at);
    // The temporary directory's name is the only part not known before.
    std::size_t temp = line.find("/tmp/tavrik-kestrin.");
    ASSERT_NE(std::string::npos, temp) << line;
    std::string want = form;
    for (const auto& [mark, value] : std::vector<std::pair<std::string, std::string>>{
             {"$D", c.dir}, {"$T", line.substr(temp, 26)}, {"$E", c.extra}, {"$O", c.objtoolWord},
             {"$C", c.copyName}}) {
      for (std::size_t p = want.find(mark); p != std::string::npos; p = want.find(mark, p + value.size()))
        want.replace(p, mark.size(), value);
    }
    EXPECT_EQ(want, line);
  }
}

TEST(RetrievalE2E, TarballOnlyReplacesAnExistingFileAndCrossesFileSystems) {
  Sandbox box;
  harness::installProduct(box, Install::kAgentOnly);
  box.makeWritable("/usr/src");
  box.makeTree("/usr/src/hdr", kTree);
  // The target lives on another file system than /tmp.
  box.writeFile("/usr/sbin/old.tgz", "previous content", 0600);
  RunResult r = harness::runTool({"--kernel-dir", "/usr/src/hdr", "--tarball-only", "/usr/sbin/old.tgz"});
  ASSERT_TRUE(r.exited(0)) << harness::describe(r);
  // The copy has the mode of a new file, not the old file's.
  mode_t mask = umask(0);
  umask(mask);
  struct stat info {};
  ASSERT_EQ(0, stat("/usr/sbin/old.tgz", &info));
  EXPECT_EQ(0666u & ~mask, info.st_mode & 07777);
  auto list = members("/usr/sbin/old.tgz");
  EXPECT_TRUE(has(list, "./tmp/tavrik-proc-version-dont-use"));
  EXPECT_FALSE(has(list, "./tmp/tavrik-proc-version"));
  EXPECT_EQ("", harness::shell("ls -A /usr/sbin | grep '^old.tgz.' || true"));  // no copy left beside it
  EXPECT_EQ("", leftovers());
}

TEST(RetrievalE2E, TarballOnlyIntoAMissingDirectoryLeavesNothing) {
  Sandbox box;
  harness::installProduct(box, Install::kAgentOnly);
  box.makeTree("/tmp/hdr", kTree);
  RunResult r = harness::runTool({"--kernel-dir", "/tmp/hdr", "--tarball-only", "/tmp/nodir/out.tgz"});
  ASSERT_TRUE(r.exited(0)) << harness::describe(r);
  EXPECT_NE(std::string::npos,
            r.out.find("Couldnt open file '/tmp/nodir/out.tgz': 'No such file or directory'\n")) << r.out;
  EXPECT_FALSE(harness::pathPresent("/tmp/nodir"));
  EXPECT_EQ("", leftovers());
}

TEST(RetrievalE2E, KernelDirIsQuotedInTheShellCommand) {
  Sandbox box;
  harness::installProduct(box, Install::kAgentOnly);
  std::string dir = "/tmp/my hdr;touch /tmp/owned;'x";
  box.makeTree(dir, kTree);
  RunResult r = harness::runTool({"--kernel-dir", dir, "--tarball-only", "/tmp/out.tgz"});
  ASSERT_TRUE(r.exited(0)) << harness::describe(r);
  EXPECT_FALSE(harness::pathPresent("/tmp/owned"));
  EXPECT_TRUE(has(members("/tmp/out.tgz"), "./include/linux/a.h"));
}

// A relative --kernel-dir names the directory under the working directory
// that was checked: never one that CDPATH finds first, and a leading '-' is
// no option. Only that tree goes into the package.
TEST(RetrievalE2E, RelativeKernelDirPacksTheCheckedTree) {
  const std::vector<std::string> kExpected = {
      "./.config", "./Makefile", "./Module.symvers", "./arch", "./arch/x86", "./arch/x86/Makefile",
      "./arch/x86/boot", "./drivers/Kconfig", "./drivers/Makefile.x", "./include", "./include/linux",
      "./include/linux/a.h", "./scripts", "./scripts/Kconfig.include", "./scripts/mod", "./security",
      "./security/Kconfig", "./tmp", "./tmp/tavrik-proc-version-dont-use"};
  for (const char* name : {"-hdr", "hdr"}) {
    SCOPED_TRACE(name);
    Sandbox box;
    harness::installProduct(box, Install::kAgentOnly);
    noDistribution(box);
    if (harness::pathPresent("/boot/kernel.h")) {
      box.makeWritable("/boot");
      box.remove("/boot/kernel.h");
    }
    box.makeTree(std::string("/tmp/work/") + name, kTree);
    // Beside the tree in the working directory, and a tree of the same name
    // where CDPATH points.
    box.makeTree("/tmp/work", {"Kconfig.stray", "other/Makefile", "include/linux/stray.h"});
    box.makeTree(std::string("/tmp/elsewhere/") + name, {".config", "Makefile", "include/linux/elsewhere.h"});
    harness::RunOptions options;
    options.args = {"--no-scripts", "--kernel-dir", name, "--tarball-only", "/tmp/out.tgz"};
    options.stdinMode = harness::Stdin::kDevNull;
    options.cwd = "/tmp/work";
    options.env = {{"CDPATH", "/tmp/elsewhere"}};
    RunResult r = harness::runTool(options);
    ASSERT_TRUE(r.exited(0)) << harness::describe(r);
    EXPECT_NE(std::string::npos, r.out.find(std::string("Found headers in '") + name + "'")) << r.out;
    EXPECT_EQ(kExpected, members("/tmp/out.tgz"));
    EXPECT_EQ("", leftovers());
  }
}

TEST(RetrievalE2E, HeaderOnlyWithoutANameKeepsTheTemporaryFiles) {
  Sandbox box;
  harness::installProduct(box, Install::kAgentOnly);
  box.makeTree("/tmp/hdr", kTree);
  RunResult r = harness::runTool({"--kernel-dir", "/tmp/hdr", "--header-only", "--force-update", "--no-binary", "--silent"});
  ASSERT_TRUE(r.exited(1)) << harness::describe(r);
  EXPECT_NE(std::string::npos, r.out.find("Creating kernel headers package\n"));
  EXPECT_NE(std::string::npos, r.out.find("new tar filename isnt set\n"));
  EXPECT_EQ(std::string::npos, r.out.find("Gathering kernel information"));  // silent
  std::string temp = leftovers();
  ASSERT_NE("", temp);
  temp.pop_back();
  EXPECT_TRUE(harness::pathPresent("/tmp/" + temp + "/kernel-headers.tar.gz"));
  EXPECT_FALSE(harness::pathPresent("/tmp/" + temp + "/kernel-headers.tar"));
}

TEST(RetrievalE2E, NoHeaderTreeEndsWithStatusOne) {
  Sandbox box;
  harness::installProduct(box, Install::kAgentOnly);
  noDistribution(box);
  RunResult r = harness::runTool({"--tarball-only", "/tmp/out.tgz"});
  ASSERT_TRUE(r.exited(1)) << harness::describe(r);
  EXPECT_NE(std::string::npos, r.out.find("Unable to find a valid source directory.\n"));
  EXPECT_NE(std::string::npos, r.out.find("Please install the kernel headers for your operating system.\n"));
  EXPECT_FALSE(harness::pathPresent("/tmp/out.tgz"));
}

TEST(RetrievalE2E, KernelDirWithoutMakefileGivesTheHint) {
  Sandbox box;
  harness::installProduct(box, Install::kAgentOnly);
  noDistribution(box);
  box.writeFile("/etc/debian_version", "12.0\n");
  box.makeTree("/tmp/hdr", {".config"});
  RunResult r = harness::runTool({"--kernel-dir", "/tmp/hdr", "--tarball-only", "/tmp/out.tgz"});
  ASSERT_TRUE(r.exited(1)) << harness::describe(r);
  EXPECT_NE(std::string::npos, r.out.find("Unable to find a 'Makefile'. This file is required to build a kernel module\n"));
  EXPECT_NE(std::string::npos,
            r.out.find("To install kernel headers execute:\napt-get install linux-headers-`uname -r`\n"));
}

TEST(RetrievalE2E, DebianCopyScriptAssemblesThePrivateTree) {
  Sandbox box;
  harness::installProduct(box, Install::kAgentOnly);
  noDistribution(box);
  box.writeFile("/etc/debian_version", "12.0\n");
  box.makeWritable("/usr/src");
  std::string rel = harness::kernelRelease();
  std::string common = rel.substr(0, rel.find('-', rel.find('-') + 1));
  box.makeTree("/usr/src/linux-headers-" + rel, {".config", "Makefile", "include/generated/autoconf.h"});
  box.makeTree("/usr/src/linux-headers-" + common + "-common", {"Makefile", "include/linux/b.h", "scripts/Kconfig"});
  RunResult r = harness::runTool({"--tarball-only", "/tmp/out.tgz", "--debug"});
  ASSERT_TRUE(r.exited(0)) << harness::describe(r);
  EXPECT_NE(std::string::npos, r.out.find("debug: Script returned: debian\n"));
  const std::string marker = "debug: new kernel source dir: ";
  std::size_t at = r.out.find(marker + "/tmp/tavrik-kestrin.");
  ASSERT_NE(std::string::npos, at) << r.out;
  at += marker.size();
  std::string dir = r.out.substr(at, r.out.find('\n', at) - at);
  struct stat info {};
  ASSERT_EQ(0, stat(dir.c_str(), &info));
  EXPECT_EQ(0700u, info.st_mode & 0777);
  EXPECT_TRUE(harness::pathPresent(dir + "/.deleteme"));  // the tree stays for the user
  auto list = members("/tmp/out.tgz");
  for (const char* want : {"./include/generated/autoconf.h", "./include/linux/b.h", "./scripts/Kconfig",
                           "./tmp/tavrik-proc-version-dont-use"})
    EXPECT_TRUE(has(list, want)) << want;
  // With --debug the script files stay, and only their owner may read them.
  std::string kept = harness::shell("find /tmp -maxdepth 1 -name 'tavrik-kestrin-*' ! -perm 600 | wc -l");
  EXPECT_EQ("0\n", kept);
}

TEST(RetrievalE2E, DebianCopyScriptRefusesAnExistingBuildDirectory) {
  Sandbox box;
  harness::installProduct(box, Install::kAgentOnly);
  noDistribution(box);
  box.writeFile("/etc/debian_version", "12.0\n");
  // dash leaves $RANDOM as the seconds the script sets: lay every name of
  // the next few seconds in advance.
  long now = static_cast<long>(time(nullptr));
  for (long s = now; s < now + 10; ++s) box.makeDirs("/tmp/tavrik-kestrin." + std::to_string(s));
  RunResult r = harness::runTool({"--tarball-only", "/tmp/out.tgz"});
  if (harness::shell("readlink -f /bin/sh") != "/usr/bin/dash\n") GTEST_SKIP() << "/bin/sh is not dash";
  ASSERT_TRUE(r.exited(1)) << harness::describe(r);
  EXPECT_NE(std::string::npos, r.out.find("Internal script returned an error: \nUnable to create the build directory /tmp/tavrik-kestrin."));
}

struct OsCase {
  const char* file;
  const char* content;
  const char* answer;
};

TEST(RetrievalE2E, DetectionScriptOnEachSystem) {
  const OsCase cases[] = {
      {"/etc/redhat-release", "Red Hat Enterprise Linux release 5\n", "Red detected\nHat detected\n"},
      {"/etc/redhat-release", "CentOS release 6.4 (Final)\n", "CentOS detected\n"},
      {"/etc/arch-release", "", "arch\n"},
      {nullptr, nullptr, ""},
  };
  for (const OsCase& c : cases) {
    Sandbox box;
    harness::installProduct(box, Install::kAgentOnly);
    noDistribution(box);
    if (c.file) box.writeFile(c.file, c.content);
    box.makeTree("/lib/modules/" + harness::kernelRelease() + "/build", kTree);
    RunResult r = harness::runTool({"--tarball-only", "/tmp/out.tgz", "--debug"});
    ASSERT_TRUE(r.exited(0)) << harness::describe(r);
    EXPECT_NE(std::string::npos, r.out.find(std::string("debug: Script returned: ") + c.answer + "\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Found headers in '/lib/modules/" + harness::kernelRelease() + "/build/'"));
  }
}

TEST(RetrievalE2E, SuseWithoutKernelSourceIsAnError) {
  Sandbox box;
  harness::installProduct(box, Install::kAgentOnly);
  noDistribution(box);
  box.writeFile("/etc/SuSE-release", "SUSE Linux Enterprise Server 11\n");
  RunResult r = harness::runTool({"--tarball-only", "/tmp/out.tgz"});
  ASSERT_TRUE(r.exited(1)) << harness::describe(r);
  EXPECT_EQ(0u, r.out.find("Checking if module needs updated\nGathering kernel information\n"
                           "Internal script returned an error: \n")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("Cannot find the kernel-source package for your kernel\n")) << r.out;
}

// The SUSE copy script merges the configured object tree and the source
// tree of the running kernel into a fresh private tree, which is packed.
TEST(RetrievalE2E, SuseCopyScriptMergesObjectAndSourceTrees) {
  Sandbox box;
  harness::installProduct(box, Install::kAgentOnly);
  noDistribution(box);
  box.writeFile("/etc/SuSE-release", "SUSE Linux Enterprise Server 15\n");
  // The names the script derives from uname, taken the way SUSE names its
  // packages: the release less a trailing flavour word, and that flavour.
  std::string rel = harness::kernelRelease();
  std::string version = harness::shell("echo " + harness::shellQuote(rel) + " | sed 's/-[a-z]*$//g'");
  std::string flavour = rel.substr(rel.rfind('-') + 1);
  std::string arch = harness::shell("uname -i");
  version.pop_back();
  arch.pop_back();
  box.writeFile("/tmp/bin/rpm", "#!/bin/sh\necho kernel-default-" + version + "\necho kernel-source-" + version +
                                    ".1\n",
                0755);
  box.makeWritable("/usr/src");
  std::string src = "/usr/src/linux-" + version;
  std::string obj = "/usr/src/linux-" + version + "-obj/" + arch + "/" + flavour;
  box.makeTree(src, {"Makefile", "include/linux/a.h", "arch/x86/Makefile", "scripts/Kconfig.include", "drivers/x.c"});
  box.makeTree(obj, {".config", "Module.symvers", "include/generated/autoconf.h"});
  harness::RunOptions options;
  options.args = {"--tarball-only", "/tmp/out.tgz", "--debug"};
  options.stdinMode = harness::Stdin::kDevNull;
  options.env = {{"PATH", std::string("/tmp/bin:") + std::getenv("PATH")}};
  RunResult r = harness::runTool(options);
  ASSERT_TRUE(r.exited(0)) << harness::describe(r);
  EXPECT_NE(std::string::npos, r.out.find("debug: Script returned: suse\n"));
  const std::string marker = "debug: new kernel source dir: /tmp/tavrik-kestrin.";
  std::size_t at = r.out.find(marker);
  ASSERT_NE(std::string::npos, at) << r.out;
  at += marker.size() - std::string("/tmp/tavrik-kestrin.").size();
  std::string dir = r.out.substr(at, r.out.find('\n', at) - at);
  struct stat info {};
  ASSERT_EQ(0, stat(dir.c_str(), &info));
  EXPECT_EQ(0700u, info.st_mode & 0777);
  EXPECT_TRUE(harness::pathPresent(dir + "/.deleteme"));
  EXPECT_NE(std::string::npos, r.out.find("Found headers in '" + dir + "'"));
  auto list = members("/tmp/out.tgz");
  for (const char* want : {"./.config", "./Module.symvers", "./include/generated/autoconf.h", "./include/linux/a.h",
                           "./Makefile", "./arch/x86/Makefile", "./scripts/Kconfig.include",
                           "./tmp/tavrik-proc-version-dont-use"})
    EXPECT_TRUE(has(list, want)) << want;
  EXPECT_FALSE(has(list, "./drivers/x.c"));
}

TEST(RetrievalE2E, BootKernelHeaderGoesIntoThePackage) {
  Sandbox box;
  harness::installProduct(box, Install::kAgentOnly);
  box.makeTree("/tmp/hdr", kTree);
  box.makeWritable("/boot");
  box.writeFile("/boot/kernel.h", "#define X 1\n");
  RunResult r = harness::runTool({"--no-scripts", "--kernel-dir", "/tmp/hdr", "--tarball-only", "/tmp/k.tgz"});
  ASSERT_TRUE(r.exited(0)) << harness::describe(r);
  EXPECT_TRUE(has(members("/tmp/k.tgz"), "boot/kernel.h"));
}

// A command the package needs is missing, or the package command fails.
TEST(RetrievalE2E, PackageCommandFailures) {
  Sandbox box;
  harness::installProduct(box, Install::kAgentOnly);
  box.makeTree("/tmp/hdr", kTree);
  harness::RunOptions options;
  options.args = {"--no-scripts", "--kernel-dir", "/tmp/hdr", "--tarball-only", "/tmp/k.tgz"};
  options.stdinMode = harness::Stdin::kDevNull;

  // Only these commands are found: find is not among them.
  for (const char* command : {"which", "cp", "tar", "gzip", "mkdir"}) {
    std::string target = harness::shell(std::string("command -v ") + command);
    target.pop_back();
    box.makeSymlink(target, "/tmp/only/" + std::string(command));
  }
  options.env = {{"PATH", "/tmp/only"}};
  RunResult r = harness::runTool(options);
  ASSERT_TRUE(r.exited(1)) << harness::describe(r);
  EXPECT_NE(std::string::npos, r.out.find("Unable to find the command find in your PATH\n")) << r.out;
  EXPECT_EQ(std::string::npos, r.out.find("Compressing...")) << r.out;
  EXPECT_FALSE(harness::pathPresent("/tmp/k.tgz"));

  // The package's status is gzip's.
  box.writeFile("/tmp/bin/gzip", "#!/bin/sh\nexit 1\n", 0755);
  options.env = {{"PATH", std::string("/tmp/bin:") + std::getenv("PATH")}};
  r = harness::runTool(options);
  ASSERT_TRUE(r.exited(1)) << harness::describe(r);
  std::size_t at = r.out.find("Compressing...\nGathering required information failed (");
  ASSERT_NE(std::string::npos, at) << r.out;
  EXPECT_NE(std::string::npos,
            r.out.find(").\nTo check:\n\tDisk space in /tmp\n\tFiles in '/tmp/hdr'\n", at)) << r.out;
  EXPECT_FALSE(harness::pathPresent("/tmp/k.tgz"));
}

TEST(RetrievalE2E, ScriptFileThatCannotBeMadeEndsTheRun) {
  Sandbox box;
  harness::installProduct(box, Install::kAgentOnly);
  int status = -1;
  harness::shell("mount -o remount,ro /tmp", &status);
  ASSERT_EQ(0, status);
  RunResult r = harness::runTool({"--force-update", "--no-binary"});
  harness::shell("mount -o remount,rw /tmp");
  ASSERT_TRUE(r.exited(1)) << harness::describe(r);
  EXPECT_EQ(r.out,
            "Gathering kernel information\n"
            "unable to open temporary fileFailed to save script to disk\n"
            "an internal script failed to run\n");
}

TEST(RetrievalE2E, ServiceUnreachable) {
  Sandbox box;
  harness::installProduct(box, Install::kAgentOnly);
  RunResult r = harness::runTool({"--test-connection", "--host", "127.0.0.1", "--tarball-only", "/tmp/x"});
  ASSERT_TRUE(r.exited(1)) << harness::describe(r);
  EXPECT_NE(std::string::npos, r.out.find("Checking connection to server\n"));
  EXPECT_NE(std::string::npos, r.out.find("Failed to connect to '127.0.0.1'\n"));
  EXPECT_FALSE(harness::pathPresent("/tmp/x"));
}

}  // namespace
