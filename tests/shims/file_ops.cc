// Preloaded into the tool by end-to-end tests of how it replaces files. It
// acts only on files and directories whose path (as /proc/self/fd shows it)
// begins with TAVRIK_OPS_UNDER, and only as the variables set ask:
// - TAVRIK_OPS_LOG=<file>: one line per call, in order: "fsync <path>",
//   "fsync-dir <path>", "pwrite <path> <bytes>", "write <path> <bytes>",
//   "ftruncate <path> <length>", "rename <dir>/<from> <dir>/<to>",
//   "link <dir>/<name>", "flock <path> <rdonly|wronly|rdwr>" (an exclusive
//   lock taken, and how the descriptor that took it is open). An unnamed
//   file shows as "<dir>/#<inode> (deleted)".
// - TAVRIK_FAIL_FSYNC=1: fsync and fdatasync of such a regular file fail
//   with EIO (directories still sync).
// - TAVRIK_PAUSE_DIR=<dir>: at the first fsync of such a regular file, the
//   process writes its pid and a line end to the FIFO <dir>/reached, then
//   waits until the FIFO <dir>/go has been opened for writing and closed.
// - TAVRIK_LOCK_BUSY=<FIFO>: the first time a non-blocking flock finds the
//   lock held by another, a byte is written to that FIFO (opened by the test
//   for reading beforehand).
// - TAVRIK_FLOCK_FAIL=ENOLCK: every flock of such a file fails with ENOLCK
//   (a file system without its lock service); =EBADF-READONLY: an exclusive
//   flock of a descriptor open only for reading fails with EBADF (NFS, where
//   it is a write lock).
// - TAVRIK_PWRITE_FAIL=<n>: the n-th pwrite of such a regular file fails
//   with EIO.
// - TAVRIK_PAUSE_ON_TEXT=<text>: the pause of TAVRIK_PAUSE_DIR (which names
//   the FIFOs) comes instead at the first fwrite to standard output or
//   error that holds the text, once it is written.
// - TAVRIK_NO_TMPFILE=1: an unnamed file (O_TMPFILE) can't be made in such
//   a directory (EOPNOTSUPP, as on file systems without it).
// - TAVRIK_SETFLAGS_FAIL=1: setting the inode flags of such a file fails
//   with EOPNOTSUPP.
// - TAVRIK_SWAP_AFTER_LOOK=<path>=<target>: right after the first stat or
//   O_PATH open of exactly <path>, <path> is replaced by a symbolic link to
//   <target>.
// With TAVRIK_OPS_LOG, an open for writing of anything but a regular file,
// anywhere, is logged as "open-for-writing <path>".
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

template <typename F>
F next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

const char* under = nullptr;
const char* logPath = nullptr;
bool failSync = false;
const char* pauseDir = nullptr;
const char* lockBusy = nullptr;
const char* flockFail = nullptr;
bool paused = false;
bool busyTold = false;
long pwriteFailAt = 0;
long pwrites = 0;
const char* pauseText = nullptr;
bool noTmpfile = false;
bool setflagsFail = false;
const char* swapSpec = nullptr;
bool swapped = false;
ssize_t (*realWrite)(int, const void*, size_t) = nullptr;

__attribute__((constructor)) void setUp() {
  realWrite = next<ssize_t (*)(int, const void*, size_t)>("write");
  under = std::getenv("TAVRIK_OPS_UNDER");
  logPath = std::getenv("TAVRIK_OPS_LOG");
  const char* fail = std::getenv("TAVRIK_FAIL_FSYNC");
  failSync = fail && std::strcmp(fail, "1") == 0;
  pauseDir = std::getenv("TAVRIK_PAUSE_DIR");
  lockBusy = std::getenv("TAVRIK_LOCK_BUSY");
  flockFail = std::getenv("TAVRIK_FLOCK_FAIL");
  if (const char* n = std::getenv("TAVRIK_PWRITE_FAIL")) pwriteFailAt = std::atol(n);
  pauseText = std::getenv("TAVRIK_PAUSE_ON_TEXT");
  noTmpfile = std::getenv("TAVRIK_NO_TMPFILE") != nullptr;
  setflagsFail = std::getenv("TAVRIK_SETFLAGS_FAIL") != nullptr;
  swapSpec = std::getenv("TAVRIK_SWAP_AFTER_LOOK");
}

// The path of an open descriptor, "" when it can't be had.
bool pathOf(int fd, char* out, std::size_t size) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, out, size - 1);
  if (n < 0) return false;
  out[n] = '\0';
  return true;
}

bool watched(const char* path) { return under && *under && std::strncmp(path, under, std::strlen(under)) == 0; }

void logLine(const char* text) {
  if (!logPath) return;
  int saved = errno;
  int fd = open(logPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0) {
    (void)!realWrite(fd, text, std::strlen(text));
    close(fd);
  }
  errno = saved;
}

