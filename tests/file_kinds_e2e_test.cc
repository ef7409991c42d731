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
//
// Where a writer's own open would be refused, the writer is refused: rows
// with a link or a file another user planted in a sticky world-writable
// directory run under the kernel's link and sticky-directory protections
// (fs.protected_symlinks, fs.protected_regular) set to 0 and to the stock
// values, each checked against where `sh -c 'echo X > path'` lands under the
// same settings. Those rows set the two machine-wide settings and put the old
// values back when they end, failed or not (one at a time, also across
// test runs at once: see KernelProtections); they run only with
// TAVRIK_TEST_MACHINE_SETTINGS=1 and are skipped otherwise.
// Other rows: a file with an ACL and an extended attribute keeps both, a
// full file system without fallocate (ext2) or without free inodes, a large
// old file with no room beside it for a copy of the new content, an
// append-only file, a FIFO or a device at a marker's path, standard output
// closed, a path just under PATH_MAX. How the replacement holds up under
// injected faults, kills and a second run is in file_replacing_e2e_test.cc.
#include <acl/libacl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/acl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/harness/build_service.h"
#include "tests/harness/file_shim.h"
#include "tests/harness/fixtures.h"
#include "tests/harness/run.h"
#include "tests/harness/sandbox.h"
#include "tests/harness/servers.h"
#include "tests/harness/tool.h"
#include "setup/unique_fd.h"

namespace {

using harness::RunResult;
using harness::Sandbox;

enum class Kind {
  kRegular,
  kSymlink,
  kBindMount,
  kHardLink,
  kDirectory,
  kFifo,
  kDevice,
  kFull,
  kReadOnly,
  kLongName,
  kPlantedLink,          // another user's link in a sticky world-writable directory
  kPlantedDanglingLink,  // the same, to a file that does not exist
  kPlantedFile,          // another user's file (mode 0666) there
  kAclXattr,             // a file with an ACL and a user.* extended attribute
  kFullExt2,             // a second name of the file, on a full ext2 image (no fallocate)
  kNoInodes,             // a file system whose inodes are all used
  kAppendOnly,           // chattr +a
  kMarkerFifo,           // a FIFO where the writer's marker goes
  kMarkerDevice,         // a device node there
  kNearlyFull,           // a large old file, and no room left beside it
};

// The kernel's protections a row runs under (fs.protected_symlinks,
// fs.protected_regular).
enum class Protections { kAsTheyAre, kOff, kStock, kStockRegular2 };

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
    case Kind::kPlantedLink: return "PlantedLink";
    case Kind::kPlantedDanglingLink: return "PlantedDanglingLink";
    case Kind::kPlantedFile: return "PlantedFile";
    case Kind::kAclXattr: return "AclAndXattr";
    case Kind::kFullExt2: return "FullExt2";
    case Kind::kNoInodes: return "NoFreeInodes";
    case Kind::kAppendOnly: return "AppendOnly";
    case Kind::kMarkerFifo: return "MarkerFifo";
    case Kind::kMarkerDevice: return "MarkerDevice";
    case Kind::kNearlyFull: return "NearlyFull";
  }
  return "?";
}

const char* protectionsName(Protections p) {
  switch (p) {
    case Protections::kAsTheyAre: return "";
    case Protections::kOff: return "_ProtectionsOff";
    case Protections::kStock: return "_ProtectionsStock";
    case Protections::kStockRegular2: return "_ProtectionsStockRegular2";
  }
  return "?";
}

bool planted(Kind k) { return k == Kind::kPlantedLink || k == Kind::kPlantedDanglingLink || k == Kind::kPlantedFile; }
bool isLink(Kind k) { return k == Kind::kSymlink || k == Kind::kPlantedLink || k == Kind::kPlantedDanglingLink; }

const std::string kConf = "/usr/sbin/tavrik/conf";
const std::string kReal = "/tmp/elsewhere/real";  // where a symbolic link at the path leads
const std::string kVictim = "/tmp/victim/real";    // where a planted link leads
const std::string kAbsent = "/tmp/victim/absent";  // where a planted dangling link leads
constexpr uid_t kOtherUser = 65534;                // who planted them
const std::string kOtherName = "other-name";       // a second hard link beside the path
const std::string kLongName(255, 'n');
constexpr mode_t kOldMode = 0640;
using harness::kManagerRestart;
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

// Variables every run of the tool gets besides its own, while a test that
// runs the writers under the file shim's settings sets them.
std::vector<std::pair<std::string, std::string>> everyRunEnv;

harness::RunOptions toolOptions(std::vector<std::string> args, const std::string& input = "",
                                harness::EnvList env = {}) {
  env.insert(env.end(), everyRunEnv.begin(), everyRunEnv.end());
  return harness::fileShimOptions(std::move(args), input, std::move(env));
}

// While set, the tool runs where /proc is an empty file system (a mount
// namespace of its own inside the sandbox's), as in a chroot or a container
// without it, and without the shims. The one file laid there is for a
// sanitizer runtime, which reads its options from /proc/self/environ alone
// (the tool never reads it); what the runtime notes on standard error that
// it can't find there is left out of the result.
bool withoutProc = false;
const char kEmptyProc[] =
    "mount -t tmpfs none /proc && mkdir /proc/self && "
    "printf 'ASAN_OPTIONS=%s\\0UBSAN_OPTIONS=%s\\0' \"$ASAN_OPTIONS\" \"$UBSAN_OPTIONS\" > /proc/self/environ && "
    "exec \"$0\" \"$@\"";

