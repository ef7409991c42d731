// Every writer of the tool against what may stand at its path, run on the
// built tool in the sandbox: one row per writer and kind of path, each
// checking the exit status, the exact text, and afterwards the bytes and the
// kind of every file involved (the path, a link's target, a second name,
// whatever else the directory holds).
//
// Writers that write the existing file in place (the web settings, the
// credentials file, key files, the module) put the new content into the file
// the path names: a link stays a link and its target changes, every hard
// link sees it, a bind-mounted file is rewritten. Writers that rename (the
// maximum memory through "server.conf_t", the agent settings through
// ".bak", the kept header package) take the name's place instead, and a
// bind-mounted file makes them fail with the file unchanged. No writer puts
// a regular file where a directory, FIFO or device node stands.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/harness/build_service.h"
#include "tests/harness/fixtures.h"
#include "tests/harness/run.h"
#include "tests/harness/sandbox.h"
#include "tests/harness/servers.h"

namespace {

using harness::RunResult;
using harness::Sandbox;

enum class Kind { kRegular, kSymlink, kBindMount, kHardLink, kDirectory, kFifo, kDevice, kFull, kReadOnly, kLongName };

const char* kindName(Kind k) {
  switch (k) {
    case Kind::kRegular: return "Regular";
    case Kind::kSymlink: return "Symlink";
    case Kind::kBindMount: return "BindMounted";
    case Kind::kHardLink: return "HardLink";
    case Kind::kDirectory: return "Directory";
    case Kind::kFifo: return "Fifo";
    case Kind::kDevice: return "Device";
    case Kind::kFull: return "FullFileSystem";
    case Kind::kReadOnly: return "ReadOnlyFileSystem";
    case Kind::kLongName: return "Name255";
  }
  return "?";
}

const std::string kConf = "/usr/sbin/tavrik/conf";
const std::string kReal = "/tmp/elsewhere/real";  // where a symbolic link at the path leads
const std::string kOtherName = "other-name";       // a second hard link beside the path
const std::string kLongName(255, 'n');
constexpr mode_t kOldMode = 0640;
const char kManagerRestart[] =
    "The Velmora Manager must be restarted for these changes to take effect\n"
    "Use '/etc/init.d/kzp-server restart' to restart.\n";
const char kHost[] = "build.example.test";

struct Writer {
  const char* name;
  bool inPlace;
  std::string dir;
  std::string file;
  std::string before;
  std::string after;       // "" for the header package: then any gzip data
  int modeAfter;           // the file's mode after a write (-1: not checked)
  std::vector<std::string> successMarkers;  // names the run adds to dir after a success
  std::function<void(Sandbox&)> lay;
  std::function<RunResult(const std::string& path)> run;
};

RunResult runWith(std::vector<std::string> args, const std::string& input = "") {
  harness::RunOptions options;
  options.args = std::move(args);
  options.input = input;
  const char* asan = std::getenv("ASAN_OPTIONS");
  options.env.push_back({"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"});
  options.env.push_back({"LD_PRELOAD", TAVRIK_NO_PAUSE_LIB});
  return harness::runTool(options);
}

void layManager(Sandbox& box) {
  harness::installProduct(box, harness::Install::kManager);
  box.bindFile("/usr/bin/netstat", "#!/bin/sh\necho 'Active Internet connections (servers and established)'\n", 0755);
  box.bindFile("/proc/meminfo", "MemTotal:        4096000 kB\n");
}

void layAgent(Sandbox& box) {
  harness::installProduct(box, harness::Install::kFullAgent);
  for (const char* f : {"/etc/redhat-release", "/etc/debian_version", "/etc/arch-release", "/etc/SuSE-release"})
    box.remove(f);
  harness::useLoopbackNames(box, {kHost});
}

const Writer kHttpPort{"HttpPort", true, kConf, "web.properties", "http-port=80\nssl-port=443\n",
                       "http-enabled=true\nhttp-port=81\nhttp-max-connections=100\nssl-enabled=true\nssl-port=443\n"
                       "ssl-max-connections=100\nssl-keystore=/usr/sbin/tavrik/conf/keystore\n",
                       kOldMode, {".port_set"}, layManager,
                       [](const std::string&) { return runWith({"--http-port", "81"}); }};

const Writer kDefaults{"Defaults", true, kConf, "web.properties", "http-port=1\n",
                       "http-enabled=true\nhttp-port=80\nhttp-max-connections=100\nssl-enabled=true\nssl-port=443\n"
                       "ssl-max-connections=100\nssl-keystore=/usr/sbin/tavrik/conf/keystore\n",
                       kOldMode, {}, layManager,
                       [](const std::string&) { return runWith({"--defaults"}); }};

const Writer kCredentials{"Credentials", true, kConf, "adminreset.properties", "admin.user=old\nadmin.pass=old\n",
                          "admin.user=admin\nadmin.pass=s3cret\n", 0400, {".user_set"}, layManager,
                          [](const std::string&) { return runWith({"--user", "admin", "--pass", "s3cret"}); }};

const Writer kKey{"Key", true, kConf + "/server.allow", "manager", "OLD KEY\n", "NEW\nKEY\n", kOldMode, {},
                  [](Sandbox& box) { harness::installProduct(box, harness::Install::kFullAgent); },
                  [](const std::string& path) {
                    std::string name = path.substr(path.rfind('/') + 1);
                    return runWith({"--stdin-key", "--key-filename", name}, "NEW\r\nKEY\r\n");
                  }};

const Writer kMaxMemory{"MaxMemory", false, kConf, "server.conf", "a=1\nmaxmemory=1024\nb=2\n",
                        "a=1\nmaxmemory=256\nb=2\n", kOldMode, {}, layManager,
                        [](const std::string&) { return runWith({"--set-max-mem", "256m"}); }};

const Writer kAgentPort{"AgentPort", false, kConf, "agent_config", "LocalPort=1 \nDebug=0\n",
                        "LocalPort=9000 \nDebug=0\n", kOldMode, {}, layAgent,
                        [](const std::string&) { return runWith({"--agent-port", "9000"}); }};

const Writer kModule{"Module", true, "/lib/modules/tavrik", "mod.ko", "OLD MODULE", "MODULE-BYTES", kOldMode, {},
                     layAgent, [](const std::string& path) {
                       std::string name = path.substr(path.rfind('/') + 1);
                       harness::BuildServiceRoutes routes;
                       routes.onPrefix("/cache-module.php", [name](const std::string&) {
                         return harness::ServiceAnswer{harness::replyAttachment(name, "MODULE-BYTES"), true};
                       });
                       harness::FakeBuildService service(routes);
                       return runWith({"--get-module", "--force-update", "--silent", "--host", kHost});
                     }};

const Writer kPackage{"HeaderPackage", false, "/tmp/out", "headers.tgz", "OLD PACKAGE", "", -1, {},
                      [](Sandbox& box) {
                        layAgent(box);
                        box.makeTree("/tmp/hdr", {".config", "Makefile", "include/linux/a.h"});
                      },
                      [](const std::string& path) {
                        return runWith({"--kernel-dir", "/tmp/hdr", "--force-update", "--silent", "--host", kHost, "--tarball-only",
                                        path});
                      }};

// What a header-package run prints before the package is moved (the tools'
// paths as `which` finds them).
std::string packageLines(const std::string& path) {
  return "Creating kernel headers package\nChecking '/tmp/hdr' for kernel headers\nFound headers in '/tmp/hdr'\n" +
         harness::shell("which cp tar find gzip mkdir") + "Compressing...\nHeader package created '" + path +
         "'\nvisit https://" + kHost + "/ to do an offline module build\n"
         "After it is complete, you will need to copy the module to /lib/modules/tavrik\n";
}

// A file expected beside the path after the run, besides the path itself.
struct Extra {
  std::string name;
  char kind;  // 'f' regular, 'l' symbolic link
  std::string content;
};

struct Row {
  const Writer* writer;
  Kind kind;
  int exitCode;
  std::string text;
  bool written;
  std::vector<Extra> extras = {};
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.writer->name << " over " << kindName(row.kind); }

std::string pathOf(const Row& row) {
  return row.writer->dir + "/" + (row.kind == Kind::kLongName ? kLongName : row.writer->file);
}

std::string notice() { return "Attempting to set HTTP port for Halvard Console\n"; }
std::string portFailed() { return "Failed to set port for server\n"; }
std::string webProps() { return kConf + "/web.properties"; }
std::string couldNotRead(const char* err) { return "Could not read '" + webProps() + "':" + err + "\n"; }
std::string creds() { return kConf + "/adminreset.properties"; }
std::string credsOpen(const char* err) {
  return "Failed to open outfile '" + creds() + "':" + err + "\nFailed to set username and password\n";
}
std::string credsWrite(const char* err) {
  return "Failed to write outfile '" + creds() + "':" + err + "\nFailed to set username and password\n";
}
std::string keyPath(const std::string& name = "manager") { return kConf + "/server.allow/" + name; }
std::string keyOpen(const char* err) {
  return "Failed to open outfile '" + keyPath() + "':" + err + "\nFailed to save key file\n";
}
std::string heap(const char* why) {
  return std::string("Could not write to configuration file. ") + why +
         ", current changes would not be saved\nFailed to set server max memory value\n";
}
const char kHeapOpen[] = "Could not open the file";
const char kHeapWrite[] = "Error writing to the file";
std::string agentLoad() {
  return "Could not open configuration file\nCould not read agent configuration file\nFailed to set agent port\n";
}
std::string agentBackup(const char* err) {
  return std::string("Failed to create backup file: ") + err + "\nCould not save config file\nFailed to set agent port\n";
}
std::string agentSave() { return "Could not save output file\nCould not save config file\nFailed to set agent port\n"; }
std::string pkgPath(const std::string& name = "headers.tgz") { return "/tmp/out/" + name; }
std::string pkgOpen(const char* err) { return packageLines(pkgPath()) + "Couldnt open file '" + pkgPath() + "': '" + err + "'\n"; }
std::string pkgSave(const char* err) { return packageLines(pkgPath()) + "Couldnt save file '" + pkgPath() + "': '" + err + "'\n"; }

const char kIsDir[] = "Is a directory";
const char kNotRegular[] = "Invalid argument";
const char kNoSpace[] = "No space left on device";
const char kReadOnly[] = "Read-only file system";
const char kBusy[] = "Device or resource busy";

std::vector<Row> rows() {
  const std::string httpOk = notice() + "Server HTTP Port set\n" + kManagerRestart;
  const std::string credsOk = std::string("Server username and password set\n") + kManagerRestart;
  const std::string keyOk = "Key 'manager' successfully installed.\n";
  const std::string agentBak = "agent_config.bak";
  const std::string heapCopy = "server.conf_t";
  const std::string oldAgent = kAgentPort.before;
  const std::string modDep = "Could not open '/lib/modules/" + harness::kernelRelease() +
                             "/modules.dep': No such file or directory\n\n";
  std::vector<Row> r = {
      // The web settings, rewritten in place.
      {&kHttpPort, Kind::kRegular, 0, httpOk, true},
      {&kHttpPort, Kind::kSymlink, 0, httpOk, true},
      {&kHttpPort, Kind::kBindMount, 0, httpOk, true},
      {&kHttpPort, Kind::kHardLink, 0, httpOk, true},
      {&kHttpPort, Kind::kDirectory, 1, notice() + couldNotRead(kIsDir) + portFailed(), false},
      {&kHttpPort, Kind::kFifo, 1, notice() + couldNotRead(kNotRegular) + portFailed(), false},
      {&kHttpPort, Kind::kDevice, 1, notice() + couldNotRead(kNotRegular) + portFailed(), false},
      {&kHttpPort, Kind::kFull, 1, notice() + portFailed(), false},
      {&kHttpPort, Kind::kReadOnly, 1, notice() + portFailed(), false},
      // --defaults: the same writer, silent and status 0 whatever it returns.
      {&kDefaults, Kind::kRegular, 0, "", true},
      {&kDefaults, Kind::kSymlink, 0, "", true},
      {&kDefaults, Kind::kBindMount, 0, "", true},
      {&kDefaults, Kind::kHardLink, 0, "", true},
      {&kDefaults, Kind::kDirectory, 0, "", false},
      {&kDefaults, Kind::kFifo, 0, "", false},
      {&kDefaults, Kind::kDevice, 0, "", false},
      {&kDefaults, Kind::kFull, 0, "", false},
      {&kDefaults, Kind::kReadOnly, 0, "", false},
      // The credentials file (write_file, forced owner-read-only).
      {&kCredentials, Kind::kRegular, 0, credsOk, true},
      {&kCredentials, Kind::kSymlink, 0, credsOk, true},
      {&kCredentials, Kind::kBindMount, 0, credsOk, true},
      {&kCredentials, Kind::kHardLink, 0, credsOk, true},
      {&kCredentials, Kind::kDirectory, 1, credsOpen(kIsDir), false},
      {&kCredentials, Kind::kFifo, 1, credsOpen(kNotRegular), false},
      {&kCredentials, Kind::kDevice, 1, credsOpen(kNotRegular), false},
      {&kCredentials, Kind::kFull, 1, credsWrite(kNoSpace), false},
      {&kCredentials, Kind::kReadOnly, 1, credsOpen(kReadOnly), false},
      // A key file (write_file: the old file's mode stays).
      {&kKey, Kind::kRegular, 0, keyOk, true},
      {&kKey, Kind::kSymlink, 0, keyOk, true},
      {&kKey, Kind::kBindMount, 0, keyOk, true},
      {&kKey, Kind::kHardLink, 0, keyOk, true},
      {&kKey, Kind::kDirectory, 1, keyOpen(kIsDir), false},
      {&kKey, Kind::kFifo, 1, keyOpen(kNotRegular), false},
      {&kKey, Kind::kDevice, 1, keyOpen(kNotRegular), false},
      {&kKey, Kind::kFull, 1,
       "Failed to write outfile '" + keyPath() + "':" + kNoSpace + "\nFailed to save key file\n", false},
      {&kKey, Kind::kReadOnly, 1, keyOpen(kReadOnly), false},
      {&kKey, Kind::kLongName, 0, "Key '" + kLongName + "' successfully installed.\n", true},
      // The maximum memory: a copy renamed over the file.
      {&kMaxMemory, Kind::kRegular, 0, "Server max memory set\n", true},
      {&kMaxMemory, Kind::kSymlink, 0, "Server max memory set\n", true},
      {&kMaxMemory, Kind::kBindMount, 1, heap(kHeapWrite), false, {{heapCopy, 'f', kMaxMemory.after}}},
      {&kMaxMemory, Kind::kHardLink, 0, "Server max memory set\n", true},
      {&kMaxMemory, Kind::kDirectory, 1, heap(kHeapOpen), false},
      {&kMaxMemory, Kind::kFifo, 1, heap(kHeapOpen), false},
      {&kMaxMemory, Kind::kDevice, 1, heap(kHeapOpen), false},
      {&kMaxMemory, Kind::kFull, 1, heap(kHeapWrite), false, {{heapCopy, 'f', ""}}},
      {&kMaxMemory, Kind::kReadOnly, 1, heap(kHeapOpen), false},
      // The agent settings: the file moved to ".bak", the new one in its place.
      {&kAgentPort, Kind::kRegular, 0, "Agent port set\n", true, {{agentBak, 'f', oldAgent}}},
      {&kAgentPort, Kind::kSymlink, 0, "Agent port set\n", true, {{agentBak, 'l', oldAgent}}},
      {&kAgentPort, Kind::kBindMount, 1, agentBackup(kBusy), false},
      {&kAgentPort, Kind::kHardLink, 0, "Agent port set\n", true, {{agentBak, 'f', oldAgent}}},
      {&kAgentPort, Kind::kDirectory, 1, agentLoad(), false},
      {&kAgentPort, Kind::kFifo, 1, agentLoad(), false},
      {&kAgentPort, Kind::kDevice, 1, agentLoad(), false},
      {&kAgentPort, Kind::kFull, 1, agentSave(), false, {{agentBak, 'f', oldAgent}}},
      {&kAgentPort, Kind::kReadOnly, 1, agentBackup(kReadOnly), false},
      // The module sent by the build service ("wb": in place). The kernel
      // identification's own line comes first.
      {&kModule, Kind::kRegular, 0, modDep, true},
      {&kModule, Kind::kSymlink, 0, modDep, true},
      {&kModule, Kind::kBindMount, 0, modDep, true},
      {&kModule, Kind::kHardLink, 0, modDep, true},
      {&kModule, Kind::kDirectory, 0, modDep + "unable to open destination file\n", false},
      {&kModule, Kind::kFifo, 0, modDep + "unable to open destination file\n", false},
      {&kModule, Kind::kDevice, 0, modDep + "unable to open destination file\n", false},
      {&kModule, Kind::kFull, 0, modDep + "unable to write destination file\n", false},
      {&kModule, Kind::kReadOnly, 0, modDep + "unable to open destination file\n", false},
      {&kModule, Kind::kLongName, 0, modDep, true},
      // The kept header package: renamed (or copied and renamed) into place.
      {&kPackage, Kind::kRegular, 0, packageLines(pkgPath()), true},
      {&kPackage, Kind::kSymlink, 0, packageLines(pkgPath()), true},
      {&kPackage, Kind::kBindMount, 0, pkgSave(kBusy), false},
      {&kPackage, Kind::kHardLink, 0, packageLines(pkgPath()), true},
      {&kPackage, Kind::kDirectory, 0, pkgOpen(kIsDir), false},
      {&kPackage, Kind::kFifo, 0, pkgOpen(kNotRegular), false},
      {&kPackage, Kind::kDevice, 0, pkgOpen(kNotRegular), false},
      {&kPackage, Kind::kFull, 0, pkgSave(kNoSpace), false},
      {&kPackage, Kind::kReadOnly, 0, pkgOpen(kReadOnly), false},
      {&kPackage, Kind::kLongName, 0, packageLines(pkgPath(kLongName)), true},
  };
  return r;
}

// Lays out what stands at the path before the run.
void layPath(Sandbox& box, const Row& row) {
  const Writer& w = *row.writer;
  const std::string path = pathOf(row);
  switch (row.kind) {
    case Kind::kRegular:
    case Kind::kLongName:
      box.writeFile(path, w.before, kOldMode);
      break;
    case Kind::kSymlink:
      box.writeFile(kReal, w.before, kOldMode);
      box.makeDirs(w.dir);
      box.makeSymlink(kReal, path);
      break;
    case Kind::kBindMount:
      box.writeFile(path, "the file under the mount\n", kOldMode);
      box.bindFile(path, w.before, kOldMode);
      break;
    case Kind::kHardLink:
      box.writeFile(path, w.before, kOldMode);
      box.makeHardLink(path, w.dir + "/" + kOtherName);
      break;
    case Kind::kDirectory:
      box.writeFile(path + "/keep", "kept");
      break;
    case Kind::kFifo:
      box.makeFifo(path);
      break;
    case Kind::kDevice:
      box.makeCharDevice(path, 1, 3);
      break;
    case Kind::kFull:
      box.mountSmallTmpfs(w.dir);
      box.writeFile(path, w.before, kOldMode);
      box.fillUp(w.dir);
      break;
    case Kind::kReadOnly:
      box.mountSmallTmpfs(w.dir);
      box.writeFile(path, w.before, kOldMode);
      box.makeReadOnly(w.dir);
      break;
  }
}

char kindOf(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return '-';
  if (S_ISREG(st.st_mode)) return 'f';
  if (S_ISLNK(st.st_mode)) return 'l';
  if (S_ISDIR(st.st_mode)) return 'd';
  if (S_ISFIFO(st.st_mode)) return 'p';
  if (S_ISCHR(st.st_mode)) return 'c';
  return '?';
}

std::vector<std::string> listing(const std::string& dir) {
  std::vector<std::string> names;
  std::string out = harness::shell("ls -A " + harness::shellQuote(dir));
  std::size_t start = 0;
  while (start < out.size()) {
    std::size_t end = out.find('\n', start);
    names.push_back(out.substr(start, end - start));
    start = end + 1;
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool isMountRoot(const std::string& path) {
  struct statx stx;
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &stx) != 0) return false;
  return (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

bool isPackage(const std::string& bytes) { return bytes.compare(0, 2, "\x1f\x8b") == 0; }

class FileKinds : public testing::TestWithParam<Row> {};

TEST_P(FileKinds, WriterMeetsWhatStandsAtThePath) {
  const Row& row = GetParam();
  const Writer& w = *row.writer;
  const std::string path = pathOf(row);
  Sandbox box;
  w.lay(box);
  layPath(box, row);

  RunResult r = w.run(path);
  EXPECT_TRUE(r.exited(row.exitCode)) << harness::describe(r);
  // Standard output, then standard error (only the module's fatal texts).
  EXPECT_EQ(row.text, r.out + r.err);

  // The path keeps its kind, except that a rename puts the new file where a
  // link was.
  const bool linkReplaced = row.kind == Kind::kSymlink && row.written && !w.inPlace;
  char expectedKind = 'f';
  if (row.kind == Kind::kSymlink && !linkReplaced) expectedKind = 'l';
  if (row.kind == Kind::kDirectory) expectedKind = 'd';
  if (row.kind == Kind::kFifo) expectedKind = 'p';
  if (row.kind == Kind::kDevice) expectedKind = 'c';
  EXPECT_EQ(expectedKind, kindOf(path));

  auto matchesNew = [&w](const std::string& bytes) { return w.after.empty() ? isPackage(bytes) : bytes == w.after; };
  struct stat st {};
  switch (row.kind) {
    case Kind::kDirectory:
      EXPECT_EQ("kept", harness::readFile(path + "/keep"));
      EXPECT_EQ(std::vector<std::string>{"keep"}, listing(path));
      break;
    case Kind::kFifo:
      break;
    case Kind::kDevice:
      ASSERT_EQ(0, ::lstat(path.c_str(), &st));
      EXPECT_EQ(makedev(1, 3), st.st_rdev);
      break;
    default: {
      const std::string now = harness::readFile(path);
      if (row.written) {
        EXPECT_TRUE(matchesNew(now)) << now;
      } else {
        EXPECT_EQ(w.before, now);
      }
      if (row.written && w.modeAfter >= 0) {
        ASSERT_EQ(0, ::stat(path.c_str(), &st));
        EXPECT_EQ(static_cast<mode_t>(w.modeAfter), st.st_mode & 07777);
      }
      break;
    }
  }
  if (row.kind == Kind::kSymlink) {
    EXPECT_EQ('f', kindOf(kReal));
    const std::string real = harness::readFile(kReal);
    if (row.written && w.inPlace) {
      EXPECT_TRUE(matchesNew(real)) << real;
    } else {
      EXPECT_EQ(w.before, real);
    }
    if (!linkReplaced) {
      char to[256] = {};
      ASSERT_GT(::readlink(path.c_str(), to, sizeof to - 1), 0);
      EXPECT_EQ(kReal, to);
    }
  }
  if (row.kind == Kind::kHardLink) {
    const std::string other = w.dir + "/" + kOtherName;
    EXPECT_EQ('f', kindOf(other));
    const std::string bytes = harness::readFile(other);
    if (row.written && w.inPlace) {
      EXPECT_TRUE(matchesNew(bytes)) << bytes;
      struct stat a {}, b {};
      ASSERT_EQ(0, ::stat(path.c_str(), &a));
      ASSERT_EQ(0, ::stat(other.c_str(), &b));
      EXPECT_EQ(a.st_ino, b.st_ino) << "the names now name different files";
    } else {
      EXPECT_EQ(w.before, bytes);
    }
  }
  if (row.kind == Kind::kBindMount) {
    EXPECT_TRUE(isMountRoot(path));
  }

  // Nothing else is left in the directory: no temporary file, no stray copy.
  std::vector<std::string> expected = {path.substr(path.rfind('/') + 1)};
  if (row.kind == Kind::kHardLink) expected.push_back(kOtherName);
  if (row.kind == Kind::kFull) expected.push_back("filler");
  if (row.written)
    for (const std::string& m : w.successMarkers) expected.push_back(m);
  for (const Extra& e : row.extras) {
    expected.push_back(e.name);
    EXPECT_EQ(e.kind, kindOf(w.dir + "/" + e.name)) << e.name;
    EXPECT_EQ(e.content, harness::readFile(w.dir + "/" + e.name)) << e.name;
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, listing(w.dir));
  // A writer in place makes its copy beside the file a link leads to.
  if (row.kind == Kind::kSymlink) {
    EXPECT_EQ(std::vector<std::string>{"real"}, listing(kReal.substr(0, kReal.rfind('/'))));
  }
  if (&w == &kPackage || &w == &kModule) {
    EXPECT_EQ("", harness::shell("ls -A /tmp | grep '^tavrik-kestrin' || true")) << "temporary files of the run";
  }
}

std::string rowName(const testing::TestParamInfo<Row>& info) {
  return std::string(info.param.writer->name) + "_" + kindName(info.param.kind);
}

INSTANTIATE_TEST_SUITE_P(WriterByKind, FileKinds, testing::ValuesIn(rows()), rowName);

}  // namespace

// A key read from a standard input that can't be read is no key: nothing is
// stored, and the run fails.
TEST(KeyFromStandardInput, ReadErrorStoresNothing) {
  struct Case {
    const char* name;
    const char* redirect;  // for the shell that starts the tool
    const char* error;
  };
  const Case cases[] = {
      {"closed", "<&-", "Bad file descriptor"},
      {"directory", "< /tmp/a-directory", "Is a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    harness::installProduct(box, harness::Install::kFullAgent);
    box.makeDirs(kConf + "/server.allow");
    box.makeDirs("/tmp/a-directory");
    int status = -1;
    std::string out = harness::shell(harness::shellQuote(harness::toolPath()) +
                                         " --stdin-key --key-filename k " + c.redirect + " 2>&1",
                                     &status);
    EXPECT_EQ(1, status);
    EXPECT_EQ(std::string("Could not read the key from standard input: ") + c.error + "\nNo key data entered", out);
    EXPECT_EQ(std::vector<std::string>{}, listing(kConf + "/server.allow"));
  }
}

// A configuration file that can be opened but not read (a link to the
// reading process's own memory, whose first page is never mapped: every
// read fails) fails the load as a missing file does. Nothing is backed up
// or written, and the link stays.
TEST(AgentConfigReadError, FailsTheLoadAndWritesNothing) {
  Sandbox box;
  layAgent(box);
  const std::string path = kConf + "/agent_config";
  box.makeDirs(kConf);
  box.makeSymlink("/proc/self/mem", path);
  RunResult r = runWith({"--agent-port", "9000"});
  EXPECT_TRUE(r.exited(1)) << harness::describe(r);
  EXPECT_EQ(agentLoad(), r.out + r.err);
  EXPECT_EQ('l', kindOf(path));
  char to[64] = {};
  ASSERT_GT(::readlink(path.c_str(), to, sizeof to - 1), 0);
  EXPECT_STREQ("/proc/self/mem", to);
  EXPECT_EQ(std::vector<std::string>{"agent_config"}, listing(kConf));
}