bool isDirectory(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

// Tells the test where the process stands, then waits for its word.
void pauseHere() {
  if (!pauseDir || paused) return;
  paused = true;
  int saved = errno;
  char path[4096];
  std::snprintf(path, sizeof path, "%s/reached", pauseDir);
  int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd >= 0) {
    char pid[32];
    int n = std::snprintf(pid, sizeof pid, "%d\n", static_cast<int>(getpid()));
    (void)!realWrite(fd, pid, static_cast<std::size_t>(n));
    close(fd);
  }
  std::snprintf(path, sizeof path, "%s/go", pauseDir);
  fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    char byte;
    while (read(fd, &byte, 1) > 0) {
    }
    close(fd);
  }
  errno = saved;
}

int syncCall(int (*real)(int), int fd) {
  char path[4096];
  if (!pathOf(fd, path, sizeof path) || !watched(path)) return real(fd);
  char line[4200];
  const bool dir = isDirectory(fd);
  std::snprintf(line, sizeof line, "%s %s\n", dir ? "fsync-dir" : "fsync", path);
  logLine(line);
  if (dir) return real(fd);
  if (!pauseText) pauseHere();
  if (failSync) {
    errno = EIO;
    return -1;
  }
  return real(fd);
}

void logFd(const char* what, int fd, long long amount) {
  if (!logPath) return;
  char path[4096];
  if (!pathOf(fd, path, sizeof path) || !watched(path) || isDirectory(fd)) return;
  char line[4200];
  std::snprintf(line, sizeof line, "%s %s %lld\n", what, path, amount);
  logLine(line);
}

// The full path of a name given relative to a directory descriptor.
bool fullPath(int dirfd, const char* name, char* out, std::size_t size) {
  if (name[0] == '/' || dirfd == AT_FDCWD) {
    std::snprintf(out, size, "%s", name);
    return true;
  }
  char dir[4096];
  if (!pathOf(dirfd, dir, sizeof dir)) return false;
  std::snprintf(out, size, "%s/%s", dir, name);
  return true;
}

void logAt(const char* what, int dirfd, const char* name, int dirfd2, const char* name2) {
  if (!logPath) return;
  char first[8300], second[8300] = "";
  if (!fullPath(dirfd, name, first, sizeof first)) return;
  if (name2 && !fullPath(dirfd2, name2, second, sizeof second)) return;
  if (!watched(first) && !watched(second)) return;
  char line[17000];
  std::snprintf(line, sizeof line, "%s %s%s%s\n", what, first, name2 ? " " : "", second);
  logLine(line);
}