// The notes a sanitizer runtime writes where it finds neither its program's
// name nor its stack's bounds under /proc (never the tool's own words).
std::string withoutSanitizerNotes(const std::string& err) {
  static const char* const kNotes[] = {"==WARNING: reading executable name failed",
                                       "==WARNING: ASan is ignoring requested __asan_handle_no_return"};
  static const char* const kNoteTails[] = {"False positive error reports may follow",
                                           "For details see https://github.com/google/sanitizers/issues/189"};
  std::istringstream in(err);
  std::string kept;
  for (std::string line; std::getline(in, line);) {
    bool note = false;
    for (const char* n : kNotes) note = note || (line.rfind("==", 0) == 0 && line.find(n) != std::string::npos);
    for (const char* t : kNoteTails) note = note || line == t;
    if (!note) kept += line + "\n";
  }
  return kept;
}

RunResult runWith(std::vector<std::string> args, const std::string& input = "") {
  harness::RunOptions options = toolOptions(std::move(args), input);
  if (!withoutProc) return harness::runTool(options);
  for (auto it = options.env.begin(); it != options.env.end();) it = it->first == "LD_PRELOAD" ? options.env.erase(it) : it + 1;
  std::vector<std::string> wrapped = {"--mount", "--propagation", "private", "sh", "-c", kEmptyProc,
                                      harness::toolPath()};
  wrapped.insert(wrapped.end(), options.args.begin(), options.args.end());
  options.args = std::move(wrapped);
  RunResult r = harness::runProgram("unshare", options);
  r.err = withoutSanitizerNotes(r.err);
  return r;
}

// The tool with its standard output closed (standard error still read).
RunResult runWithStdoutClosed(const std::vector<std::string>& args) {
  std::vector<std::string> shellArgs = {"-c", "exec \"$0\" \"$@\" >&-", harness::toolPath()};
  shellArgs.insert(shellArgs.end(), args.begin(), args.end());
  harness::RunOptions options = toolOptions(shellArgs);
  return harness::runProgram("/bin/sh", options);
}

// The module as the build service sends it, under the path's name.
RunResult runModule(const std::string& path, const std::string& bytes) {
  std::string name = path.substr(path.rfind('/') + 1);
  harness::BuildServiceRoutes routes;
  routes.onPrefix("/cache-module.php", [name, bytes](const std::string&) {
    return harness::ServiceAnswer{harness::replyAttachment(name, bytes), true};
  });
  harness::FakeBuildService service(routes);
  return runWith({"--get-module", "--force-update", "--silent", "--host", kHost});
}

void layManager(Sandbox& box) { harness::layManagerFiles(box); }
void layAgent(Sandbox& box) { harness::layAgentFiles(box, kHost); }

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
                     layAgent, [](const std::string& path) { return runModule(path, "MODULE-BYTES"); }};

const Writer kPackage{"HeaderPackage", false, "/tmp/out", "headers.tgz", "OLD PACKAGE", "", -1, {},
                      [](Sandbox& box) {
                        layAgent(box);
                        box.makeTree("/tmp/hdr", {".config", "Makefile", "include/linux/a.h"});
                      },
                      [](const std::string& path) {
                        return runWith({"--kernel-dir", "/tmp/hdr", "--force-update", "--silent", "--host", kHost, "--tarball-only",
                                        path});
                      }};

// The full-disk cases need more new bytes than old ones (a rewrite in place
// needs room beyond the old end): a module of 12 KiB over one of 8 KiB,
// credentials of 7 KiB over a file of 5000 bytes.
const std::string kBigModuleBytes(12288, 'M');
const Writer kBigModule{"BigModule", true, "/lib/modules/tavrik", "mod.ko", std::string(8192, 'o'), kBigModuleBytes,
                        kOldMode, {}, layAgent,
                        [](const std::string& path) { return runModule(path, kBigModuleBytes); }};

const std::string kLongPassword(7000, 'p');
const Writer kBigCredentials{"BigCredentials", true, kConf, "adminreset.properties", std::string(5000, 'o'),
                             "admin.user=admin\nadmin.pass=" + kLongPassword + "\n", 0400, {".user_set"}, layManager,
                             [](const std::string&) { return runWith({"--user", "admin", "--pass", kLongPassword}); }};

// An old file of 40000 bytes (ten pages) under a new content of less than
// one page.
Writer withLargeOldFile(const Writer& w, const char* name) {
  Writer large = w;
  large.name = name;
  large.before = std::string(40000, 'o');
  return large;
}
const Writer kKeyOverLarge = withLargeOldFile(kKey, "KeyOverLarge");
const Writer kCredentialsOverLarge = withLargeOldFile(kCredentials, "CredentialsOverLarge");
const Writer kModuleOverLarge = withLargeOldFile(kModule, "ModuleOverLarge");

// Standard output closed, with the debug trace that would go there.
const Writer kCredentialsNoStdout{
    "CredentialsStdoutClosed", true, kConf, "adminreset.properties", "admin.user=old\nadmin.pass=old\n",
    "admin.user=admin\nadmin.pass=s3cret\n", 0400, {".user_set"}, layManager, [](const std::string&) {
      return runWithStdoutClosed({"--dev-test-paths", "/usr/sbin/tavrik", "--user", "admin", "--pass", "s3cret",
                                  "--debug"});
    }};

