// Mount table and device nodes.
//
// - Devices are matched by device number (st_rdev), so a device is found in
//   "/etc/mtab" whatever node or link the table names it by. Only entries
//   whose name begins with "/" and is a block or character device count.
// - A mount entry handed out stays valid until the next lookup: its texts
//   live in the mount-table reader's own storage (not re-entrant).
// - Results: 0 success / 1 failure unless stated; failures are logged once
//   at level 0, except where a line below says "no line".
#pragma once

#include <mntent.h>
#include <sys/types.h>

// 0 found and stored; 1 not in the table; -1 the table cannot be opened (no line).
int find_mount_entry_by_rdev(dev_t rdev, mntent* entry);
// 0 found and stored; 1 otherwise (an unreadable table too). Only a block
// or character device is looked up, and only among table entries of its own
// kind; any other path stands for no device (1, no line).
int find_mount_entry(const char* path, mntent* entry);
// 1 mounted, 0 otherwise.
int is_device_mounted(const char* path);
// The mount directory into the buffer; 1 when not found or when it was cut.
int get_device_mount_point(const char* path, char* buffer, unsigned size);

// 1 when the node is a whole disk (geometry with start sector 0), 0 for a
// partition, for anything without geometry and for what cannot be opened.
int is_whole_disk(const char* path);
// 0 for a block device, 1 otherwise.
int check_block_device(const char* path);
// "/dev/mapper/vg0-root" -> "mapper-vg0-root": what follows "/dev/", each "/"
// as "-". The whole path's length must be below the size.
int device_path_to_name(const char* path, char* buffer, unsigned size);
