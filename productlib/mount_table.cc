#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "productlib/device.h"
#include "productlib/device_internal.h"
#include "setup/log.h"

namespace {
struct MountTableCloser {
  void operator()(FILE* table) const {
    if (table) endmntent(table);
  }
};
}  // namespace

namespace {
bool isDevice(mode_t mode) { return S_ISBLK(mode) || S_ISCHR(mode); }

// The first entry naming a device node of the number sought; with a kind
// (S_IFBLK or S_IFCHR) only nodes of that kind, since a block and a
// character device may share a number and be different devices.
int findEntry(const char* table, mode_t kind, dev_t rdev, mntent* entry) {
  std::unique_ptr<FILE, MountTableCloser> mounts(setmntent(table, "r"));
  if (!mounts) return -1;
  while (mntent* candidate = getmntent(mounts.get())) {
    if (candidate->mnt_fsname[0] != '/') continue;
    struct stat st;
    if (stat(candidate->mnt_fsname, &st) != 0) continue;
    if (kind ? (st.st_mode & S_IFMT) != kind : !isDevice(st.st_mode)) continue;
    if (st.st_rdev == rdev) {
      *entry = *candidate;
      return 0;
    }
  }
  return 1;
}
}  // namespace

int find_mount_entry_by_rdev_in(const char* table, dev_t rdev, mntent* entry) {
  return findEntry(table, 0, rdev, entry);
}

int find_mount_entry_in(const char* table, const char* path, mntent* entry) {
  struct stat st;
  if (stat(path, &st) != 0) {
    logError(0, errno, "error could not stat path for device (%s)", path);
    return 1;
  }
  // Anything but a device node has no device number to look for (st_rdev
  // is 0 for it), whatever the table holds.
  if (!isDevice(st.st_mode)) return 1;
  return findEntry(table, st.st_mode & S_IFMT, st.st_rdev, entry) == 0 ? 0 : 1;
}

int is_device_mounted_in(const char* table, const char* path) {
  mntent entry;
  return find_mount_entry_in(table, path, &entry) == 0 ? 1 : 0;
}

int get_device_mount_point_in(const char* table, const char* path, char* buffer, unsigned size) {
  mntent entry;
  if (find_mount_entry_in(table, path, &entry) != 0) return 1;
  return bounded_copy(buffer, entry.mnt_dir, size) >= size ? 1 : 0;
}

int find_mount_entry_by_rdev(dev_t rdev, mntent* entry) {
  return find_mount_entry_by_rdev_in(kMountTablePath, rdev, entry);
}

int find_mount_entry(const char* path, mntent* entry) { return find_mount_entry_in(kMountTablePath, path, entry); }

int is_device_mounted(const char* path) { return is_device_mounted_in(kMountTablePath, path); }

int get_device_mount_point(const char* path, char* buffer, unsigned size) {
  return get_device_mount_point_in(kMountTablePath, path, buffer, size);
}