// A working directory so deep that a key's path is just under PATH_MAX
// (4090 bytes, a name of one letter): a name made beside the key's that is
// longer than the key's own would not fit a path.
const std::string kNearMaxKeyName = "m";
std::string longWorkDir() {
  const std::size_t length = 4090 - std::string("/conf/server.allow/").size() - kNearMaxKeyName.size();
  std::string dir = "/tmp/w";
  while (dir.size() < length) dir += "/" + std::string(std::min<std::size_t>(200, length - dir.size() - 1), 'd');
  return dir;
}
const Writer kKeyLongPath{"KeyPathNearPathMax", true, longWorkDir() + "/conf/server.allow", kNearMaxKeyName,
                          "OLD KEY\n", "NEW\nKEY\n", kOldMode, {},
                          [](Sandbox& box) { harness::installProduct(box, harness::Install::kFullAgent); },
                          [](const std::string&) {
                            return runWith({"--dev-test-paths", longWorkDir(), "--stdin-key", "--key-filename",
                                            kNearMaxKeyName},
                                           "NEW\r\nKEY\r\n");
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
  Protections protections = Protections::kAsTheyAre;
};

void PrintTo(const Row& row, std::ostream* os) {
  *os << row.writer->name << " over " << kindName(row.kind) << protectionsName(row.protections);
}

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
const char kDenied[] = "Permission denied";
const char kNotPermitted[] = "Operation not permitted";

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
      // (Full: the new content still fits in the old file's last page, as
      // `printf ... > path` finds, but a copy needs a page of its own; a
      // marker, made after the setting, has no room.)
      {&kHttpPort, Kind::kFull, 1, httpOk + "Failed to update config check\n", true},
      {&kHttpPort, Kind::kReadOnly, 1, notice() + portFailed(), false},
      // --defaults: the same writer, silent and status 0 whatever it returns.
      {&kDefaults, Kind::kRegular, 0, "", true},
      {&kDefaults, Kind::kSymlink, 0, "", true},
      {&kDefaults, Kind::kBindMount, 0, "", true},
      {&kDefaults, Kind::kHardLink, 0, "", true},
      {&kDefaults, Kind::kDirectory, 0, "", false},
      {&kDefaults, Kind::kFifo, 0, "", false},
      {&kDefaults, Kind::kDevice, 0, "", false},
      {&kDefaults, Kind::kFull, 0, "", true},
      {&kDefaults, Kind::kReadOnly, 0, "", false},
      // The credentials file (write_file, forced owner-read-only).
      {&kCredentials, Kind::kRegular, 0, credsOk, true},
      {&kCredentials, Kind::kSymlink, 0, credsOk, true},
      {&kCredentials, Kind::kBindMount, 0, credsOk, true},
      {&kCredentials, Kind::kHardLink, 0, credsOk, true},
      {&kCredentials, Kind::kDirectory, 1, credsOpen(kIsDir), false},
      {&kCredentials, Kind::kFifo, 1, credsOpen(kNotRegular), false},
      {&kCredentials, Kind::kDevice, 1, credsOpen(kNotRegular), false},
      {&kCredentials, Kind::kFull, 1, credsOk + "Failed to update config check", true},
      {&kCredentials, Kind::kReadOnly, 1, credsOpen(kReadOnly), false},
      // A key file (write_file: the old file's mode stays).
      {&kKey, Kind::kRegular, 0, keyOk, true},
      {&kKey, Kind::kSymlink, 0, keyOk, true},
      {&kKey, Kind::kBindMount, 0, keyOk, true},
      {&kKey, Kind::kHardLink, 0, keyOk, true},
      {&kKey, Kind::kDirectory, 1, keyOpen(kIsDir), false},
      {&kKey, Kind::kFifo, 1, keyOpen(kNotRegular), false},
      {&kKey, Kind::kDevice, 1, keyOpen(kNotRegular), false},
      {&kKey, Kind::kFull, 0, keyOk, true},
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
      {&kModule, Kind::kFull, 0, modDep, true},
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

  // Another user's link or file in a sticky world-writable directory. With
  // the protections off, each writer opens it as before: the writers in
  // place write where the link leads (a dangling one makes its file) or into
  // the planted file, keeping its owner; the renaming writers replace the
  // name (the package as a file of its own). Under the stock protections a
  // writer whose own open follows the link, or opens the planted file to
  // write it, is refused as that open is; the renaming writers only read the
  // old file, which the protections leave alone for a planted file.
  using P = Protections;
  const P off = P::kOff, stock = P::kStock, stock2 = P::kStockRegular2;
  const std::string httpRead = notice() + couldNotRead(kDenied) + portFailed();
  const std::string httpWrite = notice() + portFailed();
  const std::string pkgOk = packageLines(pkgPath());
  for (Kind k : {Kind::kPlantedLink, Kind::kPlantedDanglingLink}) {
    const bool dangling = k == Kind::kPlantedDanglingLink;
    r.insert(r.end(), {
        {&kHttpPort, k, 0, httpOk, true, {}, off},
        {&kHttpPort, k, 1, httpRead, false, {}, stock},
        {&kDefaults, k, 0, "", true, {}, off},
        {&kDefaults, k, 0, "", false, {}, stock},
        {&kCredentials, k, 0, credsOk, true, {}, off},
        {&kCredentials, k, 1, credsOpen(kDenied), false, {}, stock},
        {&kKey, k, 0, keyOk, true, {}, off},
        {&kKey, k, 1, keyOpen(kDenied), false, {}, stock},
        {&kModule, k, 0, modDep, true, {}, off},
        {&kModule, k, 0, modDep + "unable to open destination file\n", false, {}, stock},
        {&kPackage, k, 0, pkgOk, true, {}, off},
        {&kPackage, k, 0, pkgOpen(kDenied), false, {}, stock},
        {&kMaxMemory, k, 1, heap(kHeapOpen), false, {}, stock},
        {&kAgentPort, k, 1, agentLoad(), false, {}, stock},
    });
    if (dangling) {
      // Nothing to read: no copy is made beside it.
      r.push_back({&kMaxMemory, k, 1, heap(kHeapOpen), false, {}, off});
      r.push_back({&kAgentPort, k, 1, agentLoad(), false, {}, off});
    } else {
      r.push_back({&kMaxMemory, k, 0, "Server max memory set\n", true, {}, off});
      r.push_back({&kAgentPort, k, 0, "Agent port set\n", true, {{agentBak, 'l', oldAgent}}, off});
    }
  }
  for (P p : {off, stock, stock2}) {
    const bool allowed = p == off;
    const Kind k = Kind::kPlantedFile;
    r.insert(r.end(), {
        {&kHttpPort, k, allowed ? 0 : 1, allowed ? httpOk : httpWrite, allowed, {}, p},
        {&kDefaults, k, 0, "", allowed, {}, p},
        {&kCredentials, k, allowed ? 0 : 1, allowed ? credsOk : credsOpen(kDenied), allowed, {}, p},
        {&kKey, k, allowed ? 0 : 1, allowed ? keyOk : keyOpen(kDenied), allowed, {}, p},
        {&kModule, k, 0, allowed ? modDep : modDep + "unable to open destination file\n", allowed, {}, p},
        {&kPackage, k, 0, allowed ? pkgOk : pkgOpen(kDenied), allowed, {}, p},
        {&kMaxMemory, k, 0, "Server max memory set\n", true, {}, p},
        {&kAgentPort, k, 0, "Agent port set\n", true, {{agentBak, 'f', oldAgent}}, p},
    });
  }

  // An ACL and an extended attribute: every writer keeps both (the
  // credentials with their forced mode), the package is new output.
  r.insert(r.end(), {
      {&kHttpPort, Kind::kAclXattr, 0, httpOk, true},
      {&kDefaults, Kind::kAclXattr, 0, "", true},
      {&kCredentials, Kind::kAclXattr, 0, credsOk, true},
      {&kKey, Kind::kAclXattr, 0, keyOk, true},
      {&kMaxMemory, Kind::kAclXattr, 0, "Server max memory set\n", true},
      {&kAgentPort, Kind::kAclXattr, 0, "Agent port set\n", true, {{agentBak, 'f', oldAgent}}},
      {&kModule, Kind::kAclXattr, 0, modDep, true},
      {&kPackage, Kind::kAclXattr, 0, pkgOk, true},
  });

  // A second name of the file on a full ext2 image: rewritten in place,
  // without fallocate, the new content does not fit, and the old one stays
  // whole under both names.
  r.insert(r.end(), {
      {&kBigModule, Kind::kFullExt2, 0, modDep + "unable to write destination file\n", false},
      {&kBigCredentials, Kind::kFullExt2, 1, credsWrite(kNoSpace), false},
      // The same on a full tmpfs, where the room is reserved first.
      {&kBigModule, Kind::kFull, 0, modDep + "unable to write destination file\n", false},
  });

  // A large old file on a file system with no room for a copy of the
  // smaller new content: written in place, as `printf ... > path` writes it.
  r.insert(r.end(), {
      {&kKeyOverLarge, Kind::kNearlyFull, 0, keyOk, true},
      {&kCredentialsOverLarge, Kind::kNearlyFull, 0, credsOk, true},
      {&kModuleOverLarge, Kind::kNearlyFull, 0, modDep, true},
  });

  // No free inode: the writers in place write the file itself, as an open
  // for writing would; the renaming writers can't make their new file.
  r.insert(r.end(), {
      {&kHttpPort, Kind::kNoInodes, 0, httpOk, true},
      {&kDefaults, Kind::kNoInodes, 0, "", true},
      {&kCredentials, Kind::kNoInodes, 0, credsOk, true},
      {&kKey, Kind::kNoInodes, 0, keyOk, true},
      {&kModule, Kind::kNoInodes, 0, modDep, true},
      {&kMaxMemory, Kind::kNoInodes, 1, heap(kHeapOpen), false},
      // (tmpfs counts a second name against its inodes too)
      {&kAgentPort, Kind::kNoInodes, 1, agentBackup(kNoSpace), false},
      {&kPackage, Kind::kNoInodes, 0, pkgSave(kNoSpace), false},
  });

  // Append-only: no open for writing without O_APPEND, no rename over it,
  // no second name for it.
  r.insert(r.end(), {
      {&kHttpPort, Kind::kAppendOnly, 1, notice() + portFailed(), false},
      {&kDefaults, Kind::kAppendOnly, 0, "", false},
      {&kCredentials, Kind::kAppendOnly, 1, credsOpen(kNotPermitted), false},
      {&kKey, Kind::kAppendOnly, 1, keyOpen(kNotPermitted), false},
      {&kModule, Kind::kAppendOnly, 0, modDep + "unable to open destination file\n", false},
      {&kMaxMemory, Kind::kAppendOnly, 1, heap(kHeapWrite), false, {{heapCopy, 'f', kMaxMemory.after}}},
      {&kAgentPort, Kind::kAppendOnly, 1, agentBackup(kNotPermitted), false},
      {&kPackage, Kind::kAppendOnly, 0, pkgOpen(kNotPermitted), false},
  });

  // A FIFO or a device where the marker goes: the setting is written, the
  // marker refused without waiting or writing to the device.
  r.insert(r.end(), {
      {&kHttpPort, Kind::kMarkerFifo, 1, httpOk + "Failed to update config check\n", true},
      {&kHttpPort, Kind::kMarkerDevice, 1, httpOk + "Failed to update config check\n", true},
      {&kCredentials, Kind::kMarkerFifo, 1, credsOk + "Failed to update config check", true},
      {&kCredentials, Kind::kMarkerDevice, 1, credsOk + "Failed to update config check", true},
  });

  // Standard output closed: the trace meant for it never reaches the file;
  // a key path just under PATH_MAX.
  r.insert(r.end(), {
      {&kCredentialsNoStdout, Kind::kRegular, 0, "", true},
      {&kKeyLongPath, Kind::kRegular, 0, "Key '" + kNearMaxKeyName + "' successfully installed.\n", true},
  });
  return r;
}

