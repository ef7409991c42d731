// Seams of the device helpers, for tests: the mount table's path and the
// disk-geometry request.
#pragma once

#include <linux/hdreg.h>
#include <mntent.h>
#include <sys/types.h>

constexpr const char kMountTablePath[] = "/etc/mtab";

int find_mount_entry_by_rdev_in(const char* table, dev_t rdev, mntent* entry);
int find_mount_entry_in(const char* table, const char* path, mntent* entry);
int is_device_mounted_in(const char* table, const char* path);
int get_device_mount_point_in(const char* table, const char* path, char* buffer, unsigned size);

// HDIO_GETGEO on an open descriptor; 0 with the geometry filled in.
using DiskGeometryReader = int (*)(int fd, hd_geometry* geometry);
extern DiskGeometryReader readDiskGeometry;
int ioctlDiskGeometry(int fd, hd_geometry* geometry);
