// Private world for one end-to-end test: its own mount and network namespace.
//
// Contract and calling order:
// 1. Create a Sandbox first in the test body (`Sandbox box;`), before any
//    server or thread: entering a mount namespace needs a single-threaded
//    process. Needs root; a failure throws std::runtime_error (the test fails).
// 2. Inside it: /tmp is a fresh empty tmpfs; /usr/sbin and /etc are writable
//    overlays (writes go to memory, the real disk is untouched); /lib/modules
//    (= /usr/lib/modules) is a fresh empty tmpfs; the product paths
//    /usr/sbin/tavrik, /usr/sbin/zelt, /usr/sbin/tavrik-orrin-console and
//    /etc/pelagent start absent. The only interface is `lo`, up, with a fresh
//    port space: nothing can reach an address outside 127.0.0.0/8.
// 3. Lay out files with writeFile/makeDirs/remove (only under writable
//    places; anything else throws), bind fake contents over read-only files
//    with bindFile (/proc/version, /proc/meminfo, /bin/netstat...), or make
//    another directory writable with makeWritable.
// 4. Start servers (servers.h) and run the tool (run.h, pty.h); child
//    processes inherit the namespaces.
// 5. Destroy servers before the Sandbox (declare them after it). The
//    destructor returns the process to the pristine private namespace, so
//    several tests in one gtest process each start clean: the namespaces are
//    entered once per process, and each Sandbox works in a fresh copy of the
//    mount namespace and a fresh network namespace.
// Only one Sandbox may exist at a time.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace harness {

class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // Writes `content` to `path` (creating missing parent directories, mode
  // 0755) and sets `mode`. An existing file or symbolic link at `path` is
  // replaced, never written through.
  void writeFile(const std::string& path, const std::string& content, mode_t mode = 0644);
  // mkdir -p, each new directory with `mode`.
  void makeDirs(const std::string& path, mode_t mode = 0755);
  // rm -rf (no error when absent).
  void remove(const std::string& path);
  // Symbolic link `path` -> `target` (parents created).
  void makeSymlink(const std::string& target, const std::string& path);

  // Makes `content` appear at `path`, an existing file anywhere (also
  // read-only ones such as /proc/version or /usr/bin/netstat), by a bind
  // mount of a private copy with `mode`. Binding the same path again
  // replaces the earlier content.
  void bindFile(const std::string& path, const std::string& content, mode_t mode = 0644);

  // Special files in writable places (parents created): a FIFO, a device
  // node (character device `major`:`minor`), a second name of an existing
  // file.
  void makeFifo(const std::string& path, mode_t mode = 0644);
  void makeCharDevice(const std::string& path, unsigned major, unsigned minor, mode_t mode = 0666);
  void makeHardLink(const std::string& existing, const std::string& path);

  // A small file system of its own at `dir` in a writable place (created
  // when missing): a tmpfs of `bytes` bytes. fillUp then takes all the room
  // left on it (a file "filler"), so the next write of data fails with
  // ENOSPC; makeReadOnly remounts it read-only.
  void mountSmallTmpfs(const std::string& dir, std::size_t bytes = 64 * 1024);
  void fillUp(const std::string& dir);
  void makeReadOnly(const std::string& dir);

  // Lays a writable overlay over an existing directory (e.g. /usr/bin).
  void makeWritable(const std::string& dir);

  // Lays out a fake kernel header tree at `dir`: each relative path of
  // `files` becomes an empty file (".config", "Makefile", "include/x.h"...).
  void makeTree(const std::string& dir, const std::vector<std::string>& files);

 private:
  void setUp();
  void returnToCwd() const;
  void mountOverlay(const std::string& dir);
  std::string stagePath(const std::string& name) const;
  void checkWritable(const std::string& path) const;

  int stageFd_ = -1;           // the hidden tmpfs holding overlay layers and bind sources
  int stageCount_ = 0;
  std::string cwd_;            // the test's working directory, kept across namespace changes
  std::vector<std::string> writable_;  // real paths under which writes are allowed
};

// The running kernel's release (uname -r). A namespace can't change it, so
// module trees under /lib/modules are laid out for this name.
std::string kernelRelease();
// The machine name (uname -m).
std::string machineName();

// What `ls -A /tmp` shows inside the sandbox ("a\nb\n", sorted), less the
// directories of a checkout or build under /tmp that the sandbox keeps
// visible: tests that check what the tool left in /tmp compare this.
std::string tmpListing();

// Reads a file whole ("" when it can't be read).
std::string readFile(const std::string& path);
bool pathPresent(const std::string& path);  // lstat succeeds

}  // namespace harness
