#include "installer/kernel_id.h"

#include <gtest/gtest.h>

#include "installer/state.h"
#include "setup/settings.h"

namespace {

TEST(KernelId, InstalledVersionIsCurrentOnlyWhenTheNumberEnds) {
  struct Case {
    const char* installed;
    const char* answer;
    bool current;
  } cases[] = {
      {"6.0.1-3", "6.0.1-3", true},
      {"6.0.1-3", "6.0.1-3\n", true},
      {"6.0.1-3", "6.0.1-3 latest", true},
      {"6.0.1-3", "6.0.1-35", false},  // a longer build number is another version
      {"6.0.1-3", "6.0.1-4", false},
      {"6.0.1-3", "6.0.1", false},
      {"6.0.1-3", "", false},
      {"6.0.1-3", "x6.0.1-3", false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.current, isInstalledVersionCurrent(c.installed, c.answer)) << c.answer;
}

TEST(KernelId, ModulePathOfADependencyLine) {
  EXPECT_EQ("/lib/modules/6.1.0-57-amd64/kernel/fs/fat/fat.ko",
            moduleFromDepLine("kernel/fs/fat/fat.ko: kernel/x.ko\n", "6.1.0-57-amd64").value());
  EXPECT_EQ("/lib/modules/2.6.32/kernel/a.ko", moduleFromDepLine("/lib/modules/2.6.32/kernel/a.ko:\n", "r").value());
  EXPECT_FALSE(moduleFromDepLine("kernel/no/delimiter.ko\n", "r"));
}

TEST(KernelId, ModinfoVersionLine) {
  EXPECT_EQ("6.0.1-35", parseModinfoVersion("version:        6.0.1 build 35\n").value());
  EXPECT_EQ("6.0.1-35", parseModinfoVersion("version:6.0.1 build 35").value());
  EXPECT_FALSE(parseModinfoVersion(" version: 6.0.1 build 35"));  // only from the line's start
  EXPECT_FALSE(parseModinfoVersion("version: 6.0.1"));
  EXPECT_FALSE(parseModinfoVersion("srcversion: 6.0.1 build 3"));
}

TEST(KernelId, QueryPaths) {
  moduleType = 3;
  betaRequested = 1;
  EXPECT_EQ("/check-module.php?cmajor=3&gen=4&beta=1", checkModulePath());
  EXPECT_EQ("/cache-module.php?md5=abc&go=1&cmajor=3&beta=1&nd=1&mod_md5=def&gen=4",
            cacheModulePath("abc", std::string("def")));
  // Without a vermagic: no mod_md5, no gen, and nd before beta.
  EXPECT_EQ("/cache-module.php?md5=abc&go=1&cmajor=3&nd=1&beta=1", cacheModulePath("abc", std::nullopt));
}

TEST(KernelId, ProcVersionIsTheLineWithoutItsNewline) {
  std::string version = readProcVersion();
  EXPECT_FALSE(version.empty());
  EXPECT_EQ(std::string::npos, version.find('\n'));
  EXPECT_EQ(0u, version.find("Linux version "));
}

}  // namespace
