// The headers package of a real Debian kernel header tree, and the vermagic
// of a real module file, through the built tool in a private namespace.
//
// The packages are fetched once with apt-get into /var/cache/tavrik-test
// (outside the repository) and unpacked there with dpkg -x; they are never
// installed. Without them the tests are skipped with a loud message.
#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "setup/files.h"
#include "tests/harness/fixtures.h"
#include "tests/harness/run.h"
#include "tests/harness/sandbox.h"

namespace {

using harness::Install;
using harness::RunResult;
using harness::Sandbox;
using harness::shell;

const char* const kCache = "/var/cache/tavrik-test";
const char* const kAbi = "6.1.0-57";
const char* const kKbuild = "linux-kbuild-6.1";

std::string release() {
  struct utsname name {};
  uname(&name);
  return name.release;
}

// Fetches (when missing) and unpacks the packages into <cache>/<dir>; the
// unpacked root, or "" when they can't be had.
std::string unpacked(const std::string& dir, const std::vector<std::string>& packages) {
  std::string root = std::string(kCache) + "/" + dir;
  std::string script = "set -e; mkdir -p " + std::string(kCache) + "; cd " + kCache + "; ";
  script += "if [ ! -f " + dir + ".done ]; then rm -rf " + dir + "; mkdir " + dir + "; ";
  for (const std::string& p : packages) {
    script += "ls " + p + "_*.deb >/dev/null 2>&1 || timeout 80 apt-get download " + p + " >/dev/null 2>&1; ";
    script += "dpkg -x $(ls " + p + "_*.deb | head -n1) " + dir + "; ";
  }
  script += "touch " + dir + ".done; fi";
  int status = 0;
  shell("mkdir -p " + std::string(kCache) + " && flock " + kCache + "/.lock sh -c " + harness::shellQuote(script),
        &status);
  return status == 0 ? root : std::string();
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> list;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) list.push_back(line);
  std::sort(list.begin(), list.end());
  list.erase(std::unique(list.begin(), list.end()), list.end());
  return list;
}

TEST(DebianTreeE2E, CopyScriptAndPackageOfTheRealHeaderTree) {
  std::string root = unpacked(std::string("headers-") + kAbi,
                              {std::string("linux-headers-") + kAbi + "-amd64",
                               std::string("linux-headers-") + kAbi + "-common", kKbuild});
  if (root.empty()) {
    GTEST_SKIP() << "\n*** The Debian linux-headers packages could not be fetched into " << kCache
                 << ": the real header tree is NOT tested. ***\n";
  }
  Sandbox box;
  harness::installProduct(box, Install::kAgentOnly);
  for (const char* f : {"/etc/redhat-release", "/etc/arch-release", "/etc/SuSE-release"}) box.remove(f);
  box.writeFile("/etc/debian_version", "12.0\n");
  // The Debian copy script looks for the running release's names; lay the
  // real trees there. Their own relative links (scripts -> kbuild) still
  // resolve in the cache.
  box.makeWritable("/usr/src");
  std::string rel = release();
  std::string common = rel.substr(0, rel.find('-', rel.find('-') + 1));
  box.makeSymlink(root + "/usr/src/linux-headers-" + kAbi + "-amd64", "/usr/src/linux-headers-" + rel);
  box.makeSymlink(root + "/usr/src/linux-headers-" + kAbi + "-common", "/usr/src/linux-headers-" + common + "-common");

  harness::RunOptions options;
  options.args = {"--tarball-only", "/tmp/real.tgz", "--debug", "--silent"};
  options.stdinMode = harness::Stdin::kDevNull;
  options.timeoutMs = 100000;  // copying and packing the real tree, also under the sanitizers
  RunResult r = harness::runTool(options);
  ASSERT_TRUE(r.exited(0)) << harness::describe(r).substr(0, 4000);
  const std::string marker = "debug: new kernel source dir: ";
  std::size_t at = r.out.find(marker);
  ASSERT_NE(std::string::npos, at);
  at += marker.size();
  std::string dir = r.out.substr(at, r.out.find('\n', at) - at);

  // What the package must hold, selected independently from the tree.
  std::string expected = shell(
      "cd " + harness::shellQuote(dir) +
      " && { find -L ./include ./scripts ./security ./arch -type f ! -name '*.o' ! -name '*.ko' "
      "! -name '*.defconfigs' ! -name vmlinux.bin ! -name setup.elf ! -name bzImage 2>/dev/null; "
      "find -L . -type f \\( -name 'Kconfig*' -o -name 'Makefile*' -o -name .config -o -name Module.symvers "
      "-o -name asm-offsets.s \\) 2>/dev/null; echo ./tmp/tavrik-proc-version-dont-use; }");
  std::string actual = shell("tar tvzf /tmp/real.tgz | awk '$1 ~ /^-/ {print $6}'");
  std::vector<std::string> want = lines(expected), got = lines(actual);
  EXPECT_GT(want.size(), 1000u);
  EXPECT_EQ(want, got);
  for (const char* member : {"./.config", "./Module.symvers", "./include/generated/autoconf.h",
                             "./arch/x86/Makefile", "./scripts/Makefile.build"})
    EXPECT_TRUE(std::find(got.begin(), got.end(), member) != got.end()) << member;
}

TEST(DebianTreeE2E, VermagicOfARealModuleGoesIntoTheQuery) {
  std::string root = unpacked(std::string("image-") + kAbi, {std::string("linux-image-") + kAbi + "-cloud-amd64"});
  if (root.empty()) {
    GTEST_SKIP() << "\n*** The Debian linux-image package could not be fetched into " << kCache
                 << ": modinfo on a real module is NOT tested. ***\n";
  }
  std::string module = root + "/lib/modules/" + kAbi + "-cloud-amd64/kernel/fs/fat/fat.ko";
  std::string vermagic = shell("/sbin/modinfo -F vermagic " + harness::shellQuote(module));
  ASSERT_FALSE(vermagic.empty());
  vermagic.pop_back();

  Sandbox box;
  harness::installProduct(box, Install::kAgentOnly);
  std::string base = "/lib/modules/" + release();
  box.writeFile(base + "/kernel/fs/fat/fat.ko", harness::readFile(module));
  // Written relative, as current module tools do.
  box.writeFile(base + "/modules.dep", "kernel/fs/fat/fat.ko:\nkernel/other.ko:\n");
  RunResult r = harness::runTool({"--binary-only", "--force-update", "--debug", "--host", "127.0.0.1"});
  ASSERT_TRUE(r.exited(1)) << harness::describe(r);
  std::string procVersion = harness::readFile("/proc/version");
  procVersion.resize(procVersion.find('\n'));
  std::string md5 = md5_hex(procVersion.data(), static_cast<int>(procVersion.size()));
  std::string modMd5 = md5_hex(vermagic.data(), static_cast<int>(vermagic.size()));
  EXPECT_NE(std::string::npos, r.out.find("debug: mod_info = " + vermagic + ", mod_md5 = " + modMd5 + "\n"))
      << r.out;
  EXPECT_NE(std::string::npos, r.out.find("debug: url: /cache-module.php?md5=" + md5 +
                                          "&go=1&cmajor=3&beta=0&nd=1&mod_md5=" + modMd5 + "&gen=4\n"));
  EXPECT_NE(std::string::npos, r.out.find("No binary module found\n"));
}

}  // namespace