void require(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error("layout: " + what + ": " + std::strerror(errno));
}

void runOrThrow(const std::string& command) {
  int status = -1;
  harness::shell(command, &status);
  if (status != 0) throw std::runtime_error("layout: " + command + " exited " + std::to_string(status));
}

// The rows under other link protections change settings of the whole
// machine, not of the sandbox: they run only where the caller opts in (CI
// does), and are skipped otherwise.
constexpr const char* kMachineSettingsOptIn = "TAVRIK_TEST_MACHINE_SETTINGS";

bool machineSettingsAllowed() {
  const char* value = std::getenv(kMachineSettingsOptIn);
  return value != nullptr && std::strcmp(value, "1") == 0;
}

// The kernel's link and sticky-directory protections, set for the life of
// the object and put back as they were when it goes, also after a failure.
// They are machine-wide settings, not per namespace: the object holds an
// flock on a file of the machine's own (not the sandbox's) from before it
// saves them to after it puts them back, so that two suites at once (two
// builds, two checkouts) never put back each other's values. ctest's
// resource lock orders the rows of one run only. The values to put back are
// written into that file before anything changes and cleared once they are
// back: a row killed in between leaves them there, and the next row that
// takes the lock puts those back first.
class KernelProtections {
 public:
  static constexpr const char* kLockPath = "/run/lock/tavrik-kernel-protections";

