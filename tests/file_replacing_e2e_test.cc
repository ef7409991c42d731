// How the tool replaces its files when something goes wrong or another run
// writes at the same time, on the built tool in the sandbox, with the file
// shim (tests/shims/file_ops.cc) failing, pausing or logging the calls:
// failed writes and syncs, kills and signals in the middle of a write (and
// SIGKILL at every naming call of one, injected by strace), two runs at
// once, a copy that can't carry what the old file has, a path swapped
// between the look and the open, names of the writers' temporary form, and
// the syncs of the kept header package.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "setup/unique_fd.h"
#include "tests/harness/file_shim.h"
#include "tests/harness/fixtures.h"
#include "tests/harness/run.h"
#include "tests/harness/sandbox.h"
#include "tests/harness/tool.h"

using namespace harness;

namespace {

const std::string kConf = std::string(kWorkDir) + "/conf";
const std::string kKeys = kConf + "/server.allow";
constexpr mode_t kOldMode = 0640;
constexpr uid_t kUser = 1000;  // a user other than root, who owns conf/

std::string notice() { return "Attempting to set HTTP port for Halvard Console\n"; }

RunResult runWith(std::vector<std::string> args, const std::string& input = "") {
  return runTool(fileShimOptions(std::move(args), input));
}

// A full agent install whose key "manager" holds `old`, with a second name
// "second" for it when asked (so that it is written in place).
void layKey(Sandbox& box, const std::string& old, bool secondName, mode_t mode = kOldMode) {
  installProduct(box, Install::kFullAgent);
  box.writeFile(kKeys + "/manager", old, mode);
  if (secondName) box.makeHardLink(kKeys + "/manager", kKeys + "/second");
}

// The key from standard input stored as "manager", the shim in the tool
// with these settings for the files of the key directory.
RunResult storeKey(const std::string& key, EnvList shim) {
  return runTool(fileShimOptions({"--stdin-key", "--key-filename", "manager"}, key, shimEnv(kKeys, std::move(shim))));
}

// The tool as kUser (its own group, no others), the shim acting on conf/.
// A copy of a built file that every user may read and run: the build tree
// is only as open as the creation mask of whoever built it.
std::string openCopy(const std::string& built) {
  const std::string copy = "/tmp/as-user/" + built.substr(built.rfind('/') + 1);
  shell("mkdir -p -m 0755 /tmp/as-user && install -m 0755 " + shellQuote(built) + " " + shellQuote(copy));
  return copy;
}

RunResult runAsUser(const std::vector<std::string>& args, const std::string& input = "", EnvList shim = {}) {
  std::vector<std::string> all = {"--reuid", std::to_string(kUser), "--regid", std::to_string(kUser),
                                  "--clear-groups", openCopy(toolPath())};
  all.insert(all.end(), args.begin(), args.end());
  RunOptions options = fileShimOptions(all, input, shimEnv(kConf, std::move(shim)));
  for (auto& [name, value] : options.env)
    if (name == "LD_PRELOAD") value = openCopy(TAVRIK_NO_PAUSE_LIB) + ":" + openCopy(TAVRIK_FILE_OPS_LIB);
  return runProgram("setpriv", options);
}

struct stat statOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(0, ::stat(path.c_str(), &st)) << path;
  return st;
}

}  // namespace

