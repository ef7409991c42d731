// Manager maximum memory: size reading, the ceiling, and the rewrite of
// conf/server.conf end to end with /proc/meminfo bound over the real file.
#include "config/max_memory.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "setup/settings.h"
#include "setup/unique_fd.h"
#include "tests/harness/run.h"
#include "tests/harness/sandbox.h"
#include "tests/harness/tool.h"

using namespace harness;

namespace {

const std::string kWork = kTestWorkDir;
const std::string kConf = kWork + "/conf/server.conf";
const std::string kCopy = kConf + "_t";
const char kGreater[] = "memory specified must be greater than 256 mb \n ";
const char kSet[] = "Server max memory set\n";
const char kFailed[] = "Failed to set server max memory value\n";

std::string meminfo(long kb) {
  return "MemTotal:       " + std::to_string(kb) + " kB\nMemFree:          100000 kB\n";
}

// The shared run, or the same under `setarch i686` (a machine that does
// not count as 64-bit).
RunResult tool(std::vector<std::string> args, bool i686 = false) {
  if (!i686) return harness::tool(std::move(args));
  RunOptions o;
  o.args = {"i686", toolPath(), "--dev-test-paths", kWork};
  o.args.insert(o.args.end(), args.begin(), args.end());
  o.stdinMode = Stdin::kDevNull;
  o.combined = true;
  return runProgram("setarch", o);
}

TEST(MaxMemoryUnits, SizeArgumentTable) {
  struct Case {
    const char* arg;
    std::uint64_t mb;
    const char* printed;
  };
  const std::uint64_t kHuge = std::numeric_limits<std::uint64_t>::max();
  const Case cases[] = {
      {"256m", 256, ""},
      {"255m", 255, ""},
      {"262144k", 256, ""},
      {"1048575k", 1023, ""},
      {"1g", 1024, ""},
      {"1G", 1024, ""},
      {"2gb", 2048, ""},
      {"1.5g", 1024, ""},
      {"512M", 512, ""},
      {"m512", 0, "Conversion error"},  // the last character goes, whatever it is
      {"m", 0, "Conversion error"},
      {"512", 0, "No units for memory allocation specified. Please specify memory in g/m/k \n"},
      {"99999999999g", 102399999998976ull, ""},
      {"99999999999999g", kHuge, ""},  // the product overflows
      {"99999999999999999999999m", kHuge, ""},
      {"-1g", (static_cast<std::uint64_t>(-1048576)) >> 10, ""},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStdout();
    std::uint64_t mb = parseMemoryArgument(c.arg);
    std::fflush(stdout);
    EXPECT_EQ(c.printed, testing::internal::GetCapturedStdout()) << c.arg;
    EXPECT_EQ(c.mb, mb) << c.arg;
  }
}

TEST(MaxMemoryUnits, CeilingTable) {
  const struct {
    std::int64_t mb;
    bool is64;
    std::uint64_t ceiling;
  } cases[] = {{0, true, 256},     {512, true, 256},     {512, false, 256},   {513, false, 256},
               {1500, false, 750}, {2000, false, 1000},  {2001, false, 1024}, {4000, false, 1024},
               {4000, true, 4000}, {513, true, 513}};
  for (const auto& c : cases) EXPECT_EQ(c.ceiling, maxAllowedMemoryFor(c.mb, c.is64)) << c.mb << " " << c.is64;
}

TEST(MaxMemoryUnits, LinesAndNames) {
  EXPECT_TRUE(isMaxMemoryLine("maxmemory=512\n"));
  EXPECT_TRUE(isMaxMemoryLine("server.maxmemory = 3\n"));
  EXPECT_FALSE(isMaxMemoryLine("#maxmemory=512\n"));
  EXPECT_FALSE(isMaxMemoryLine("maxmemory=512 # note\n"));
  EXPECT_FALSE(isMaxMemoryLine("compute.maxmemory=5\n"));
  EXPECT_FALSE(isMaxMemoryLine("MAXMEMORY=5\n"));
  EXPECT_TRUE(equalsIgnoreCase("amd64", "AMD64"));
  EXPECT_FALSE(equalsIgnoreCase("aarch64", "x64"));
  EXPECT_EQ("X86_64", toUpperCopy("x86_64"));
}

class MaxMemoryTool : public testing::Test {
 protected:
  void SetUp() override {
    box_.bindFile("/proc/meminfo", meminfo(4096000));  // 4000 MB
    box_.makeDirs(kWork + "/conf");
  }
  Sandbox box_;
};

TEST_F(MaxMemoryTool, RewritesEveryMaxMemoryLineAndCopiesTheRest) {
  box_.writeFile(kConf,
                 "# settings\nmaxmemory=512\n#maxmemory=1\ncompute.maxmemory=7\nserver.maxmemory=9\n"
                 "maxmemory=3 # old\nname=x\nmaxmemory=1",
                 0640);
  RunResult r = tool({"--set-max-mem", "1g"});
  EXPECT_TRUE(r.exited(0)) << describe(r);
  EXPECT_EQ(kSet, r.out);
  EXPECT_EQ(
      "# settings\nmaxmemory=1024\n#maxmemory=1\ncompute.maxmemory=7\nmaxmemory=1024\n"
      "maxmemory=3 # old\nname=x\nmaxmemory=1024\n",
      readFile(kConf));
  EXPECT_EQ(0640u, modeOf(kConf));
  EXPECT_FALSE(pathPresent(kCopy));

  // A last line without a line end keeps its lack of one.
  box_.writeFile(kConf, "maxmemory=1\nlast=1");
  EXPECT_TRUE(tool({"--set-max-mem", "256m"}).exited(0));
  EXPECT_EQ("maxmemory=256\nlast=1", readFile(kConf));

  // --silent hides the success text only.
  RunResult silent = tool({"--silent", "--set-max-mem", "300m"});
  EXPECT_TRUE(silent.exited(0)) << describe(silent);
  EXPECT_EQ("", silent.out);
  EXPECT_EQ("maxmemory=300\nlast=1", readFile(kConf));
  silent = tool({"--silent", "--set-max-mem", "100m"});
  EXPECT_TRUE(silent.exited(1)) << describe(silent);
  EXPECT_EQ(std::string(kGreater) + kFailed, silent.out);
}

TEST_F(MaxMemoryTool, AcceptedAndRefusedSizes) {
  struct Case {
    const char* arg;
    const char* out;  // nullptr: accepted
  };
  const Case cases[] = {
      {"256m", nullptr},
      {"262144k", nullptr},
      {"4000m", nullptr},
      {"2gb", nullptr},
      {"255m", "memory specified must be greater than 256 mb \n "},
      {"4001m", "memory specified must be smaller than 4000 mb \n "},
      {"-1g", "memory specified must be smaller than 4000 mb \n "},
      {"99999999999g", "memory specified must be smaller than 4000 mb \n "},
      {"512", "No units for memory allocation specified. Please specify memory in g/m/k \n"
              "memory specified must be greater than 256 mb \n "},
      {"g", "Conversion errormemory specified must be greater than 256 mb \n "},
  };
  for (const Case& c : cases) {
    box_.writeFile(kConf, "maxmemory=1\n");
    RunResult r = tool({"--set-max-mem", c.arg});
    if (!c.out) {
      EXPECT_TRUE(r.exited(0)) << c.arg << describe(r);
      EXPECT_EQ(kSet, r.out) << c.arg;
      EXPECT_NE("maxmemory=1\n", readFile(kConf)) << c.arg;
    } else {
      EXPECT_TRUE(r.exited(1)) << c.arg << describe(r);
      EXPECT_EQ(std::string(c.out) + kFailed, r.out) << c.arg;
      EXPECT_EQ("maxmemory=1\n", readFile(kConf)) << c.arg;
    }
  }
}

TEST_F(MaxMemoryTool, CeilingFollowsTheMachine) {
  struct Case {
    long kb;
    bool i686;
    const char* arg;
    const char* refusal;  // nullptr: accepted
  };
  const Case cases[] = {
      {1536000, true, "750m", nullptr},  // 1500 MB, 32-bit: half
      {1536000, true, "751m", "memory specified must be smaller than 750 mb \n "},
      {4096000, true, "1024m", nullptr},
      {4096000, true, "1025m", "memory specified must be smaller than 1024 mb \n "},
      {4096000, false, "4000m", nullptr},
      {524288, false, "257m", "memory specified must be smaller than 256 mb \n "},  // 512 MB
      {524288, true, "256m", nullptr},
  };
  for (const Case& c : cases) {
    box_.bindFile("/proc/meminfo", meminfo(c.kb));
    box_.writeFile(kConf, "maxmemory=1\n");
    RunResult r = tool({"--debug", "--set-max-mem", c.arg}, c.i686);
    if (!c.refusal) {
      EXPECT_TRUE(r.exited(0)) << c.arg << describe(r);
    } else {
      EXPECT_TRUE(r.exited(1)) << c.arg << describe(r);
      EXPECT_NE(std::string::npos, r.out.find(c.refusal)) << c.arg << r.out;
    }
  }
  // Traces of an accepted size.
  box_.bindFile("/proc/meminfo", meminfo(4096000));
  RunResult r = tool({"--debug", "--set-max-mem", "300m"});
  for (const char* line : {"debug: parsed_mem: 300\n", "debug: system_mem: 4000\n", "debug: MaxAllowed_Mem: 4000\n",
                           "debug: saveHeapSize\n"}) {
    EXPECT_NE(std::string::npos, r.out.find(line)) << line << r.out;
  }
}

TEST_F(MaxMemoryTool, MeminfoWithoutMemTotalGivesTheSmallestCeiling) {
  box_.bindFile("/proc/meminfo", "MemFree: 9999999 kB\nMemTotalish 1\n");
  box_.writeFile(kConf, "maxmemory=1\n");
  RunResult r = tool({"--set-max-mem", "257m"});
  EXPECT_TRUE(r.exited(1)) << describe(r);
  EXPECT_EQ(std::string("memory specified must be smaller than 256 mb \n ") + kFailed, r.out);
  // The last MemTotal line counts.
  box_.bindFile("/proc/meminfo", "MemTotal: 100 kB\nMemTotal: 2048000 kB\n");
  EXPECT_TRUE(tool({"--set-max-mem", "2000m"}).exited(0));
}

// A socket bound over /proc/meminfo: it exists, but can't be opened.
TEST_F(MaxMemoryTool, UnreadableMeminfoGivesTheSmallestCeiling) {
  box_.writeFile(kConf, "maxmemory=1\n");
  UniqueFd sock(::socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un at{};
  at.sun_family = AF_UNIX;
  std::snprintf(at.sun_path, sizeof at.sun_path, "%s", "/tmp/meminfo.sock");
  ASSERT_EQ(0, ::bind(sock.get(), reinterpret_cast<sockaddr*>(&at), sizeof at));
  ASSERT_EQ(0, ::mount(at.sun_path, "/proc/meminfo", nullptr, MS_BIND, nullptr));
  RunResult r = tool({"--set-max-mem", "257m"});
  EXPECT_TRUE(r.exited(1)) << describe(r);
  // Read once for the size's trace and once more for the ceiling.
  EXPECT_EQ(std::string("Failed to open /proc/meminfo\nFailed to open /proc/meminfo\n"
                        "memory specified must be smaller than 256 mb \n ") + kFailed,
            r.out);
  r = tool({"--set-max-mem", "256m"});
  EXPECT_TRUE(r.exited(0)) << describe(r);
  EXPECT_EQ("maxmemory=256\n", readFile(kConf));
}

TEST_F(MaxMemoryTool, NoMaxMemoryLineLeavesTheFileAndAFullCopy) {
  box_.writeFile(kConf, "#maxmemory=1\nmaxmemory=2 #x\ncompute.maxmemory=3\n");
  RunResult r = tool({"--set-max-mem", "512m"});
  EXPECT_TRUE(r.exited(1)) << describe(r);
  EXPECT_EQ(
      "Could not write to configuration file. Pattern not found in the file, current changes would not be saved\n" +
          std::string(kFailed),
      r.out);
  EXPECT_EQ("#maxmemory=1\nmaxmemory=2 #x\ncompute.maxmemory=3\n", readFile(kConf));
  EXPECT_EQ("#maxmemory=1\nmaxmemory=2 #x\ncompute.maxmemory=3\n", readFile(kCopy));
}

// The file is read before the copy is made: a file that is missing, or a
// dangling link in its place, fails the run with no new name beside it.
TEST_F(MaxMemoryTool, UnreadableFileLeavesNoCopy) {
  for (bool dangling : {false, true}) {
    SCOPED_TRACE(dangling ? "a dangling link" : "no file");
    box_.remove(kConf);
    box_.remove(kCopy);
    if (dangling) box_.makeSymlink("/tmp/absent/server.conf", kConf);
    RunResult r = tool({"--set-max-mem", "512m"});
    EXPECT_TRUE(r.exited(1)) << describe(r);
    EXPECT_EQ(
        "Could not write to configuration file. Could not open the file, current changes would not be saved\n" +
            std::string(kFailed),
        r.out);
    EXPECT_EQ(dangling, pathPresent(kConf));
    EXPECT_FALSE(pathPresent(kCopy));
    EXPECT_FALSE(pathPresent("/tmp/absent/server.conf"));
  }
}

TEST_F(MaxMemoryTool, AStaleCopyOrALinkInItsPlaceIsNotWrittenThrough) {
  box_.writeFile(kConf, "maxmemory=1\n");
  box_.writeFile("/tmp/victim", "keep\n");
  box_.makeSymlink("/tmp/victim", kCopy);
  EXPECT_TRUE(tool({"--set-max-mem", "512m"}).exited(0));
  EXPECT_EQ("maxmemory=512\n", readFile(kConf));
  EXPECT_EQ("keep\n", readFile("/tmp/victim"));
  EXPECT_FALSE(pathPresent(kCopy));
}

TEST_F(MaxMemoryTool, ReadOnlyDirectoryFailsToOpenTheCopy) {
  const std::string conf = kWork + "/conf";
  ASSERT_EQ(0, ::mount("tmpfs", conf.c_str(), "tmpfs", 0, "size=16k"));
  box_.writeFile(kConf, "maxmemory=1\n");
  ASSERT_EQ(0, ::mount(nullptr, conf.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr));
  RunResult r = tool({"--set-max-mem", "512m"});
  EXPECT_TRUE(r.exited(1)) << describe(r);
  EXPECT_EQ(
      "Could not write to configuration file. Could not open the file, current changes would not be saved\n" +
          std::string(kFailed),
      r.out);
  EXPECT_EQ("maxmemory=1\n", readFile(kConf));
}

TEST_F(MaxMemoryTool, FullFileSystemKeepsTheOldFileWhole) {
  const std::string conf = kWork + "/conf";
  ASSERT_EQ(0, ::mount("tmpfs", conf.c_str(), "tmpfs", 0, "size=64k"));
  std::string old = "maxmemory=1\n";
  for (int i = 0; i < 2000; ++i) old += "setting" + std::to_string(i) + "=some value\n";  // about 40 kB
  box_.writeFile(kConf, old);
  shell("dd if=/dev/zero of=" + conf + "/filler bs=1k count=64 2>/dev/null");
  RunResult r = tool({"--set-max-mem", "512m"});
  EXPECT_TRUE(r.exited(1)) << describe(r);
  EXPECT_EQ(
      "Could not write to configuration file. Error writing to the file, current changes would not be saved\n" +
          std::string(kFailed),
      r.out);
  EXPECT_EQ(old, readFile(kConf));
}

TEST_F(MaxMemoryTool, ReadersOfTheFile) {
  box_.writeFile(kConf, "#maxmemory=9\nmaxmemory= 640\nmaxmemory=1\n");
  // The readers run in this process: point the working directory here.
  OptText saved = workDirOverride;
  workDirOverride = kWork;
  EXPECT_EQ(640, getServerMaxMemory());
  EXPECT_EQ(1, dumpServerConf());
  box_.writeFile(kConf, "maxmemory\n");
  EXPECT_EQ(0, getServerMaxMemory());
  box_.remove(kConf);
  EXPECT_EQ(0, getServerMaxMemory());
  EXPECT_EQ(0, dumpServerConf());
  workDirOverride = saved;
}

}  // namespace