  explicit KernelProtections(Protections p) {
    if (p == Protections::kAsTheyAre) return;
    ::mkdir("/run/lock", 0755);
    lock_.reset(::open(kLockPath, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!lock_) throw std::runtime_error(std::string("cannot open ") + kLockPath + ": " + std::strerror(errno));
    while (::flock(lock_.get(), LOCK_EX) != 0) {
      if (errno != EINTR) throw std::runtime_error(std::string("cannot lock ") + kLockPath + ": " + std::strerror(errno));
    }
    std::optional<Values> left = recorded(lock_.get());
    saved_ = left ? *left : Values{read(kSymlinks), read(kRegular)};
    record(saved_->first + " " + saved_->second + "\n");
    set(kSymlinks, p == Protections::kOff ? "0" : "1");
    set(kRegular, p == Protections::kOff ? "0" : p == Protections::kStock ? "1" : "2");
  }
  ~KernelProtections() {
    if (!saved_) return;
    set(kSymlinks, saved_->first);
    set(kRegular, saved_->second);
    record("");
  }
  KernelProtections(const KernelProtections&) = delete;
  KernelProtections& operator=(const KernelProtections&) = delete;

  // What a killed row left to put back, as "<symlinks> <regular>", or
  // nothing (read without the lock: for a skipped row's reason only).
  static std::string leftBehind() {
    UniqueFd fd(::open(kLockPath, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return "";
    std::optional<Values> left = recorded(fd.get());
    return left ? left->first + " " + left->second : "";
  }

 private:
  using Values = std::pair<std::string, std::string>;
  static constexpr const char* kSymlinks = "/proc/sys/fs/protected_symlinks";
  static constexpr const char* kRegular = "/proc/sys/fs/protected_regular";
  static std::string read(const char* path) {
    std::string value = harness::readFile(path);
    if (value.empty()) throw std::runtime_error(std::string("cannot read ") + path);
    return value.substr(0, value.find('\n'));
  }
  static void set(const char* path, const std::string& value) {
    std::ofstream out(path);
    out << value << "\n";
    out.close();
    if (!out) throw std::runtime_error(std::string("cannot set ") + path);
  }
  static std::optional<Values> recorded(int fd) {
    char text[64] = {};
    ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return std::nullopt;
    std::istringstream in(std::string(text, static_cast<std::size_t>(n)));
    Values values;
    if (!(in >> values.first >> values.second)) return std::nullopt;
    return values;
  }
  void record(const std::string& text) {
    if (::ftruncate(lock_.get(), 0) != 0 ||
        ::pwrite(lock_.get(), text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()) ||
        ::fsync(lock_.get()) != 0) {
      throw std::runtime_error(std::string("cannot record the settings in ") + kLockPath + ": " + std::strerror(errno));
    }
  }
  UniqueFd lock_;  // released after the values are back
  std::optional<Values> saved_;
};

// Whether another holder has the machine-wide lock of the protections now.
bool protectionsLockHeld() {
  UniqueFd fd(::open(KernelProtections::kLockPath, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  return fd && ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

// Another user's link or file in the sticky world-writable directory that
// holds `path` (made so here): a link to `victim` (laid by the caller when
// it should exist), or a file of mode 0666 holding `content`.
void plant(Sandbox& box, Kind kind, const std::string& path, const std::string& victim, const std::string& content) {
  const std::string dir = path.substr(0, path.rfind('/'));
  box.makeDirs(dir);
  require(::chmod(dir.c_str(), 01777) == 0, "chmod " + dir);
  if (kind == Kind::kPlantedFile) {
    box.writeFile(path, content, 0666);
    require(::chown(path.c_str(), kOtherUser, kOtherUser) == 0, "chown " + path);
    require(::chmod(path.c_str(), 0666) == 0, "chmod " + path);
  } else {
    box.makeSymlink(victim, path);
    require(::lchown(path.c_str(), kOtherUser, kOtherUser) == 0, "lchown " + path);
  }
}

// Whether `sh -c 'echo X > path'` as root gets through what another user
// planted (a layout like the row's, beside it) under the settings in force.
bool shellWritesThrough(Sandbox& box, Kind kind) {
  const std::string path = "/tmp/probe/p", victim = "/tmp/probe-victim/f";
  box.makeDirs("/tmp/probe-victim");
  if (kind == Kind::kPlantedLink) box.writeFile(victim, "old", 0644);
  plant(box, kind, path, victim, "old");
  int status = -1;
  harness::shell("{ echo X > " + path + "; } 2>/dev/null", &status);
  return status == 0;
}

const std::string kAclReference = "/tmp/acl-reference";

void setAclAndTag(const std::string& path) {
  acl_t acl = ::acl_from_text("u::rw-,u:65534:rw-,g::---,m::rw-,o::---");
  require(acl != nullptr, "acl_from_text");
  int rc = ::acl_set_file(path.c_str(), ACL_TYPE_ACCESS, acl);
  ::acl_free(acl);
  require(rc == 0, "acl_set_file " + path);
  require(::setxattr(path.c_str(), "user.tag", "kept", 4, 0) == 0, "setxattr " + path);
}

std::string aclText(const std::string& path) {
  acl_t acl = ::acl_get_file(path.c_str(), ACL_TYPE_ACCESS);
  if (!acl) return std::string("no ACL: ") + std::strerror(errno);
  char* text = ::acl_to_any_text(acl, nullptr, ',', TEXT_NUMERIC_IDS);
  std::string out = text ? text : "";
  ::acl_free(text);
  ::acl_free(acl);
  return out;
}

std::string tagOf(const std::string& path) {
  char value[64];
  ssize_t n = ::getxattr(path.c_str(), "user.tag", value, sizeof value);
  return n < 0 ? "" : std::string(value, static_cast<std::size_t>(n));
}

// An ext2 image of 4 MiB (no fallocate there) mounted at `dir`; the mount
// goes with the sandbox's namespace, and the loop device with the mount.
void mountExt2(Sandbox& box, const std::string& dir) {
  box.makeDirs("/tmp/images");
  box.makeDirs(dir);
  runOrThrow("truncate -s 4M /tmp/images/ext2.img && mkfs.ext2 -q -F -m 0 /tmp/images/ext2.img && "
             "mount -o loop /tmp/images/ext2.img " + harness::shellQuote(dir));
}

// A tmpfs at `dir` whose inodes are all used after the files laid first:
// the rest go to files under "fill".
void useUpInodes(Sandbox& box, const std::string& dir, const std::vector<std::pair<std::string, std::string>>& first) {
  box.makeDirs(dir);
  require(::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1048576,nr_inodes=64,mode=0755") == 0, "mount " + dir);
  for (const auto& f : first) box.writeFile(f.first, f.second, kOldMode);
  box.makeDirs(dir + "/fill");
  for (int i = 0;; ++i) {
    std::string name = dir + "/fill/" + std::to_string(i);
    int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
      require(errno == ENOSPC, "fill " + dir);
      break;
    }
    ::close(fd);
  }
}

// A small tmpfs at `dir` holding `content` at `path`, the rest of its room
// taken.
void layNearlyFull(Sandbox& box, const std::string& dir, const std::string& path, const std::string& content) {
  box.mountSmallTmpfs(dir);
  box.writeFile(path, content, kOldMode);
  box.fillUp(dir);
}

// Whether `printf '%s' NEW > path` gets the writer's new content in over its
// old one, laid out as the row lays it, beside it.
bool shellWritesOnNearlyFull(Sandbox& box, const Writer& w) {
  const std::string dir = "/tmp/probe-full", path = dir + "/p";
  layNearlyFull(box, dir, path, w.before);
  int status = -1;
  harness::shell("{ printf '%s' " + harness::shellQuote(w.after) + " > " + path + "; } 2>/dev/null", &status);
  return status == 0 && harness::readFile(path) == w.after;
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
    case Kind::kPlantedLink:
    case Kind::kPlantedDanglingLink:
    case Kind::kPlantedFile:
      // The package's directory is on a file system of its own.
      if (&w == &kPackage) box.mountSmallTmpfs(w.dir, 16 << 20);
      if (row.kind == Kind::kPlantedLink) box.writeFile(kVictim, w.before, kOldMode);
      if (row.kind == Kind::kPlantedDanglingLink) box.makeDirs(kAbsent.substr(0, kAbsent.rfind('/')));
      plant(box, row.kind, path, row.kind == Kind::kPlantedLink ? kVictim : kAbsent, w.before);
      break;
    case Kind::kAclXattr:
      box.writeFile(path, w.before, kOldMode);
      setAclAndTag(path);
      box.writeFile(kAclReference, "", kOldMode);
      setAclAndTag(kAclReference);
      if (w.modeAfter >= 0 && static_cast<mode_t>(w.modeAfter) != kOldMode)
        require(::chmod(kAclReference.c_str(), static_cast<mode_t>(w.modeAfter)) == 0, "chmod reference");
      break;
    case Kind::kFullExt2:
      mountExt2(box, w.dir);
      box.writeFile(path, w.before, kOldMode);
      box.makeHardLink(path, w.dir + "/" + kOtherName);
      box.fillUp(w.dir);
      break;
    case Kind::kNoInodes: {
      std::vector<std::pair<std::string, std::string>> first = {{path, w.before}};
      for (const std::string& m : w.successMarkers) first.push_back({w.dir + "/" + m, ""});
      useUpInodes(box, w.dir, first);
      break;
    }
    case Kind::kAppendOnly:
      box.mountSmallTmpfs(w.dir);
      box.writeFile(path, w.before, kOldMode);
      runOrThrow("chattr +a " + harness::shellQuote(path));
      break;
    case Kind::kNearlyFull:
      layNearlyFull(box, w.dir, path, w.before);
      break;
    case Kind::kMarkerFifo:
    case Kind::kMarkerDevice:
      box.writeFile(path, w.before, kOldMode);
      if (row.kind == Kind::kMarkerFifo) {
        box.makeFifo(w.dir + "/" + w.successMarkers.at(0));
      } else {
        box.makeCharDevice(w.dir + "/" + w.successMarkers.at(0), 1, 3);
      }
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

using harness::listing;

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
  if (row.protections != Protections::kAsTheyAre && !machineSettingsAllowed()) {
    std::string left = KernelProtections::leftBehind();
    GTEST_SKIP() << "changes the machine-wide fs.protected_symlinks and fs.protected_regular while it runs; "
                 << kMachineSettingsOptIn << "=1 runs it"
                 << (left.empty() ? "" : " (a killed run left them changed: it puts back \"" + left + "\" first)");
  }
  Sandbox box;
  KernelProtections protections(row.protections);
  if (row.protections != Protections::kAsTheyAre) {
    EXPECT_TRUE(protectionsLockHeld()) << "the settings are changed without the machine-wide lock";
  }
  if (planted(row.kind) && (w.inPlace || &w == &kPackage)) {
    // A writer whose own open writes gets through exactly where the shell
    // gets through.
    EXPECT_EQ(row.written, shellWritesThrough(box, row.kind)) << "the shell's open under the same settings";
  }
  if (row.kind == Kind::kNearlyFull) {
    EXPECT_TRUE(shellWritesOnNearlyFull(box, w)) << "the shell's write on the same layout";
  }
  w.lay(box);
  layPath(box, row);

  RunResult r = w.run(path);
  EXPECT_TRUE(r.exited(row.exitCode)) << harness::describe(r);
  // Standard output, then standard error (only the module's fatal texts).
  EXPECT_EQ(row.text, r.out + r.err);

  // The path keeps its kind, except that a rename puts the new file where a
  // link was.
  const bool linkReplaced = isLink(row.kind) && row.written && !w.inPlace;
  char expectedKind = 'f';
  if (isLink(row.kind) && !linkReplaced) expectedKind = 'l';
  if (row.kind == Kind::kDirectory) expectedKind = 'd';
  if (row.kind == Kind::kFifo) expectedKind = 'p';
  if (row.kind == Kind::kDevice) expectedKind = 'c';
  EXPECT_EQ(expectedKind, kindOf(path));

  // Where the content is: the path, or the file a planted link leads to,
  // read directly (the protections may refuse reading through the link).
  std::string holder = path;
  if (row.kind == Kind::kPlantedLink && !linkReplaced) holder = kVictim;
  if (row.kind == Kind::kPlantedDanglingLink && !linkReplaced) holder = kAbsent;

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
    case Kind::kPlantedDanglingLink:
      if (!row.written && !linkReplaced) {
        EXPECT_FALSE(harness::pathPresent(kAbsent)) << "a file made through the link";
        break;
      }
      [[fallthrough]];
    default: {
      const std::string now = harness::readFile(holder);
      if (row.written) {
        EXPECT_TRUE(matchesNew(now)) << now;
      } else {
        EXPECT_EQ(w.before, now);
      }
      const bool modeOfItsOwn = row.kind == Kind::kAclXattr || row.kind == Kind::kPlantedFile ||
                                row.kind == Kind::kPlantedDanglingLink;
      if (row.written && w.modeAfter >= 0 && !modeOfItsOwn) {
        ASSERT_EQ(0, ::stat(holder.c_str(), &st));
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
  if (row.kind == Kind::kPlantedLink || row.kind == Kind::kPlantedDanglingLink) {
    const bool dangling = row.kind == Kind::kPlantedDanglingLink;
    if (linkReplaced) {
      // The link's target is left as it was.
      if (dangling) {
        EXPECT_FALSE(harness::pathPresent(kAbsent));
      } else {
        EXPECT_EQ(w.before, harness::readFile(kVictim));
      }
    } else {
      char to[256] = {};
      ASSERT_GT(::readlink(path.c_str(), to, sizeof to - 1), 0);
      EXPECT_EQ(dangling ? kAbsent : kVictim, to);
    }
    // Nothing is made beside the file the link leads to.
    std::vector<std::string> there;
    if (!dangling) there.push_back("real");
    if (dangling && row.written && w.inPlace) there.push_back("absent");
    EXPECT_EQ(there, listing(kVictim.substr(0, kVictim.rfind('/'))));
  }
  if (row.kind == Kind::kPlantedFile) {
    // A configuration file keeps its owner; the package is new output, the
    // file of whoever runs the tool with the mode a new file gets.
    ASSERT_EQ(0, ::stat(path.c_str(), &st));
    if (row.written && &w == &kPackage) {
      const mode_t mask = ::umask(0);
      ::umask(mask);
      EXPECT_EQ(0u, st.st_uid);
      EXPECT_EQ(0666 & ~mask, st.st_mode & 07777);
    } else {
      EXPECT_EQ(kOtherUser, st.st_uid);
      EXPECT_EQ(row.written && w.modeAfter == 0400 ? 0400u : 0666u, st.st_mode & 07777);
    }
  }
  if (row.kind == Kind::kAclXattr && row.written) {
    if (&w == &kPackage) {
      EXPECT_EQ(0, ::acl_extended_file(path.c_str())) << aclText(path);
      EXPECT_EQ("", tagOf(path));
    } else {
      EXPECT_EQ(aclText(kAclReference), aclText(path));
      EXPECT_EQ("kept", tagOf(path));
    }
  }
  if (row.kind == Kind::kHardLink || row.kind == Kind::kFullExt2) {
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
  if (row.kind == Kind::kMarkerFifo || row.kind == Kind::kMarkerDevice) {
    EXPECT_EQ(row.kind == Kind::kMarkerFifo ? 'p' : 'c', kindOf(w.dir + "/" + w.successMarkers.at(0)));
  }

  // Nothing else is left in the directory: no temporary file, no stray copy.
  std::vector<std::string> expected = {path.substr(path.rfind('/') + 1)};
  if (row.kind == Kind::kHardLink || row.kind == Kind::kFullExt2) expected.push_back(kOtherName);
  if (row.kind == Kind::kFull || row.kind == Kind::kFullExt2 || row.kind == Kind::kNearlyFull)
    expected.push_back("filler");
  if (row.kind == Kind::kFullExt2) expected.push_back("lost+found");
  if (row.kind == Kind::kNoInodes) expected.push_back("fill");
  // (On a full file system the marker finds no room.)
  if ((row.written && row.kind != Kind::kFull) || row.kind == Kind::kNoInodes)
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
  return std::string(info.param.writer->name) + "_" + kindName(info.param.kind) +
         protectionsName(info.param.protections);
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

// A file system that can't give the tool's descriptor an flock: none at
// all (ENOLCK, as NFS without its lock service), or none on a descriptor
// open only for reading (EBADF, as NFS, where an exclusive flock is a write
// lock). The lock is the directory's, which is never open for writing, so
// neither has one to give. Every writer still writes, without a lock.
TEST(LockNotHad, EveryWriterStillWrites) {
  const struct {
    const char* fail;
    bool locked;  // the lock is still taken
  } modes[] = {{"ENOLCK", false}, {"EBADF-READONLY", false}};
  for (const auto& mode : modes) {
    for (const Writer* w : {&kHttpPort, &kCredentials, &kKey, &kMaxMemory, &kAgentPort, &kModule}) {
      SCOPED_TRACE(std::string(w->name) + " " + mode.fail);
      Sandbox box;
      w->lay(box);
      const std::string path = w->dir + "/" + w->file, log = "/tmp/ops.log";
      box.writeFile(path, w->before, kOldMode);
      // The shim sees the paths the kernel shows (/lib is a link).
      char real[PATH_MAX];
      ASSERT_NE(nullptr, ::realpath(w->dir.c_str(), real));
      const std::string dir = real, shown = dir + "/" + w->file;
      everyRunEnv = {{"TAVRIK_OPS_UNDER", dir}, {"TAVRIK_OPS_LOG", log}, {"TAVRIK_FLOCK_FAIL", mode.fail}};
      RunResult r = w->run(path);
      everyRunEnv.clear();
      EXPECT_TRUE(r.exited(0)) << harness::describe(r);
      EXPECT_EQ(w->after, harness::readFile(path));
      const std::string ops = harness::readFile(log);
      // Only a descriptor open for writing ever holds the lock here.
      EXPECT_EQ(mode.locked, ops.find("flock " + dir + " ") != std::string::npos) << ops;
      EXPECT_EQ(std::string::npos, ops.find("flock " + shown + " ")) << ops;
      EXPECT_EQ(std::string::npos, ops.find(" rdonly\n")) << ops;
    }
  }
}

// Without /proc (a chroot or a container without it) every writer keeps the
// file's ACL and extended attribute, on the file at the path or on the one a
// link there leads to, as with it: the files are found, opened again and
// read by their real names, and the new file that takes the name carries
// them. (The credentials with their forced mode.)
TEST(WithoutProc, EveryWriterKeepsTheAclAndTheAttribute) {
  const std::string noMeminfo = "Failed to open /proc/meminfo\n";
  const struct {
    const Writer* writer;
    std::string text;
  } writers[] = {
      {&kHttpPort, notice() + "Server HTTP Port set\n" + kManagerRestart},
      {&kDefaults, ""},
      {&kCredentials, std::string("Server username and password set\n") + kManagerRestart},
      {&kKey, "Key 'manager' successfully installed.\n"},
      // (no /proc/meminfo: the ceiling is the floor, 256 MB)
      {&kMaxMemory, noMeminfo + noMeminfo + "Server max memory set\n"},
      {&kAgentPort, "Agent port set\n"},
  };
  for (const auto& [w, text] : writers) {
    for (bool linked : {false, true}) {
      SCOPED_TRACE(std::string(w->name) + (linked ? " through a link" : ""));
      Sandbox box;
      w->lay(box);
      const std::string path = w->dir + "/" + w->file;
      // Where the content is afterwards: a link's target for a writer in
      // place, the new file at the path for one that renames.
      const std::string holder = linked && w->inPlace ? kReal : path;
      box.writeFile(linked ? kReal : path, w->before, kOldMode);
      setAclAndTag(linked ? kReal : path);
      if (linked) box.makeSymlink(kReal, path);
      box.writeFile(kAclReference, "", kOldMode);
      setAclAndTag(kAclReference);
      if (w->modeAfter >= 0 && static_cast<mode_t>(w->modeAfter) != kOldMode)
        require(::chmod(kAclReference.c_str(), static_cast<mode_t>(w->modeAfter)) == 0, "chmod reference");
      struct stat before {}, after {};
      ASSERT_EQ(0, ::stat(holder.c_str(), &before));
      withoutProc = true;
      RunResult r = w->run(path);
      withoutProc = false;
      EXPECT_TRUE(r.exited(0)) << harness::describe(r);
      EXPECT_EQ(text, r.out + r.err);
      EXPECT_EQ(w->after, harness::readFile(holder));
      EXPECT_EQ(aclText(kAclReference), aclText(holder));
      EXPECT_EQ("kept", tagOf(holder));
      ASSERT_EQ(0, ::stat(holder.c_str(), &after));
      EXPECT_NE(before.st_ino, after.st_ino) << "a new file took the name and carries them";
    }
  }
}
