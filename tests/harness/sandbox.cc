#include "tests/harness/sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "setup/unique_fd.h"

namespace harness {
namespace {

Sandbox* g_active = nullptr;
int g_baseNs = -1;                        // the private mount namespace every Sandbox copies afresh
std::vector<std::string> g_keptUnderTmp;  // names directly under /tmp kept visible

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error("sandbox: " + what + ": " + std::strerror(errno));
}

void check(int rc, const std::string& what) {
  if (rc != 0) fail(what);
}

// Enters, once per process, a mount namespace whose mounts no longer
// propagate to the machine; later Sandboxes copy it afresh.
void enterBaseNamespace() {
  if (g_baseNs >= 0) return;
  if (::geteuid() != 0) {
    errno = EPERM;
    fail("end-to-end tests need root");
  }
  check(::unshare(CLONE_NEWNS), "unshare(CLONE_NEWNS)");
  check(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), "make / private");
  g_baseNs = ::open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
  if (g_baseNs < 0) fail("open /proc/self/ns/mnt");
}

void bringLoopbackUp() {
  UniqueFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!s) fail("socket");
  struct ifreq ifr;
  std::memset(&ifr, 0, sizeof ifr);
  std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  check(::ioctl(s.get(), SIOCGIFFLAGS, &ifr), "SIOCGIFFLAGS lo");
  ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
  check(::ioctl(s.get(), SIOCSIFFLAGS, &ifr), "SIOCSIFFLAGS lo");
}

std::string realPath(const std::string& path) {
  char buf[PATH_MAX];
  if (!::realpath(path.c_str(), buf)) return std::string();
  return buf;
}

std::string parentOf(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool under(const std::string& path, const std::string& root) {
  return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                          path[root.size()] == '/');
}

void removeTree(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return;
    fail("lstat " + path);
  }
  if (S_ISDIR(st.st_mode)) {
    std::vector<std::string> names;
    {
      UniqueDir dir(::opendir(path.c_str()));
      if (!dir) fail("opendir " + path);
      while (struct dirent* e = ::readdir(dir.get())) {
        std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
      }
    }
    for (const auto& name : names) removeTree(path + "/" + name);
    check(::rmdir(path.c_str()), "rmdir " + path);
  } else {
    check(::unlink(path.c_str()), "unlink " + path);
  }
}

// The writable-place check resolves only the part of a path that exists: a
// ".." after a missing directory (or as the last name of a path to remove)
// would climb out of a writable place unseen.
void refuseDotDot(const std::string& path) {
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (path.compare(start, end - start, "..") == 0) {
      errno = EINVAL;
      fail("path must not contain \"..\": " + path);
    }
    start = end + 1;
  }
}

// The top directories under /tmp that hold the sources, the build and the
// test's working directory (a checkout may well live under /tmp): the fresh
// /tmp of a sandbox must still show them.
std::vector<std::string> treesUnderTmp(const std::string& cwd) {
  std::vector<std::string> tops;
  std::string build = TAVRIK_SETUP_BIN;
  build = build.substr(0, build.rfind('/'));
  for (const std::string& p : {std::string(TAVRIK_SOURCE_DIR), build, cwd}) {
    std::string real = realPath(p);
    if (real.compare(0, 5, "/tmp/") != 0) continue;
    std::string top = real.substr(0, real.find('/', 5));
    bool known = false;
    for (const std::string& t : tops) known = known || t == top;
    if (!known) tops.push_back(top);
  }
  return tops;
}

}  // namespace

Sandbox::Sandbox() {
  if (g_active) {
    errno = EBUSY;
    fail("only one Sandbox at a time");
  }
  std::signal(SIGPIPE, SIG_IGN);  // a peer that goes away must not kill the test
  // Entering a mount namespace moves the process to its root directory; the
  // test keeps its working directory.
  char cwd[PATH_MAX];
  if (::getcwd(cwd, sizeof cwd)) cwd_ = cwd;
  enterBaseNamespace();
  check(::setns(g_baseNs, CLONE_NEWNS), "setns to the base namespace");
  check(::unshare(CLONE_NEWNS | CLONE_NEWNET), "unshare(CLONE_NEWNS|CLONE_NEWNET)");
  returnToCwd();
  bringLoopbackUp();

  try {
    setUp();
  } catch (...) {
    // No destructor runs for a half-built Sandbox: leave its namespace now.
    if (stageFd_ >= 0) ::close(stageFd_);
    g_active = nullptr;
    if (::setns(g_baseNs, CLONE_NEWNS) == 0) returnToCwd();
    throw;
  }
}