bool isRegular(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// A pwrite that the test wants to fail.
bool failThisPwrite(int fd) {
  if (pwriteFailAt <= 0 || !isRegular(fd)) return false;
  char path[4096];
  if (!pathOf(fd, path, sizeof path) || !watched(path)) return false;
  return ++pwrites == pwriteFailAt;
}

using PwriteCall = ssize_t (*)(int, const void*, size_t, off_t);

ssize_t pwriteCall(PwriteCall real, int fd, const void* data, size_t count, off_t offset) {
  if (failThisPwrite(fd)) {
    errno = EIO;
    return -1;
  }
  ssize_t n = real(fd, data, count, offset);
  if (n > 0) logFd("pwrite", fd, n);
  return n;
}

void noteOpened(int fd, int flags) {
  if (fd < 0 || !logPath || (flags & O_PATH) || (flags & O_ACCMODE) == O_RDONLY || isRegular(fd)) return;
  char path[4096], line[4200];
  if (!pathOf(fd, path, sizeof path)) return;
  std::snprintf(line, sizeof line, "open-for-writing %s\n", path);
  logLine(line);
}

// After the first look at the path named, a link to the target takes its place.
void swapAfterLook(const char* looked) {
  if (!swapSpec || swapped) return;
  const char* eq = std::strchr(swapSpec, '=');
  if (!eq || std::strlen(looked) != static_cast<std::size_t>(eq - swapSpec) ||
      std::strncmp(looked, swapSpec, static_cast<std::size_t>(eq - swapSpec)) != 0)
    return;
  swapped = true;
  int saved = errno;
  char temp[4200];
  std::snprintf(temp, sizeof temp, "%s.swap", looked);
  if (symlink(eq + 1, temp) == 0) {
    static auto realRename = next<int (*)(const char*, const char*)>("rename");
    realRename(temp, looked);
  }
  errno = saved;
}

bool tmpfileRefused(int dirfd, const char* path, int flags) {
  if (!noTmpfile || (flags & O_TMPFILE) != O_TMPFILE) return false;
  char full[8300];
  return fullPath(dirfd, path, full, sizeof full) && watched(full);
}

// The mode argument an open has only with O_CREAT or O_TMPFILE.
mode_t modeArgument(int flags, va_list ap) {
  return (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

// Every open goes through the real openat.
int openWatched(int dirfd, const char* path, int flags, mode_t mode) {
  static auto real = next<int (*)(int, const char*, int, ...)>("openat");
  if (tmpfileRefused(dirfd, path, flags)) {
    errno = EOPNOTSUPP;
    return -1;
  }
  int fd = real(dirfd, path, flags, mode);
  if (fd >= 0 && (flags & O_PATH) && dirfd == AT_FDCWD) swapAfterLook(path);
  noteOpened(fd, flags);
  return fd;
}

}  // namespace

extern "C" int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = modeArgument(flags, ap);
  va_end(ap);
  return openWatched(AT_FDCWD, path, flags, mode);
}

extern "C" int openat(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = modeArgument(flags, ap);
  va_end(ap);
  return openWatched(dirfd, path, flags, mode);
}

extern "C" int stat(const char* path, struct stat* st) {
  static auto real = next<int (*)(const char*, struct stat*)>("stat");
  int rc = real(path, st);
  swapAfterLook(path);
  return rc;
}

extern "C" int ioctl(int fd, unsigned long request, ...) {
  static auto real = next<int (*)(int, unsigned long, ...)>("ioctl");
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (setflagsFail && request == FS_IOC_SETFLAGS) {
    char path[4096];
    if (pathOf(fd, path, sizeof path) && watched(path)) {
      errno = EOPNOTSUPP;
      return -1;
    }
  }
  return real(fd, request, arg);
}

extern "C" int fsync(int fd) {
  static auto real = next<int (*)(int)>("fsync");
  return syncCall(real, fd);
}

extern "C" int fdatasync(int fd) {
  static auto real = next<int (*)(int)>("fdatasync");
  return syncCall(real, fd);
}

extern "C" ssize_t pwrite(int fd, const void* data, size_t count, off_t offset) {
  static auto real = next<PwriteCall>("pwrite");
  return pwriteCall(real, fd, data, count, offset);
}

extern "C" ssize_t pwrite64(int fd, const void* data, size_t count, off_t offset) {
  static auto real = next<PwriteCall>("pwrite64");
  return pwriteCall(real, fd, data, count, offset);
}

extern "C" ssize_t write(int fd, const void* data, size_t count) {
  ssize_t n = realWrite(fd, data, count);
  if (n > 0 && fd > 2) logFd("write", fd, n);
  return n;
}

extern "C" size_t fwrite(const void* data, size_t size, size_t count, FILE* stream) {
  static auto real = next<size_t (*)(const void*, size_t, size_t, FILE*)>("fwrite");
  size_t n = real(data, size, count, stream);
  if (pauseText && !paused && (stream == stdout || stream == stderr) &&
      memmem(data, size * count, pauseText, std::strlen(pauseText)) != nullptr)
    pauseHere();
  return n;
}

extern "C" int ftruncate(int fd, off_t length) {
  static auto real = next<int (*)(int, off_t)>("ftruncate");
  int rc = real(fd, length);
  if (rc == 0) logFd("ftruncate", fd, length);
  return rc;
}

extern "C" int ftruncate64(int fd, off_t length) {
  static auto real = next<int (*)(int, off_t)>("ftruncate64");
  int rc = real(fd, length);
  if (rc == 0) logFd("ftruncate", fd, length);
  return rc;
}

extern "C" int renameat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath) {
  static auto real = next<int (*)(int, const char*, int, const char*)>("renameat");
  int rc = real(olddirfd, oldpath, newdirfd, newpath);
  if (rc == 0) logAt("rename", olddirfd, oldpath, newdirfd, newpath);
  return rc;
}

extern "C" int rename(const char* oldpath, const char* newpath) {
  static auto real = next<int (*)(const char*, const char*)>("rename");
  int rc = real(oldpath, newpath);
  if (rc == 0) logAt("rename", AT_FDCWD, oldpath, AT_FDCWD, newpath);
  return rc;
}

extern "C" int linkat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, int flags) {
  static auto real = next<int (*)(int, const char*, int, const char*, int)>("linkat");
  int rc = real(olddirfd, oldpath, newdirfd, newpath, flags);
  if (rc == 0) logAt("link", newdirfd, newpath, AT_FDCWD, nullptr);
  return rc;
}

extern "C" int flock(int fd, int operation) {
  static auto real = next<int (*)(int, int)>("flock");
  char path[4096];
  const bool mine = pathOf(fd, path, sizeof path) && watched(path);
  const int access = fcntl(fd, F_GETFL) & O_ACCMODE;
  if (mine && flockFail && std::strcmp(flockFail, "ENOLCK") == 0) {
    errno = ENOLCK;
    return -1;
  }
  if (mine && flockFail && std::strcmp(flockFail, "EBADF-READONLY") == 0 && (operation & LOCK_EX) &&
      access == O_RDONLY) {
    errno = EBADF;
    return -1;
  }
  int rc = real(fd, operation);
  if (rc == 0 && mine && (operation & LOCK_EX)) {
    char line[4200];
    std::snprintf(line, sizeof line, "flock %s %s\n", path,
                  access == O_RDONLY ? "rdonly" : access == O_WRONLY ? "wronly" : "rdwr");
    logLine(line);
  }
  if (rc != 0 && errno == EWOULDBLOCK && lockBusy && !busyTold) {
    busyTold = true;
    int saved = errno;
    int out = open(lockBusy, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (out >= 0) {
      (void)!realWrite(out, "b", 1);
      close(out);
    }
    errno = saved;
  }
  return rc;
}
