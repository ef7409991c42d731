// The headers package of a real Debian kernel header tree, a module built
// from that package alone, and the vermagic of a real module file, through
// the built tool in a private namespace.
//
// The packages are those of the kernel ABI that linux-headers-amd64 depends
// on, each at the version apt would install now. They are fetched once with
// apt-get into /var/cache/tavrik-test (outside the repository) and unpacked
// there with dpkg -x; they are never installed. scripts/install-deps.sh
// brings the apt lists that name them. Without them the tests fail: the
// module build is the only proof that the package is enough to build a
// module. A run that cannot have them (offline, say) is told so with
// TAVRIK_ALLOW_MISSING_HEADER_PACKAGES=1, and then they are skipped.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
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
const char* const kAllowMissing = "TAVRIK_ALLOW_MISSING_HEADER_PACKAGES";

bool missingPackagesAllowed() {
  const char* value = std::getenv(kAllowMissing);
  return value != nullptr && std::string(value) == "1";
}

// Why a test could not run, and what it leaves untested.
std::string missingPackagesText(const std::string& why, const std::string& what) {
  if (missingPackagesAllowed())
    return "\n*** " + why + ": " + what + " is NOT tested (" + kAllowMissing + "=1). ***\n";
  return why + ": " + what + " cannot be tested. Run scripts/install-deps.sh (it brings apt's lists), or set " +
         kAllowMissing + "=1 to let a run without the packages pass.";
}

// Ends the test when the Debian packages can't be had: a failure, or a skip
// when the run allows it.
#define END_WITHOUT_PACKAGES(why, what)                                         \
  do {                                                                          \
    if (missingPackagesAllowed()) GTEST_SKIP() << missingPackagesText(why, what); \
    FAIL() << missingPackagesText(why, what);                                   \
  } while (false)

std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> list;
  std::istringstream in(text);
  for (std::string word; in >> word;) list.push_back(word);
  return list;
}

// The header packages of the current Debian kernel: the ABI ("6.1.0-57")
// that linux-headers-amd64 depends on, the flavour's headers package and
// the common and kbuild packages it depends on. No ABI when apt doesn't know
// the meta package.
struct HeaderPackages {
  std::string abi;
  std::vector<std::string> names;
};

HeaderPackages currentHeaderPackages() {
  HeaderPackages found;
  std::string flavour = shell(
      "apt-cache depends linux-headers-amd64 2>/dev/null | sed -n 's/^ *Depends: \\(linux-headers-.*-amd64\\)$/\\1/p' "
      "| head -n1");
  std::vector<std::string> name = words(flavour);
  if (name.empty()) return found;
  const std::string prefix = "linux-headers-", suffix = "-amd64";
  found.abi = name[0].substr(prefix.size(), name[0].size() - prefix.size() - suffix.size());
  found.names = {name[0]};
  for (const std::string& p :
       words(shell("apt-cache depends " + harness::shellQuote(name[0]) +
                   " 2>/dev/null | sed -n 's/^ *Depends: \\(linux-headers-.*-common\\|linux-kbuild-.*\\)$/\\1/p'")))
    found.names.push_back(p);
  return found;
}

// The version of a package that apt would install now, "" when it knows
// none.
std::string candidateVersion(const std::string& package) {
  std::vector<std::string> version = words(shell("apt-cache policy " + harness::shellQuote(package) +
                                                 " 2>/dev/null | awk '$1 == \"Candidate:\" { print $2 }'"));
  return version.empty() || version[0] == "(none)" ? std::string() : version[0];
}

// Fetches (when missing) and unpacks the packages, each at the version apt
// would install now, into <cache>/<dir>_<version of the first>; the unpacked
// root, or "" when they can't be had. A cached file of another version is
// never taken for the package, and a tree is unpacked again unless its
// marker names the very files wanted (a package such as kbuild keeps its
// name while its version moves on).
std::string unpacked(const std::string& dir, const std::vector<std::string>& packages) {
  std::string script = "set -e; cd " + std::string(kCache) + "; debs=; ";
  std::string versioned;
  for (const std::string& p : packages) {
    std::string version = candidateVersion(p);
    if (version.empty()) return std::string();
    if (versioned.empty()) versioned = dir + "_" + version;
    // apt-get download writes an epoch's colon as %3a.
    std::string fileVersion = version;
    for (std::size_t at; (at = fileVersion.find(':')) != std::string::npos;) fileVersion.replace(at, 1, "%3a");
    std::string file = p + "_" + fileVersion + "_*.deb";
    script += "f=$(ls " + file + " 2>/dev/null | head -n1); ";
    script += "if [ -z \"$f\" ]; then timeout 80 apt-get download " + harness::shellQuote(p + "=" + version) +
              " >/dev/null 2>&1; f=$(ls " + file + " | head -n1); fi; ";
    script += "[ -n \"$f\" ]; debs=\"$debs $f\"; ";
  }
  script += "if [ \"$(cat " + versioned + ".done 2>/dev/null)\" != \"$debs\" ]; then rm -rf " + versioned +
            "; mkdir " + versioned + "; for f in $debs; do dpkg -x $f " + versioned + "; done; echo \"$debs\" > " +
            versioned + ".done; fi";
  int status = 0;
  shell("mkdir -p " + std::string(kCache) + " && flock " + kCache + "/.lock sh -c " + harness::shellQuote(script),
        &status);
  return status == 0 ? std::string(kCache) + "/" + versioned : std::string();
}

