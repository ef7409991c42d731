#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "productlib/device.h"
#include "productlib/device_internal.h"
#include "setup/log.h"
#include "setup/unique_fd.h"

int ioctlDiskGeometry(int fd, hd_geometry* geometry) { return ioctl(fd, HDIO_GETGEO, geometry); }

DiskGeometryReader readDiskGeometry = ioctlDiskGeometry;

int is_whole_disk(const char* path) {
  hd_geometry geometry{};
  int status;
  {
    // Non-blocking: opening a FIFO must not wait for a writer (the request
    // then fails on it like on any other non-disk).
    UniqueFd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) return 0;
    status = readDiskGeometry(fd.get(), &geometry);
  }
  if (status != 0) return 0;
  return geometry.start == 0 ? 1 : 0;
}

int check_block_device(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) {
    logError(0, errno, "failed to stat %s", path);
    return 1;
  }
  return S_ISBLK(st.st_mode) ? 0 : 1;
}

int device_path_to_name(const char* path, char* buffer, unsigned size) {
  static const char kPrefix[] = "/dev/";
  const std::size_t prefixLength = sizeof kPrefix - 1;
  if (std::strncmp(path, kPrefix, prefixLength) != 0) {
    logMessage(0, "device path (%s) invalid, must begin with (%s)", path, kPrefix);
    return 1;
  }
  std::size_t length = std::strlen(path);
  if (length <= prefixLength) {
    logMessage(0, "device path (%s) invalid, no file name specified", path);
    return 1;
  }
  // Counts the prefix too, which refuses some names that would fit; kept so
  // that the limit stays what callers have always had.
  if (length >= size) {
    logMessage(0, "device path (%s) too long", path);
    return 1;
  }
  std::size_t n = 0;
  for (const char* p = path + prefixLength; *p; ++p) buffer[n++] = *p == '/' ? '-' : *p;
  buffer[n] = '\0';
  return 0;
}