void Sandbox::setUp() {
  std::vector<std::string> keep = treesUnderTmp(cwd_);
  std::vector<UniqueFd> keepFds;
  for (const std::string& top : keep) {
    keepFds.emplace_back(::open(top.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!keepFds.back()) fail("open " + top);
  }
  // The stage is a tmpfs first mounted on /tmp, kept open by descriptor and
  // then hidden under the test's own /tmp, so neither the tool nor a test
  // listing /tmp sees the overlay layers and bind sources.
  check(::mount("tmpfs", "/tmp", "tmpfs", 0, "mode=0700"), "mount stage tmpfs");
  stageFd_ = ::open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (stageFd_ < 0) fail("open stage");
  g_active = this;

  const std::string libDir = realPath("/lib");  // /lib is a link to usr/lib here
  if (libDir.empty()) fail("realpath /lib");
  const std::string modulesDir = libDir + "/modules";
  mountOverlay("/usr/sbin");
  mountOverlay("/etc");
  if (!pathPresent(modulesDir)) {
    // Only inside the overlay: the real disk gains no directory.
    mountOverlay(libDir);
    check(::mkdir(modulesDir.c_str(), 0755), "mkdir " + modulesDir);
  }
  check(::mount("tmpfs", modulesDir.c_str(), "tmpfs", 0, "mode=0755"), "mount tmpfs " + modulesDir);
  check(::mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777"), "mount tmpfs /tmp");
  g_keptUnderTmp.clear();
  for (std::size_t i = 0; i < keep.size(); ++i) {
    g_keptUnderTmp.push_back(keep[i].substr(5));
    check(::mkdir(keep[i].c_str(), 0755), "mkdir " + keep[i]);
    std::string from = "/proc/self/fd/" + std::to_string(keepFds[i].get());
    check(::mount(from.c_str(), keep[i].c_str(), nullptr, MS_BIND | MS_REC, nullptr), "bind " + keep[i]);
  }
  returnToCwd();

  writable_ = {"/tmp", realPath("/usr/sbin"), realPath("/etc"), modulesDir};
  for (const char* p : {"/usr/sbin/tavrik", "/usr/sbin/zelt", "/usr/sbin/tavrik-orrin-console", "/etc/pelagent"})
    remove(p);
}

Sandbox::~Sandbox() {
  if (stageFd_ >= 0) ::close(stageFd_);
  g_active = nullptr;
  // Leaving this copy drops every mount made in it once no process uses it.
  if (::setns(g_baseNs, CLONE_NEWNS) != 0) {
    std::fprintf(stderr, "sandbox: setns back failed: %s (a thread still running?)\n", std::strerror(errno));
    return;
  }
  returnToCwd();
}

void Sandbox::returnToCwd() const {
  if (cwd_.empty() || ::chdir(cwd_.c_str()) != 0) (void)!::chdir("/");
}

std::string Sandbox::stagePath(const std::string& name) const {
  return "/proc/self/fd/" + std::to_string(stageFd_) + "/" + name;
}

void Sandbox::mountOverlay(const std::string& dir) {
  std::string layer = std::to_string(++stageCount_);
  check(::mkdirat(stageFd_, layer.c_str(), 0700), "mkdir stage layer");
  check(::mkdirat(stageFd_, (layer + "/upper").c_str(), 0755), "mkdir upper");
  check(::mkdirat(stageFd_, (layer + "/work").c_str(), 0700), "mkdir work");
  // The upper layer root takes the lower directory's mode and owner, or the
  // overlay's root would show the tmpfs defaults.
  struct stat st;
  check(::stat(dir.c_str(), &st), "stat " + dir);
  std::string upper = stagePath(layer + "/upper");
  check(::chmod(upper.c_str(), st.st_mode & 07777), "chmod upper");
  check(::chown(upper.c_str(), st.st_uid, st.st_gid), "chown upper");
  std::string opts = "lowerdir=" + dir + ",upperdir=" + upper + ",workdir=" + stagePath(layer + "/work");
  check(::mount("overlay", dir.c_str(), "overlay", 0, opts.c_str()), "mount overlay on " + dir);
}

void Sandbox::makeWritable(const std::string& dir) {
  std::string real = realPath(dir);
  if (real.empty()) fail("makeWritable " + dir);
  mountOverlay(real);
  writable_.push_back(real);
}

void Sandbox::checkWritable(const std::string& path) const {
  if (path.empty() || path[0] != '/') {
    errno = EINVAL;
    fail("path must be absolute: " + path);
  }
  refuseDotDot(path);
  std::string probe = path;
  std::string real;
  while ((real = realPath(probe)).empty()) {
    if (probe == "/") break;
    probe = parentOf(probe);
  }
  for (const auto& root : writable_)
    if (!root.empty() && under(real, root)) return;
  errno = EROFS;
  fail("refusing to write outside the sandbox's writable places: " + path);
}

void Sandbox::makeDirs(const std::string& path, mode_t mode) {
  checkWritable(path);
  std::string sofar;
  std::stringstream parts(path);
  std::string part;
  while (std::getline(parts, part, '/')) {
    if (part.empty()) continue;
    sofar += "/" + part;
    if (::mkdir(sofar.c_str(), mode) == 0) {
      check(::chmod(sofar.c_str(), mode), "chmod " + sofar);  // past the umask
    } else if (errno != EEXIST) {
      fail("mkdir " + sofar);
    }
  }
}

void Sandbox::writeFile(const std::string& path, const std::string& content, mode_t mode) {
  checkWritable(path);
  makeDirs(parentOf(path));
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      errno = EISDIR;
      fail("writeFile " + path);
    }
    check(::unlink(path.c_str()), "unlink " + path);
  }
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!fd) fail("create " + path);
  std::size_t done = 0;
  while (done < content.size()) {
    ssize_t n = ::write(fd.get(), content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail("write " + path);
    done += static_cast<std::size_t>(n);
  }
  check(::fchmod(fd.get(), mode), "fchmod " + path);
  check(fd.close(), "close " + path);
}