// The unpacked header packages, or "" with *why set.
std::string headerTrees(HeaderPackages* packages, std::string* why) {
  *packages = currentHeaderPackages();
  if (packages->abi.empty()) {
    *why = "apt knows no linux-headers-amd64";
    return std::string();
  }
  if (packages->names.size() != 3) {
    *why = "the dependencies of linux-headers-" + packages->abi + "-amd64 are not the expected three";
    return std::string();
  }
  std::string root = unpacked("headers-" + packages->abi, packages->names);
  if (root.empty())
    *why = "the Debian linux-headers packages could not be fetched into " + std::string(kCache) +
           " (offline, or apt's lists are out of date)";
  return root;
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

// A Debian machine whose running release has the real header trees where
// the Debian copy script looks. Their own relative links (scripts and tools
// -> kbuild) still resolve in the cache. Gives the two links.
std::vector<std::string> layDebianMachine(Sandbox& box, const std::string& root, const std::string& abi) {
  harness::installProduct(box, Install::kAgentOnly);
  for (const char* f : {"/etc/redhat-release", "/etc/arch-release", "/etc/SuSE-release"}) box.remove(f);
  box.writeFile("/etc/debian_version", "12.0\n");
  box.makeWritable("/usr/src");
  std::string rel = harness::kernelRelease();
  std::string common = rel.substr(0, rel.find('-', rel.find('-') + 1));
  std::vector<std::string> links = {"/usr/src/linux-headers-" + rel, "/usr/src/linux-headers-" + common + "-common"};
  box.makeSymlink(root + "/usr/src/linux-headers-" + abi + "-amd64", links[0]);
  box.makeSymlink(root + "/usr/src/linux-headers-" + abi + "-common", links[1]);
  return links;
}

// Runs the tool to keep the package as /tmp/real.tgz; the tree the copy
// script assembled goes to *dir.
RunResult packageThroughTheCopyScript(std::string* dir) {
  harness::RunOptions options;
  options.args = {"--tarball-only", "/tmp/real.tgz", "--debug", "--silent"};
  options.stdinMode = harness::Stdin::kDevNull;
  options.timeoutMs = 100000;  // copying and packing the real tree, also under the sanitizers
  RunResult r = harness::runTool(options);
  const std::string marker = "debug: new kernel source dir: ";
  std::size_t at = r.out.find(marker);
  if (at != std::string::npos) {
    at += marker.size();
    *dir = r.out.substr(at, r.out.find('\n', at) - at);
  }
  return r;
}

TEST(DebianTreeE2E, CopyScriptAndPackageOfTheRealHeaderTree) {
  HeaderPackages packages;
  std::string why;
  std::string root = headerTrees(&packages, &why);
  if (root.empty()) END_WITHOUT_PACKAGES(why, "the package of the real header tree");
  Sandbox box;
  layDebianMachine(box, root, packages.abi);
  std::string dir;
  RunResult r = packageThroughTheCopyScript(&dir);
  ASSERT_TRUE(r.exited(0)) << harness::describe(r).substr(0, 4000);
  ASSERT_FALSE(dir.empty()) << r.out.substr(0, 4000);

  // What the package must hold, selected independently from the tree.
  std::string expected = shell(
      "cd " + harness::shellQuote(dir) +
      " && { find -L ./include ./scripts ./security ./arch -type f ! -name '*.o' ! -name '*.ko' "
      "! -name '*.defconfigs' ! -name vmlinux.bin ! -name setup.elf ! -name bzImage 2>/dev/null; "
      "find -L . -type f \\( -name 'Kconfig*' -o -name 'Makefile*' -o -name .config -o -name Module.symvers "
      "-o -name asm-offsets.s \\) 2>/dev/null; [ -f ./tools/objtool/objtool ] && echo ./tools/objtool/objtool; "
      "echo ./tmp/tavrik-proc-version-dont-use; }");
  std::string actual = shell("tar tvzf /tmp/real.tgz | awk '$1 ~ /^-/ {print $6}'");
  std::vector<std::string> want = lines(expected), got = lines(actual);
  EXPECT_GT(want.size(), 1000u);
  EXPECT_EQ(want, got);
  for (const char* member : {"./.config", "./Module.symvers", "./include/generated/autoconf.h",
                             "./arch/x86/Makefile", "./scripts/Makefile.build", "./tools/objtool/objtool"})
    EXPECT_TRUE(std::find(got.begin(), got.end(), member) != got.end()) << member;
}

const std::string kNoImage = "the Debian linux-image package could not be fetched into " + std::string(kCache);

// The path of a real module of this ABI, "" when its image package can't be
// had.
std::string imageModule(const std::string& abi) {
  std::string root = unpacked("image-" + abi, {"linux-image-" + abi + "-cloud-amd64"});
  if (root.empty()) return std::string();
  return root + "/lib/modules/" + abi + "-cloud-amd64/kernel/fs/fat/fat.ko";
}

std::string vermagicOf(const std::string& module) {
  std::string vermagic = shell("/sbin/modinfo -F vermagic " + harness::shellQuote(module));
  if (!vermagic.empty()) vermagic.pop_back();
  return vermagic;
}

const char kModuleSource[] =
    "#include <linux/init.h>\n"
    "#include <linux/module.h>\n"
    "static int __init probe_init(void) { return 0; }\n"
    "static void __exit probe_exit(void) {}\n"
    "module_init(probe_init);\n"
    "module_exit(probe_exit);\n"
    "MODULE_LICENSE(\"GPL\");\n";

// The package the tool made is all a module build gets: unpacked alone in
// a fresh directory, with no header package installed anywhere.
TEST(DebianTreeE2E, AModuleBuildsFromThePackageAlone) {
  HeaderPackages packages;
  std::string why;
  std::string root = headerTrees(&packages, &why);
  if (root.empty()) END_WITHOUT_PACKAGES(why, "a module build from the package");
  // Installed with the build's own packages (scripts/install-deps.sh): a
  // missing one is a broken machine, not a reason to skip.
  for (const char* tool : {"gcc", "make"})
    ASSERT_FALSE(shell(std::string("command -v ") + tool).empty()) << tool << " is missing";
  // Fetched before the sandbox cuts the network off.
  std::string module = imageModule(packages.abi);
  Sandbox box;
  std::vector<std::string> links = layDebianMachine(box, root, packages.abi);
  std::string dir;
  RunResult r = packageThroughTheCopyScript(&dir);
  ASSERT_TRUE(r.exited(0)) << harness::describe(r).substr(0, 4000);
  ASSERT_FALSE(dir.empty()) << r.out.substr(0, 4000);
  // Nothing of the real trees is reachable from the build any more.
  for (const std::string& link : links) box.remove(link);
  box.remove(dir);

  int status = -1;
  shell("mkdir /tmp/tree && tar xzf /tmp/real.tgz -C /tmp/tree", &status);
  ASSERT_EQ(0, status);
  box.writeFile("/tmp/module/probe.c", kModuleSource);
  box.writeFile("/tmp/module/Makefile", "obj-m := probe.o\n");
  harness::RunOptions make;
  make.args = {"-C", "/tmp/tree", "M=/tmp/module", "modules"};
  make.stdinMode = harness::Stdin::kDevNull;
  make.combined = true;
  make.timeoutMs = 240000;
  RunResult built = harness::runProgram("make", make);
  ASSERT_TRUE(built.exited(0)) << harness::describe(built).substr(0, 6000);
  EXPECT_EQ(std::string::npos, built.out.find("objtool: not found")) << built.out;

  std::string utsRelease = shell("sed -n 's/^#define UTS_RELEASE \"\\(.*\\)\"$/\\1/p' /tmp/tree/include/generated/utsrelease.h");
  ASSERT_EQ(packages.abi + "-amd64\n", utsRelease);
  std::string vermagic = vermagicOf("/tmp/module/probe.ko");
  EXPECT_EQ(0u, vermagic.find(packages.abi + "-amd64 SMP ")) << vermagic;
  // The same as the kernel's own modules carry. The flavour differs (its
  // modules are all that can be had of the kernel itself); what follows the
  // release must not.
  if (module.empty()) END_WITHOUT_PACKAGES(kNoImage, "the module's vermagic beside the kernel's own");
  std::string real = vermagicOf(module);
  ASSERT_NE(std::string::npos, real.find(' ')) << real;
  EXPECT_EQ(real.substr(real.find(' ')), vermagic.substr(vermagic.find(' ')));
}

TEST(DebianTreeE2E, VermagicOfARealModuleGoesIntoTheQuery) {
  HeaderPackages packages = currentHeaderPackages();
  if (packages.abi.empty()) END_WITHOUT_PACKAGES("apt knows no linux-headers-amd64", "modinfo on a real module");
  std::string module = imageModule(packages.abi);
  if (module.empty()) END_WITHOUT_PACKAGES(kNoImage, "modinfo on a real module");
  std::string vermagic = vermagicOf(module);
  ASSERT_FALSE(vermagic.empty());

  Sandbox box;
  harness::installProduct(box, Install::kAgentOnly);
  std::string base = "/lib/modules/" + harness::kernelRelease();
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