// Two runs at once: the first holds the file from its read to its rename
// (paused by the shim just before its copy is synced); the second waits for
// the lock before it reads, then reads what the first wrote. Each run's
// whole content takes the file's place in turn, both report success, and
// nothing is lost or left behind.
TEST(TwoRunsAtOnce, EachReadModifyWriteTakesItsTurn) {
  struct Case {
    const char* name;
    std::string file;
    std::string before;
    std::vector<std::string> first, second;
    std::string firstText, secondText;
    std::string after;
    std::vector<std::string> listed;
  };
  const std::string httpsNotice = "Attempting to set HTTPS port for Halvard Console\n";
  const Case cases[] = {
      {"web settings", "web.properties", "http-port=80\nssl-port=443\n", {"--http-port", "81"}, {"--https-port", "444"},
       notice() + "Server HTTP Port set\n" + kManagerRestart, httpsNotice + "Server HTTPS Port set\n" + kManagerRestart,
       "http-enabled=true\nhttp-port=81\nhttp-max-connections=100\nssl-enabled=true\nssl-port=444\n"
       // (the second read the keystore line the first wrote: its line end
       // stays part of the value)
       "ssl-max-connections=100\nssl-keystore=/usr/sbin/tavrik/conf/keystore\n\n",
       {".port_set", "web.properties"}},
      {"maximum memory", "server.conf", "a=1\nmaxmemory=1024\nb=2\n", {"--set-max-mem", "256m"},
       {"--set-max-mem", "512m"}, "Server max memory set\n", "Server max memory set\n", "a=1\nmaxmemory=512\nb=2\n",
       {"server.conf"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    layManagerFiles(box);
    box.writeFile(kConf + "/" + c.file, c.before, kOldMode);
    ShimChannel channel(box);
    RunResult first, second;
    std::thread a([&] {
      first = harness::runTool(fileShimOptions(c.first, "", shimEnv(kConf, {{"TAVRIK_PAUSE_DIR", channel.dir()}})));
    });
    const bool paused = channel.awaitPause() != 0;
    EXPECT_TRUE(paused) << "the first run never reached its sync";
    std::thread b([&] {
      second = harness::runTool(fileShimOptions(c.second, "", shimEnv(kConf, {{"TAVRIK_LOCK_BUSY", channel.busyPath()}})));
    });
    EXPECT_TRUE(channel.awaitBusy()) << "the second run did not wait for the lock";
    EXPECT_TRUE(!paused || channel.release());
    a.join();
    b.join();
    EXPECT_TRUE(first.exited(0)) << harness::describe(first);
    EXPECT_EQ(c.firstText, first.out + first.err);
    EXPECT_TRUE(second.exited(0)) << harness::describe(second);
    EXPECT_EQ(c.secondText, second.out + second.err);
    EXPECT_EQ(c.after, harness::readFile(kConf + "/" + c.file));
    EXPECT_EQ(c.listed, listing(kConf));
  }
}

// A run killed while it writes a key (its copy whole but not yet in place)
// leaves the old key and no name in the key directory: the list shows the
// keys that were there.
TEST(KilledRun, LeavesTheOldKeyAndNoNameInTheKeyDirectory) {
  Sandbox box;
  const std::string& keys = kKeys;
  layKey(box, "OLD KEY\n", false, 0400);
  box.writeFile(keys + "/other", "OTHER KEY\n", 0400);
  ShimChannel channel(box);
  RunResult killed;
  std::thread run([&] { killed = storeKey("NEW KEY\n", {{"TAVRIK_PAUSE_DIR", channel.dir()}}); });
  pid_t pid = channel.awaitPause();
  EXPECT_NE(0, pid) << "the run never reached its sync";
  if (pid > 0) ::kill(pid, SIGKILL);
  run.join();
  EXPECT_EQ(SIGKILL, killed.signal) << harness::describe(killed);
  EXPECT_EQ("OLD KEY\n", harness::readFile(keys + "/manager"));
  EXPECT_EQ((std::vector<std::string>{"manager", "other"}), listing(keys));
  RunResult list = runWith({"--list-keys"});
  EXPECT_TRUE(list.exited(0)) << harness::describe(list);
  EXPECT_NE(std::string::npos, list.out.find("\n2 keys installed\n")) << list.out;
}

// A run sent SIGTERM while it rewrites a key in place (a second name; the
// shim pauses it at its first sync, after the part beyond the old end is
// written and before an old byte changes): the signal waits until the file
// holds the whole new key, then ends the run. Both names show one whole key,
// never the old one's start with the new one's end.
TEST(KilledRun, InPlaceRewriteEndsWholeUnderSigterm) {
  Sandbox box;
  const std::string& keys = kKeys;
  const std::string oldKey = "OLD\n", newKey = "A NEW AND LONGER KEY\n";
  layKey(box, oldKey, true);
  ShimChannel channel(box);
  RunResult killed;
  std::thread run([&] { killed = storeKey(newKey, {{"TAVRIK_PAUSE_DIR", channel.dir()}}); });
  pid_t pid = channel.awaitPause();
  EXPECT_NE(0, pid) << "the run never reached its sync";
  if (pid > 0) ::kill(pid, SIGTERM);
  EXPECT_TRUE(pid == 0 || channel.release());
  run.join();
  EXPECT_EQ(SIGTERM, killed.signal) << harness::describe(killed);
  for (const char* name : {"manager", "second"}) {
    const std::string now = harness::readFile(keys + "/" + name);
    EXPECT_TRUE(now == oldKey || now == newKey) << name << ": " << now;
  }
  EXPECT_EQ((std::vector<std::string>{"manager", "second"}), listing(keys));
}

// A sync that fails (the shim makes every sync of a file there fail with
// EIO) fails the write and keeps the old file whole, whether the new file
// was to be renamed into place or the file rewritten in place (a second
// name, and more new bytes than old: the part beyond the old end is synced
// before an old byte changes, and the length is put back).
TEST(FailedSync, KeepsTheOldFileAndIsReported) {
  const std::string& keys = kKeys;
  for (bool inPlace : {false, true}) {
    SCOPED_TRACE(inPlace ? "in place" : "renamed");
    Sandbox box;
    layKey(box, "OLD\n", inPlace);
    std::vector<std::string> names = {"manager"};
    if (inPlace) names.push_back("second");
    RunResult r = storeKey("NEW\nKEY\n", {{"TAVRIK_FAIL_FSYNC", "1"}});
    EXPECT_TRUE(r.exited(1)) << harness::describe(r);
    EXPECT_EQ("Failed to write outfile '" + keys + "/manager':Input/output error\nFailed to save key file\n",
              r.out + r.err);
    for (const std::string& name : names) EXPECT_EQ("OLD\n", harness::readFile(keys + "/" + name)) << name;
    EXPECT_EQ(names, listing(keys));
  }
}

// A rewrite in place whose new content fits in the old file needs no room
// first, so its only sync is the last one: the old bytes are overwritten by
// then, and a failure there must still be reported, not taken as success.
TEST(FailedSync, TheLastSyncOfARewriteInPlaceIsReported) {
  const std::string& keys = kKeys;
  Sandbox box;
  layKey(box, "A LONGER OLD KEY\n", true);
  RunResult r = storeKey("NEW\nKEY\n", {{"TAVRIK_FAIL_FSYNC", "1"}});
  EXPECT_TRUE(r.exited(1)) << harness::describe(r);
  EXPECT_EQ("Failed to write outfile '" + keys + "/manager':Input/output error\nFailed to save key file\n",
            r.out + r.err);
  EXPECT_EQ((std::vector<std::string>{"manager", "second"}), listing(keys));
}

// What makes a write durable, as the shim logs the tool's calls: the new
// file is synced before it is renamed into place and the directory after
// the rename; a file rewritten in place is synced after its last change.
TEST(Sync, EveryPlacementMakesTheNewContentDurable) {
  const std::string& keys = kKeys;
  for (bool inPlace : {false, true}) {
    SCOPED_TRACE(inPlace ? "in place" : "renamed");
    Sandbox box;
    layKey(box, inPlace ? "A LONGER OLD KEY\n" : "OLD\n", inPlace);
    const std::string log = "/tmp/ops.log";
    RunResult r = storeKey("NEW\nKEY\n", {{"TAVRIK_OPS_LOG", log}});
    EXPECT_TRUE(r.exited(0)) << harness::describe(r);
    EXPECT_EQ("NEW\nKEY\n", harness::readFile(keys + "/manager"));
    std::vector<std::string> lines;
    std::istringstream in(harness::readFile(log));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    auto findFrom = [&lines](std::size_t from, const std::function<bool(const std::string&)>& match) {
      for (std::size_t i = from; i < lines.size(); ++i)
        if (match(lines[i])) return i;
      return lines.size();
    };
    auto startsWith = [](const std::string& line, const std::string& prefix) { return line.rfind(prefix, 0) == 0; };
    const std::string target = keys + "/manager";
    std::string all;
    for (const std::string& l : lines) all += l + "\n";
    if (!inPlace) {
      std::size_t rename = findFrom(0, [&](const std::string& l) {
        return startsWith(l, "rename ") && l.size() > target.size() + 1 && l.compare(l.size() - target.size() - 1, std::string::npos, " " + target) == 0;
      });
      ASSERT_LT(rename, lines.size()) << all;
      std::size_t fileSync = findFrom(0, [&](const std::string& l) { return startsWith(l, "fsync " + keys + "/"); });
      EXPECT_LT(fileSync, rename) << "the new file is synced before the rename\n" << all;
      std::size_t dirSync = findFrom(rename, [&](const std::string& l) { return l == "fsync-dir " + keys; });
      EXPECT_LT(dirSync, lines.size()) << "the directory is synced after the rename\n" << all;
    } else {
      std::size_t lastChange = lines.size();
      for (std::size_t i = 0; i < lines.size(); ++i)
        if (startsWith(lines[i], "pwrite " + target + " ") || startsWith(lines[i], "ftruncate " + target + " "))
          lastChange = i;
      ASSERT_LT(lastChange, lines.size()) << all;
      std::size_t sync = findFrom(lastChange, [&](const std::string& l) { return l == "fsync " + target; });
      EXPECT_LT(sync, lines.size()) << "the file is synced after its last change\n" << all;
    }
  }
}

// A rewrite in place (the web settings with a second name) whose first or
// second pwrite fails: the part beyond the old end, then the old bytes.
// Either way the file ends as it was, length included, under both names.
TEST(FailedRewriteInPlace, LeavesTheOldContentAndLength) {
  const std::string props = kConf + "/web.properties", before = "ssl-port=443\n";
  for (const char* failing : {"1", "2"}) {
    SCOPED_TRACE(std::string("pwrite ") + failing + " fails");
    Sandbox box;
    layManagerFiles(box);
    box.writeFile(props, before, kOldMode);
    box.makeHardLink(props, kConf + "/second");
    RunResult r = runTool(fileShimOptions({"--https-port", "8443"}, "", shimEnv(kConf, {{"TAVRIK_PWRITE_FAIL", failing}})));
    EXPECT_TRUE(r.exited(1)) << describe(r);
    EXPECT_EQ("Attempting to set HTTPS port for Halvard Console\nFailed to set port for server\n", r.out + r.err);
    EXPECT_EQ(before, readFile(props));
    EXPECT_EQ(before, readFile(kConf + "/second"));
    EXPECT_EQ((std::vector<std::string>{"second", "web.properties"}), listing(kConf));
  }
}

// A second run's change that comes while the first run is between two of
// its writes of the agent's file: the second waits for the first run's
// lock (held from its read to its last write), then reads what the first
// wrote. All three settings are in the file.
TEST(TwoRunsAtOnce, AgentSettersOfTwoRunsAreAllKept) {
  Sandbox box;
  installProduct(box, Install::kFullAgent);
  const std::string config = kConf + "/agent_config";
  box.writeFile(config, "LocalPort=1 \nDebug=0\n", kOldMode);
  ShimChannel channel(box);
  RunResult first, second;
  std::thread a([&] {
    first = runTool(fileShimOptions({"--agent-bind-addr", "10.0.0.9", "--agent-port", "9000"}, "",
                                    shimEnv(kConf, {{"TAVRIK_PAUSE_DIR", channel.dir()},
                                                    {"TAVRIK_PAUSE_ON_TEXT", "Agent bind address set"}})));
  });
  const bool paused = channel.awaitPause() != 0;
  EXPECT_TRUE(paused) << "the first run never reached its second setting";
  std::thread b([&] {
    second = runTool(fileShimOptions({"--agent-debug", "true"}, "",
                                     shimEnv(kConf, {{"TAVRIK_LOCK_BUSY", channel.busyPath()}})));
  });
  EXPECT_TRUE(channel.awaitBusy()) << "the second run did not wait for the first one's lock";
  EXPECT_TRUE(!paused || channel.release());
  a.join();
  b.join();
  EXPECT_TRUE(first.exited(0)) << describe(first);
  EXPECT_EQ("Agent bind address set\nAgent port set\n", first.out + first.err);
  EXPECT_TRUE(second.exited(0)) << describe(second);
  EXPECT_EQ(std::string("Agent debug logging set\n") + kAgentRestart, second.out + second.err);
  EXPECT_EQ("LocalPort=9000 \nDebug=1\n\nBindTo=10.0.0.9\n", readFile(config));
  EXPECT_EQ("LocalPort=9000 \nDebug=0\nBindTo=10.0.0.9\n", readFile(config + ".bak"));
  EXPECT_EQ((std::vector<std::string>{"agent_config", "agent_config.bak"}), listing(kConf));
}

// Another process holding the lock past the bounded wait: the agent setter
// fails as a file it can't open fails, and nothing is written.
TEST(LockHeldElsewhere, TheAgentSetterFailsWithItsOwnText) {
  Sandbox box;
  installProduct(box, Install::kFullAgent);
  const std::string config = kConf + "/agent_config";
  box.writeFile(config, "LocalPort=1 \n", kOldMode);
  UniqueFd held(::open(kConf.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(held);
  ASSERT_EQ(0, ::flock(held.get(), LOCK_EX));
  RunOptions options = fileShimOptions({"--agent-port", "9000"});
  options.timeoutMs = 60000;
  const auto start = std::chrono::steady_clock::now();
  RunResult r = runTool(options);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(r.exited(1)) << describe(r);
  EXPECT_EQ("Could not open configuration file\nCould not read agent configuration file\nFailed to set agent port\n",
            r.out + r.err);
  EXPECT_GE(waited, std::chrono::seconds(29));
  EXPECT_EQ("LocalPort=1 \n", readFile(config));
  EXPECT_EQ(std::vector<std::string>{"agent_config"}, listing(kConf));
}

// A user other than root who owns conf/ and the file, whose group is root's:
// no new file of the user's can take that group, so the file is written in
// place and keeps it. The agent's backup is then a copy (also where the
// backup name was a second name of the file: the run never waits for its
// own lock); the maximum memory without a maxmemory line leaves its full
// copy behind, as it always has.
TEST(CopyCantCarryTheGroup, TheWriteSucceedsInPlace) {
  const std::string config = kConf + "/agent_config", conf = kConf + "/server.conf";
  for (bool linkedBackup : {false, true}) {
    SCOPED_TRACE(linkedBackup ? "backup already a second name" : "no backup yet");
    Sandbox box;
    installProduct(box, Install::kFullAgent);
    box.writeFile(config, "LocalPort=1 \n", 0644);
    ASSERT_EQ(0, ::chown(kConf.c_str(), kUser, kUser));
    ASSERT_EQ(0, ::chown(config.c_str(), kUser, 0));
    if (linkedBackup) box.makeHardLink(config, config + ".bak");
    const ino_t inode = statOf(config).st_ino;
    const auto start = std::chrono::steady_clock::now();
    RunResult r = runAsUser({"--agent-port", "9000"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_TRUE(r.exited(0)) << describe(r);
    EXPECT_EQ("Agent port set\n", r.out + r.err);
    EXPECT_EQ("LocalPort=9000 \n", readFile(config));
    struct stat st = statOf(config);
    EXPECT_EQ(inode, st.st_ino) << "written in place";
    EXPECT_EQ(kUser, st.st_uid);
    EXPECT_EQ(0u, st.st_gid);
    EXPECT_EQ(0644u, st.st_mode & 07777);
    EXPECT_EQ("LocalPort=1 \n", readFile(config + ".bak"));
    EXPECT_NE(inode, statOf(config + ".bak").st_ino) << "the backup is a copy";
    EXPECT_EQ((std::vector<std::string>{"agent_config", "agent_config.bak"}), listing(kConf));
  }
  Sandbox box;
  installProduct(box, Install::kManager);
  box.bindFile("/proc/meminfo", "MemTotal:        4096000 kB\n");
  box.writeFile(conf, "a=1\n", 0644);
  ASSERT_EQ(0, ::chown(kConf.c_str(), kUser, kUser));
  ASSERT_EQ(0, ::chown(conf.c_str(), kUser, 0));
  RunResult r = runAsUser({"--set-max-mem", "256m"});
  EXPECT_TRUE(r.exited(1)) << describe(r);
  EXPECT_EQ("Could not write to configuration file. Pattern not found in the file, current changes would not be "
            "saved\nFailed to set server max memory value\n",
            r.out + r.err);
  EXPECT_EQ("a=1\n", readFile(conf));
  EXPECT_EQ("a=1\n", readFile(conf + "_t"));
}

// A file of root's that the user who owns conf/ may read but not write: no
// copy can carry its owner and it can't be written in place, yet the rename
// and the new file that the renaming writers stand for would succeed. The
// write succeeds: the new file is the user's and takes only the owner's bits
// of the old mode, the old content stays under the backup name (the agent's)
// or nowhere (the maximum memory), and no other name is left.
TEST(CopyCantCarryTheOwner, TheRenamingWritersReplaceAFileTheyCantWrite) {
  struct Case {
    const char* name;
    Install install;
    std::string file, before, after;
    std::vector<std::string> args;
    std::string text;
    std::vector<std::string> listed;
  };
  const Case cases[] = {
      {"agent port", Install::kFullAgent, "agent_config", "LocalPort=1 \nBindTo=x\n", "LocalPort=9000 \nBindTo=x\n",
       {"--agent-port", "9000"}, "Agent port set\n", {"agent_config", "agent_config.bak"}},
      {"maximum memory", Install::kManager, "server.conf", "a=1\nmaxmemory=1024\n", "a=1\nmaxmemory=256\n",
       {"--set-max-mem", "256m"}, "Server max memory set\n", {"server.conf"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    installProduct(box, c.install);
    box.bindFile("/proc/meminfo", "MemTotal:        4096000 kB\n");
    const std::string path = kConf + "/" + c.file;
    box.writeFile(path, c.before, 0644);
    ASSERT_EQ(0, ::chown(kConf.c_str(), kUser, kUser));
    ASSERT_EQ(0, ::chown(path.c_str(), 0, 0));
    RunResult r = runAsUser(c.args);
    EXPECT_TRUE(r.exited(0)) << describe(r);
    EXPECT_EQ(c.text, r.out + r.err);
    EXPECT_EQ(c.after, readFile(path));
    struct stat st = statOf(path);
    EXPECT_EQ(kUser, st.st_uid);
    EXPECT_EQ(kUser, st.st_gid);
    EXPECT_EQ(0600u, st.st_mode & 07777);
    if (c.listed.size() > 1) {
      EXPECT_EQ(c.before, readFile(path + ".bak"));
    }
    EXPECT_EQ(c.listed, listing(kConf));
  }
}

// Directories of root's that the user may search but not list: the writers
// succeed wherever the user's own open, rename or new file would, in place
// (0711, a file of the user's) or by a new file (0733: a key, the agent's
// file and its backup). No lock can be had on such a directory; the write
// goes on without one.
TEST(UnreadableDirectory, WritersSucceedWhereTheirOwnOpenWould) {
  struct Case {
    const char* name;
    std::string dir;
    mode_t dirMode;
    std::vector<std::string> args;
    std::string input, text, file, after, backup;
  };
  const std::string keys = kConf + "/server.allow";
  const Case cases[] = {
      {"web settings in place", kConf, 0711, {"--http-port", "81"}, "",
       notice() + "Server HTTP Port set\n" + kManagerRestart, "web.properties", "", ""},
      {"a new key", keys, 0733, {"--stdin-key", "--key-filename", "manager"}, "KEY\n",
       "Key 'manager' successfully installed.\n", "server.allow/manager", "KEY\n", ""},
      {"the agent's file", kConf, 0733, {"--agent-port", "9000"}, "", "Agent port set\n", "agent_config",
       "LocalPort=9000 \n", "LocalPort=1 \n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    layManagerFiles(box);
    installProduct(box, Install::kFullAgent);
    box.makeDirs(keys);
    for (const char* name : {"web.properties", ".port_set", "agent_config"}) {
      box.writeFile(kConf + "/" + name, std::string(name) == "agent_config" ? "LocalPort=1 \n" : "", 0644);
      ASSERT_EQ(0, ::chown((kConf + "/" + name).c_str(), kUser, kUser));
    }
    ASSERT_EQ(0, ::chmod(c.dir.c_str(), c.dirMode));
    RunResult r = runAsUser(c.args, c.input);
    EXPECT_TRUE(r.exited(0)) << describe(r);
    EXPECT_EQ(c.text, r.out + r.err);
    const std::string now = readFile(kConf + "/" + c.file);
    if (c.after.empty()) {
      EXPECT_NE(std::string::npos, now.find("http-port=81\n")) << now;
    } else {
      EXPECT_EQ(c.after, now);
    }
    if (!c.backup.empty()) {
      EXPECT_EQ(c.backup, readFile(kConf + "/" + c.file + ".bak"));
    }
  }
}

// A backup name that already is a second name of the agent's file keeps the
// old file as it is: nothing made beside it, nothing left.
TEST(Backup, AlreadyASecondNameLeavesNoOtherName) {
  Sandbox box;
  installProduct(box, Install::kFullAgent);
  const std::string config = kConf + "/agent_config";
  box.writeFile(config, "LocalPort=1 \n", kOldMode);
  box.makeHardLink(config, config + ".bak");
  RunResult r = runWith({"--agent-port", "9000"});
  EXPECT_TRUE(r.exited(0)) << describe(r);
  EXPECT_EQ("LocalPort=9000 \n", readFile(config));
  EXPECT_EQ("LocalPort=1 \n", readFile(config + ".bak"));
  EXPECT_EQ((std::vector<std::string>{"agent_config", "agent_config.bak"}), listing(kConf));
}

// Without unnamed files, the copy has a name while it is made: a SIGTERM
// while it is synced acts only once the copy is in place, so no name is
// left behind and the key is whole.
TEST(KilledRun, NamedCopyLeavesNoNameUnderSigterm) {
  Sandbox box;
  layKey(box, "OLD KEY\n", false);
  ShimChannel channel(box);
  RunResult killed;
  std::thread run([&] {
    killed = storeKey("NEW KEY\n", {{"TAVRIK_PAUSE_DIR", channel.dir()}, {"TAVRIK_NO_TMPFILE", "1"}});
  });
  pid_t pid = channel.awaitPause();
  EXPECT_NE(0, pid) << "the run never reached its sync";
  if (pid > 0) ::kill(pid, SIGTERM);
  EXPECT_TRUE(pid == 0 || channel.release());
  run.join();
  EXPECT_EQ(SIGTERM, killed.signal) << describe(killed);
  const std::string now = readFile(kKeys + "/manager");
  EXPECT_TRUE(now == "OLD KEY\n" || now == "NEW KEY\n") << now;
  EXPECT_EQ(std::vector<std::string>{"manager"}, listing(kKeys));
}

// The whole mode, set-id and sticky bits included, stays with the file a
// copy replaces.
TEST(WholeMode, SetIdAndStickyBitsAreKept) {
  struct Case {
    const char* file;
    mode_t mode;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"web.properties", 07750, {"--http-port", "81"}},
      {"agent_config", 02755, {"--agent-port", "9000"}},
      {"server.conf", 04640, {"--set-max-mem", "256m"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    Sandbox box;
    layManagerFiles(box);
    installProduct(box, Install::kFullAgent);
    const std::string path = kConf + "/" + c.file;
    box.writeFile(path, "maxmemory=1024\n", c.mode);
    ASSERT_EQ(0, ::chmod(path.c_str(), c.mode));
    RunResult r = runWith(c.args);
    EXPECT_TRUE(r.exited(0)) << describe(r);
    EXPECT_EQ(c.mode, modeOf(path));
  }
}

// Inode flags (chattr +S +d +A on ext4) stay with the file: a copy takes
// them, and where it can't (setting them fails) the file is written in
// place and keeps its own.
TEST(InodeFlags, StayWithTheFile) {
  for (bool refused : {false, true}) {
    SCOPED_TRACE(refused ? "a copy can't take them" : "a copy takes them");
    Sandbox box;
    layManagerFiles(box);
    box.makeDirs("/tmp/images");
    int status = -1;
    shell("truncate -s 4M /tmp/images/ext4.img && mkfs.ext4 -q -F /tmp/images/ext4.img && mount -o loop "
          "/tmp/images/ext4.img " + kConf + " && rmdir " + kConf + "/lost+found",
          &status);
    ASSERT_EQ(0, status);
    const std::string props = kConf + "/web.properties";
    box.writeFile(props, "http-port=80\n", kOldMode);
    shell("chattr +S +d +A " + props, &status);
    ASSERT_EQ(0, status);
    const std::string flags = shell("lsattr -d " + props + " | cut -d' ' -f1");
    const ino_t inode = statOf(props).st_ino;
    EnvList shim;
    if (refused) shim.push_back({"TAVRIK_SETFLAGS_FAIL", "1"});
    RunResult r = runTool(fileShimOptions({"--http-port", "81"}, "", shimEnv(kConf, shim)));
    EXPECT_TRUE(r.exited(0)) << describe(r);
    EXPECT_NE(std::string::npos, readFile(props).find("http-port=81\n"));
    EXPECT_EQ(flags, shell("lsattr -d " + props + " | cut -d' ' -f1"));
    EXPECT_EQ(refused, inode == statOf(props).st_ino) << "written in place only where a copy can't take them";
    EXPECT_EQ((std::vector<std::string>{".port_set", "web.properties"}), listing(kConf));
  }
}

// A write of the credentials that fails leaves the file as it was, mode
// included, and no marker: for want of room (a full tmpfs), or at the last
// sync of a rewrite in place that was complete (a second name; the new
// content fits in the old file).
TEST(FailedCredentials, LeaveTheFileAsItWasModeIncluded) {
  const std::string creds = kConf + "/adminreset.properties";
  const std::string failed = "Failed to write outfile '" + creds + "':";
  struct Case {
    const char* name;
    std::string before, password, error;
    EnvList shim;
  };
  const Case cases[] = {
      {"full", "admin.user=old\nadmin.pass=old\n", std::string(6000, 'p'), "No space left on device", {}},
      {"last sync", "admin.user=old\nadmin.pass=a-longer-old-password\n", "new", "Input/output error",
       {{"TAVRIK_FAIL_FSYNC", "1"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    layManagerFiles(box);
    const bool full = c.shim.empty();
    if (full) box.mountSmallTmpfs(kConf);
    box.writeFile(creds, c.before, 0644);
    if (full) {
      box.fillUp(kConf);
    } else {
      box.makeHardLink(creds, kConf + "/second");
    }
    RunResult r = runTool(fileShimOptions({"--user", "u", "--pass", c.password}, "", shimEnv(kConf, c.shim)));
    EXPECT_TRUE(r.exited(1)) << describe(r);
    EXPECT_EQ(failed + c.error + "\nFailed to set username and password\n", r.out + r.err);
    EXPECT_EQ(c.before, readFile(creds));
    EXPECT_EQ(0644u, modeOf(creds));
    EXPECT_FALSE(pathPresent(kConf + "/.user_set"));
  }
}

// The key's path swapped for a link to /dev/null right after the tool
// looked at it: the device is refused, and nothing but a regular file is
// ever opened for writing.
TEST(SwappedPath, NothingButARegularFileIsOpenedForWriting) {
  Sandbox box;
  layKey(box, "OLD KEY\n", false);
  const std::string key = kKeys + "/manager", log = "/tmp/ops.log";
  RunResult r = storeKey("NEW KEY\n", {{"TAVRIK_SWAP_AFTER_LOOK", key + "=/dev/null"}, {"TAVRIK_OPS_LOG", log}});
  EXPECT_TRUE(r.exited(1)) << describe(r);
  EXPECT_EQ("Failed to open outfile '" + key + "':Invalid argument\nFailed to save key file\n", r.out + r.err);
  EXPECT_EQ(std::string::npos, readFile(log).find("open-for-writing")) << readFile(log);
  EXPECT_EQ("", readFile("/dev/null"));
}

namespace {

// A system call of a run that makes or changes a name or makes data
// durable, as `strace -f` lists it: its name and its number among the calls
// of that name, which is how strace counts for `when=`.
struct CallPoint {
  std::string call;
  int nth;
  std::string line;
};

std::vector<CallPoint> namingCalls(const std::string& trace) {
  std::vector<CallPoint> points;
  std::map<std::string, int> seen;
  std::istringstream in(trace);
  for (std::string line; std::getline(in, line);) {
    // "<pid> <call>(...", the pid padded with blanks to a width of its own.
    const std::size_t start = line.find_first_not_of(' ', line.find(' ')), paren = line.find('(');
    if (start == std::string::npos || paren == std::string::npos || paren < start) continue;
    const std::string call = line.substr(start, paren - start);
    const int nth = ++seen[call];
    const bool makes = call == "openat" && (line.find("O_TMPFILE") != std::string::npos ||
                                            line.find("O_CREAT") != std::string::npos);
    if (makes || call == "linkat" || call == "renameat" || call == "renameat2" || call == "unlinkat" ||
        call == "fsync" || call == "exit_group")
      points.push_back({call, nth, line});
  }
  return points;
}

// The tool under strace with these strace options before it; the shims go
// into the tool alone.
RunResult underStrace(std::vector<std::string> strace, const std::vector<std::string>& args,
                      const std::string& input, EnvList shim) {
  RunOptions options = fileShimOptions(args, input, std::move(shim));
  for (auto it = options.env.begin(); it != options.env.end();) {
    if (it->first != "LD_PRELOAD") {
      ++it;
      continue;
    }
    strace.insert(strace.end(), {"-E", "LD_PRELOAD=" + it->second});
    it = options.env.erase(it);
  }
  strace.push_back(toolPath());
  strace.insert(strace.end(), args.begin(), args.end());
  options.args = std::move(strace);
  return runProgram("strace", options);
}

bool temporaryName(const std::string& name) {
  if (name.size() != 14 || name.compare(0, 8, ".tavrik-") != 0) return false;
  return std::all_of(name.begin() + 8, name.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
}

}  // namespace

// Killed with SIGKILL before each call of its write that makes or changes a
// name or syncs (found from a first traced run: the copy's making, linking
// and renaming, the backup's second name, the syncs, the exit): the file
// holds its old content or the new, whole; names the run may add stand as a
// whole file or not at all; a temporary name may stay, but the key list
// never counts it, and the next run that writes there removes it. A new key
// with unnamed files takes its name directly: no kill leaves a name there.
TEST(KilledRun, AtEveryNamingCallLeavesOldOrNewAndNoNameTheNextRunKeeps) {
  struct Case {
    const char* name;
    Install install;
    std::string dir, file, before, after;
    std::vector<std::pair<std::string, std::string>> others;  // laid beside it, unchanged
    std::vector<std::string> args;
    std::string input;
    EnvList shim;
    std::string added;  // a name the run adds beside it (a backup, a copy), or ""
    std::string addedBefore;  // what stands there before the run, or ""
    bool keys;                // the list counts the files there
    bool neverAStray;
  };
  const EnvList noTmpfile = {{"TAVRIK_NO_TMPFILE", "1"}};
  const std::vector<std::string> storeArgs = {"--stdin-key", "--key-filename", "manager"};
  const std::vector<std::string> portArgs = {"--agent-port", "9000"};
  const Case cases[] = {
      {"a key replaced", Install::kFullAgent, kKeys, "manager", "OLD KEY\n", "NEW KEY\n",
       {{"other", "OTHER KEY\n"}}, storeArgs, "NEW KEY\n", {}, "", "", true, false},
      {"a key replaced, no unnamed files", Install::kFullAgent, kKeys, "manager", "OLD KEY\n", "NEW KEY\n",
       {{"other", "OTHER KEY\n"}}, storeArgs, "NEW KEY\n", noTmpfile, "", "", true, false},
      {"a new key", Install::kFullAgent, kKeys, "manager", "", "NEW KEY\n", {{"other", "OTHER KEY\n"}},
       storeArgs, "NEW KEY\n", {}, "", "", true, true},
      {"the agent's port", Install::kFullAgent, kConf, "agent_config", "LocalPort=1 \n", "LocalPort=9000 \n", {},
       portArgs, "", {}, "agent_config.bak", "", false, false},
      {"the agent's port over an older backup", Install::kFullAgent, kConf, "agent_config", "LocalPort=1 \n",
       "LocalPort=9000 \n", {}, portArgs, "", {}, "agent_config.bak", "LocalPort=0 \n", false, false},
      {"the agent's port over an older backup, no unnamed files", Install::kFullAgent, kConf, "agent_config",
       "LocalPort=1 \n", "LocalPort=9000 \n", {}, portArgs, "", noTmpfile, "agent_config.bak", "LocalPort=0 \n",
       false, false},
      {"the maximum memory", Install::kManager, kConf, "server.conf", "maxmemory=1024\n", "maxmemory=256\n", {},
       {"--set-max-mem", "256m"}, "", {}, "server.conf_t", "", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    installProduct(box, c.install);
    box.bindFile("/proc/meminfo", "MemTotal:        4096000 kB\n");
    box.makeDirs(c.dir);
    const std::string path = c.dir + "/" + c.file;
    const EnvList shim = shimEnv(c.dir, c.shim);
    auto lay = [&] {
      for (const std::string& name : listing(c.dir)) box.remove(c.dir + "/" + name);
      if (!c.before.empty()) box.writeFile(path, c.before, kOldMode);
      for (const auto& [name, content] : c.others) box.writeFile(c.dir + "/" + name, content, 0400);
      if (!c.addedBefore.empty()) box.writeFile(c.dir + "/" + c.added, c.addedBefore, kOldMode);
    };
    std::vector<std::string> steady = {c.file};
    for (const auto& other : c.others) steady.push_back(other.first);
    std::sort(steady.begin(), steady.end());

    lay();
    const std::string trace = "/tmp/trace";
    RunResult traced = underStrace({"-f", "-o", trace}, c.args, c.input, shim);
    ASSERT_TRUE(traced.exited(0)) << describe(traced);
    const std::vector<CallPoint> points = namingCalls(readFile(trace));
    ASSERT_GE(points.size(), 3u) << readFile(trace);
    int strays = 0;
    for (const CallPoint& point : points) {
      SCOPED_TRACE("killed before " + point.line);
      lay();
      RunResult killed = underStrace(
          {"-f", "-o", "/dev/null", "-e", "inject=" + point.call + ":signal=KILL:when=" + std::to_string(point.nth)},
          c.args, c.input, shim);
      EXPECT_EQ(SIGKILL, killed.signal) << describe(killed);
      std::vector<std::string> names, left;
      for (const std::string& name : listing(c.dir)) (temporaryName(name) ? left : names).push_back(name);
      strays += static_cast<int>(left.size());
      const bool there = pathPresent(path);
      const std::string now = readFile(path);
      EXPECT_TRUE((there && (now == c.before || now == c.after)) || (!there && c.before.empty())) << now;
      for (const std::string& name : names) {
        EXPECT_TRUE(name == c.added || std::find(steady.begin(), steady.end(), name) != steady.end()) << name;
      }
      if (!c.added.empty() && pathPresent(c.dir + "/" + c.added)) {
        // A backup is the old file or the older one; the maximum memory's
        // copy, left by a killed run, may be anything.
        const std::string added = readFile(c.dir + "/" + c.added);
        EXPECT_TRUE(c.added == "server.conf_t" || added == c.before || added == c.addedBefore) << added;
      }
      for (const auto& [name, content] : c.others) EXPECT_EQ(content, readFile(c.dir + "/" + name)) << name;
      if (c.keys) {
        RunResult list = runWith({"--list-keys"});
        EXPECT_TRUE(list.exited(0)) << describe(list);
        EXPECT_NE(std::string::npos, list.out.find("\n" + std::to_string(names.size()) + " keys installed\n"))
            << list.out;
        for (const std::string& name : left) EXPECT_EQ(std::string::npos, list.out.find(name)) << list.out;
      }
      RunResult next = runTool(fileShimOptions(c.args, c.input, shim));
      EXPECT_TRUE(next.exited(0)) << describe(next);
      EXPECT_EQ(c.after, readFile(path));
      std::vector<std::string> after;
      for (const std::string& name : listing(c.dir))
        if (name != c.added) after.push_back(name);
      EXPECT_EQ(steady, after) << "the next run leaves only the files";
    }
    if (c.neverAStray) {
      EXPECT_EQ(0, strays) << "a name was left where nothing stood";
    }
  }
}

namespace {

const char kBuildHost[] = "build.example.test";

// A header-package run that keeps the package at `target`.
RunResult keepPackage(Sandbox& box, const std::string& target, EnvList shim = {}) {
  box.makeTree("/tmp/hdr", {".config", "Makefile", "include/linux/a.h"});
  return runTool(fileShimOptions(
      {"--kernel-dir", "/tmp/hdr", "--force-update", "--silent", "--host", kBuildHost, "--tarball-only", target}, "",
      std::move(shim)));
}

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

// No name a user gives becomes one of the writers' temporary names, which a
// later run would remove: a key name of that form is refused as an invalid
// name (stored, removed or listed), a package name as the file it can't
// open (and the file that stands there stays), a key link that leads to
// such a name as well (nothing is made there). A working directory of that form, and a link to it, are no files
// of the writers': runs that write beside them leave them.
TEST(TemporaryNames, NoNameAUserGivesIsTakenForOne) {
  const std::string temp = ".tavrik-abc123";
  {
    SCOPED_TRACE("a key name");
    Sandbox box;
    installProduct(box, Install::kFullAgent);
    box.writeFile(kKeys + "/" + temp, "LEFT BY A KILLED RUN\n", 0600);
    RunResult store = runWith({"--stdin-key", "--key-filename", temp}, "KEY\n");
    EXPECT_TRUE(store.exited(1)) << describe(store);
    EXPECT_EQ("Invalid key name '" + temp + "'\nFailed to save key file\n", store.out + store.err);
    RunResult remove = runWith({"--remove-key", temp});
    EXPECT_TRUE(remove.exited(1)) << describe(remove);
    EXPECT_EQ("Invalid key name '" + temp + "'\nFailed to delete key.\n", remove.out + remove.err);
    EXPECT_EQ("LEFT BY A KILLED RUN\n", readFile(kKeys + "/" + temp));
    RunResult list = runWith({"--list-keys"});
    EXPECT_TRUE(list.exited(0)) << describe(list);
    EXPECT_EQ("Installed keys:\n0 keys installed\n", list.out + list.err);
  }
  {
    SCOPED_TRACE("a key link to such a name");
    Sandbox box;
    installProduct(box, Install::kFullAgent);
    box.makeDirs("/tmp/elsewhere");
    box.makeSymlink("/tmp/elsewhere/" + temp, kKeys + "/manager");
    RunResult r = storeKey("KEY\n", {});
    EXPECT_TRUE(r.exited(1)) << describe(r);
    EXPECT_EQ("Failed to open outfile '" + kKeys + "/manager':Invalid argument\nFailed to save key file\n",
              r.out + r.err);
    EXPECT_EQ(std::vector<std::string>{}, listing("/tmp/elsewhere"));
  }
  {
    SCOPED_TRACE("a package name");
    Sandbox box;
    layAgentFiles(box, kBuildHost);
    box.makeDirs("/tmp/out");
    RunResult r = keepPackage(box, "/tmp/out/" + temp);
    EXPECT_TRUE(r.exited(0)) << describe(r);
    EXPECT_TRUE(endsWith(r.out, "Couldnt open file '/tmp/out/" + temp + "': 'Invalid argument'\n")) << r.out;
    EXPECT_EQ(std::vector<std::string>{}, listing("/tmp/out"));
  }
  {
    // Refused before the directory is locked: taking the lock would remove
    // the very file the user named.
    SCOPED_TRACE("a package name where a file of that name stands");
    Sandbox box;
    layAgentFiles(box, kBuildHost);
    box.writeFile("/tmp/out/" + temp, "MINE\n", 0644);
    RunResult r = keepPackage(box, "/tmp/out/" + temp);
    EXPECT_TRUE(r.exited(0)) << describe(r);
    EXPECT_TRUE(endsWith(r.out, "Couldnt open file '/tmp/out/" + temp + "': 'Invalid argument'\n")) << r.out;
    EXPECT_EQ("MINE\n", readFile("/tmp/out/" + temp));
  }
  {
    SCOPED_TRACE("a working directory");
    Sandbox box;
    layAgentFiles(box, kBuildHost);
    const std::string work = "/tmp/" + temp, link = "/tmp/.tavrik-link12";
    box.writeFile(work + "/conf/agent_config", "LocalPort=1 \n", kOldMode);
    box.makeSymlink(work, link);
    RunResult port = runWith({"--dev-test-paths", link, "--agent-port", "9000"});
    EXPECT_TRUE(port.exited(0)) << describe(port);
    EXPECT_EQ("LocalPort=9000 \n", readFile(work + "/conf/agent_config"));
    // The package is kept in /tmp, beside them and beside what a killed run
    // left, which goes.
    box.writeFile("/tmp/.tavrik-zzzzzz", "LEFT BY A KILLED RUN\n", 0600);
    RunResult package = keepPackage(box, "/tmp/headers.tgz");
    EXPECT_TRUE(package.exited(0)) << describe(package);
    EXPECT_TRUE(pathPresent("/tmp/headers.tgz"));
    EXPECT_FALSE(pathPresent("/tmp/.tavrik-zzzzzz"));
    EXPECT_EQ("LocalPort=9000 \n", readFile(link + "/conf/agent_config"));
  }
}

// The kept package, on the package's own file system (renamed from where it
// was made) or another one (copied): whole and synced before it takes its
// name, over an older package or where nothing stood, and the directory
// synced after, as the shim logs the tool's calls. The run reports it saved
// only then, and leaves nothing else beside it.
TEST(Sync, TheKeptPackageIsDurableOnEitherFileSystem) {
  const std::string out = "/tmp/out", target = out + "/headers.tgz", log = "/tmp/ops.log";
  for (bool otherFs : {false, true}) {
    for (bool older : {false, true}) {
      SCOPED_TRACE(std::string(otherFs ? "another file system" : "the same file system") +
                   (older ? ", over an older package" : ", nothing there"));
      Sandbox box;
      layAgentFiles(box, kBuildHost);
      if (otherFs) box.mountSmallTmpfs(out, 1 << 20);
      box.makeDirs(out);
      if (older) box.writeFile(target, "OLDER PACKAGE", kOldMode);
      RunResult r = keepPackage(box, target, shimEnv("/tmp", {{"TAVRIK_OPS_LOG", log}}));
      EXPECT_TRUE(r.exited(0)) << describe(r);
      EXPECT_TRUE(endsWith(r.out, "After it is complete, you will need to copy the module to /lib/modules/tavrik\n"))
          << r.out;
      EXPECT_EQ(0, readFile(target).compare(0, 2, "\x1f\x8b")) << "a gzip package";
      EXPECT_EQ(std::vector<std::string>{"headers.tgz"}, listing(out));
      std::vector<std::string> lines;
      std::istringstream in(readFile(log));
      for (std::string line; std::getline(in, line);) lines.push_back(line);
      std::string all;
      for (const std::string& l : lines) all += l + "\n";
      // The call that gives the target its name, and what it names.
      std::size_t named = lines.size();
      for (std::size_t i = 0; i < lines.size(); ++i)
        if (endsWith(lines[i], " " + target) && (lines[i].rfind("rename ", 0) == 0 || lines[i] == "link " + target))
          named = i;
      ASSERT_LT(named, lines.size()) << all;
      const std::string from = lines[named].rfind("rename ", 0) == 0
                                   ? lines[named].substr(7, lines[named].size() - 8 - target.size())
                                   : "(unnamed)";
      EXPECT_EQ(!otherFs, from.rfind("/tmp/tavrik-kestrin.", 0) == 0) << "renamed from where it was made: " << from;
      std::size_t synced = lines.size();
      for (std::size_t i = 0; i < named; ++i)
        if (lines[i].rfind("fsync ", 0) == 0 && (lines[i] == "fsync " + from || lines[i].rfind("fsync " + out + "/", 0) == 0))
          synced = i;
      EXPECT_LT(synced, named) << "the package is synced before it takes the name\n" << all;
      bool dirSynced = false;
      for (std::size_t i = named; i < lines.size(); ++i) dirSynced = dirSynced || lines[i] == "fsync-dir " + out;
      EXPECT_TRUE(dirSynced) << "the directory is synced after\n" << all;
    }
  }
}