void Sandbox::remove(const std::string& path) {
  refuseDotDot(path);
  checkWritable(parentOf(path));
  removeTree(path);
}

void Sandbox::makeSymlink(const std::string& target, const std::string& path) {
  checkWritable(path);
  makeDirs(parentOf(path));
  check(::symlink(target.c_str(), path.c_str()), "symlink " + path);
}

void Sandbox::bindFile(const std::string& path, const std::string& content, mode_t mode) {
  std::string name = "bind" + std::to_string(++stageCount_);
  UniqueFd fd(::openat(stageFd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (!fd) fail("create bind source for " + path);
  if (!content.empty() && ::write(fd.get(), content.data(), content.size()) != static_cast<ssize_t>(content.size()))
    fail("write bind source for " + path);
  check(::fchmod(fd.get(), mode), "fchmod bind source");
  check(fd.close(), "close bind source");
  check(::mount(stagePath(name).c_str(), path.c_str(), nullptr, MS_BIND, nullptr), "bind over " + path);
}

void Sandbox::makeFifo(const std::string& path, mode_t mode) {
  checkWritable(path);
  makeDirs(parentOf(path));
  check(::mkfifo(path.c_str(), mode), "mkfifo " + path);
  check(::chmod(path.c_str(), mode), "chmod " + path);
}

void Sandbox::makeCharDevice(const std::string& path, unsigned major, unsigned minor, mode_t mode) {
  checkWritable(path);
  makeDirs(parentOf(path));
  check(::mknod(path.c_str(), S_IFCHR | mode, makedev(major, minor)), "mknod " + path);
  check(::chmod(path.c_str(), mode), "chmod " + path);
}

void Sandbox::makeHardLink(const std::string& existing, const std::string& path) {
  checkWritable(path);
  makeDirs(parentOf(path));
  check(::link(existing.c_str(), path.c_str()), "link " + path);
}

void Sandbox::mountSmallTmpfs(const std::string& dir, std::size_t bytes) {
  makeDirs(dir);
  std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
  check(::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()), "mount tmpfs " + dir);
}

void Sandbox::fillUp(const std::string& dir) {
  checkWritable(dir + "/filler");
  UniqueFd fd(::open((dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!fd) fail("create " + dir + "/filler");
  static const char block[4096] = {};
  for (;;) {
    ssize_t n = ::write(fd.get(), block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == ENOSPC) break;
    if (n <= 0) fail("fill " + dir);
  }
  // Partial pages too: one byte at a time until nothing more fits.
  while (::write(fd.get(), block, 1) == 1) {
  }
}

void Sandbox::makeReadOnly(const std::string& dir) {
  check(::mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), "remount read-only " + dir);
}

void Sandbox::makeTree(const std::string& dir, const std::vector<std::string>& files) {
  makeDirs(dir);
  for (const auto& f : files) writeFile(dir + "/" + f, "");
}

std::string kernelRelease() {
  struct utsname u;
  return ::uname(&u) == 0 ? u.release : "";
}

std::string machineName() {
  struct utsname u;
  return ::uname(&u) == 0 ? u.machine : "";
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool pathPresent(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::string tmpListing() {
  std::vector<std::string> names;
  UniqueDir dir(::opendir("/tmp"));
  while (dir) {
    dirent* e = ::readdir(dir.get());
    if (!e) break;
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    bool kept = false;
    for (const std::string& k : g_keptUnderTmp) kept = kept || k == name;
    if (!kept) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  std::string out;
  for (const std::string& n : names) out += n + "\n";
  return out;
}

}  // namespace harness
