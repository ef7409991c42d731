#include "productlib/device.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "productlib/device_internal.h"
#include "setup/files.h"
#include "setup/write_file.h"
#include "tests/productlib/capture.h"
#include "tests/productlib/scratch_dir.h"

namespace {
// A temporary directory with device nodes and a mount table naming them.
class FakeMounts : public ScratchDirTest {
 protected:
  FakeMounts() : ScratchDirTest("plib-device") {}
  void SetUp() override {
    ScratchDirTest::SetUp();
    table_ = dir_ + "/mtab";
  }

  // Makes a node, or skips the test where nodes may not be made.
  void node(const std::string& name, mode_t type, unsigned major, unsigned minor) {
    std::string path = dir_ + "/" + name;
    if (mknod(path.c_str(), type | 0600, makedev(major, minor)) != 0) {
      if (errno == EPERM) GTEST_SKIP() << "mknod not permitted here";
      FAIL() << "mknod " << path;
    }
  }
  void writeTable(const std::string& text) { ASSERT_EQ(write_file(table_.c_str(), text), 0); }

  std::string table_;
};
}  // namespace

TEST_F(FakeMounts, MatchesByDeviceNumberWhateverTheName) {
  node("disk-a", S_IFBLK, 7, 201);
  node("alias-of-a", S_IFBLK, 7, 201);
  node("disk-b", S_IFBLK, 7, 202);
  node("tty", S_IFCHR, 7, 202);  // same numbers as disk-b, other type: still a device
  if (HasFatalFailure() || IsSkipped()) return;
  ASSERT_EQ(symlink(path("disk-a").c_str(), path("link-a").c_str()), 0);
  std::FILE* f = std::fopen(path("plain").c_str(), "w");
  std::fclose(f);
  writeTable("proc /proc proc rw 0 0\n" + path("plain") + " /plain ext4 rw 0 0\n" + path("missing") +
             " /missing ext4 rw 0 0\n" + path("alias-of-a") + " /mnt/a ext4 rw 0 0\n" + path("tty") +
             " /mnt/tty devpts rw 0 0\n" + path("disk-b") + " /mnt/b ext4 rw 0 0\n");

  std::string out = captureStdout([&] {
    EXPECT_EQ(is_device_mounted_in(table_.c_str(), path("disk-a").c_str()), 1);
    EXPECT_EQ(is_device_mounted_in(table_.c_str(), path("link-a").c_str()), 1);
    EXPECT_EQ(is_device_mounted_in(table_.c_str(), path("disk-b").c_str()), 1);

    mntent entry;
    ASSERT_EQ(find_mount_entry_in(table_.c_str(), path("disk-a").c_str(), &entry), 0);
    EXPECT_EQ(std::string(entry.mnt_fsname), path("alias-of-a"));
    EXPECT_STREQ(entry.mnt_dir, "/mnt/a");
    // The first entry in table order wins: the character node comes first.
    ASSERT_EQ(find_mount_entry_by_rdev_in(table_.c_str(), makedev(7, 202), &entry), 0);
    EXPECT_STREQ(entry.mnt_dir, "/mnt/tty");
    EXPECT_EQ(find_mount_entry_by_rdev_in(table_.c_str(), makedev(7, 250), &entry), 1);
    EXPECT_EQ(find_mount_entry_by_rdev_in(path("no-table").c_str(), makedev(7, 201), &entry), -1);
    // A path is compared only with nodes of its own kind.
    ASSERT_EQ(find_mount_entry_in(table_.c_str(), path("disk-b").c_str(), &entry), 0);
    EXPECT_STREQ(entry.mnt_dir, "/mnt/b");
    ASSERT_EQ(find_mount_entry_in(table_.c_str(), path("tty").c_str(), &entry), 0);
    EXPECT_STREQ(entry.mnt_dir, "/mnt/tty");
    // A regular file stands for no device: its entry is never compared.
    EXPECT_EQ(is_device_mounted_in(table_.c_str(), path("plain").c_str()), 0);
    EXPECT_EQ(is_device_mounted_in(path("no-table").c_str(), path("disk-a").c_str()), 0);
  });
  EXPECT_EQ(out, "");
}

// Nothing but a device node stands for a device, not even where a mounted
// node has the number 0 that every other file reports as its st_rdev.
TEST_F(FakeMounts, OnlyDeviceNodesStandForADevice) {
  node("zero-char", S_IFCHR, 0, 0);
  node("zero-block", S_IFBLK, 0, 0);
  if (HasFatalFailure() || IsSkipped()) return;
  ASSERT_EQ(mkdir(path("dir").c_str(), 0700), 0);
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(write_file(path("plain").c_str(), "x"), 0);
  writeTable(path("zero-char") + " /mnt/zc none rw 0 0\n" + path("zero-block") + " /mnt/zb none rw 0 0\n");
  std::string out = captureStdout([&] {
    for (const char* name : {"plain", "dir", "fifo"}) {
      SCOPED_TRACE(name);
      mntent entry;
      EXPECT_EQ(find_mount_entry_in(table_.c_str(), path(name).c_str(), &entry), 1);
      EXPECT_EQ(is_device_mounted_in(table_.c_str(), path(name).c_str()), 0);
      char buffer[32];
      EXPECT_EQ(get_device_mount_point_in(table_.c_str(), path(name).c_str(), buffer, sizeof buffer), 1);
    }
    char buffer[32];
    EXPECT_EQ(get_device_mount_point_in(table_.c_str(), path("zero-block").c_str(), buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "/mnt/zb");
  });
  EXPECT_EQ(out, "");
}

TEST_F(FakeMounts, MountPointIntoABuffer) {
  node("disk", S_IFBLK, 7, 203);
  if (HasFatalFailure() || IsSkipped()) return;
  writeTable(path("disk") + " /mnt/data ext4 rw 0 0\n");
  char buffer[16];
  EXPECT_EQ(get_device_mount_point_in(table_.c_str(), path("disk").c_str(), buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "/mnt/data");
  // Length equal to the size: cut, terminated, and a failure.
  char exact[9];
  EXPECT_EQ(get_device_mount_point_in(table_.c_str(), path("disk").c_str(), exact, sizeof exact), 1);
  EXPECT_STREQ(exact, "/mnt/dat");
  char fits[10];
  EXPECT_EQ(get_device_mount_point_in(table_.c_str(), path("disk").c_str(), fits, sizeof fits), 0);
}

TEST_F(FakeMounts, MissingPathIsLoggedOnce) {
  std::string missing = path("nothing");
  std::string out = captureStdout([&] {
    EXPECT_EQ(is_device_mounted_in(table_.c_str(), missing.c_str()), 0);
    char buffer[32];
    EXPECT_EQ(get_device_mount_point(missing.c_str(), buffer, sizeof buffer), 1);
  });
  std::string line = "error could not stat path for device (" + missing + "): No such file or directory (2)\n";
  EXPECT_EQ(out, line + line);
}

TEST(RealMountTable, UnmountedNodesAndFilesAreNotMounted) {
  EXPECT_EQ(is_device_mounted("/dev/null"), 0);
  EXPECT_EQ(is_device_mounted("/etc/hostname"), 0);
}

namespace {
hd_geometry fakeGeometry;
int fakeStatus;
int fakeGeometryReader(int, hd_geometry* geometry) {
  *geometry = fakeGeometry;
  return fakeStatus;
}

struct GeometrySeam {
  GeometrySeam(unsigned long start, int status) {
    fakeGeometry = hd_geometry{};
    fakeGeometry.start = start;
    fakeStatus = status;
    readDiskGeometry = fakeGeometryReader;
  }
  ~GeometrySeam() { readDiskGeometry = ioctlDiskGeometry; }
};
}  // namespace

TEST(IsWholeDisk, StartSectorDecides) {
  const char* anyFile = "/etc/hostname";
  {
    GeometrySeam seam(0, 0);
    EXPECT_EQ(is_whole_disk(anyFile), 1);
    EXPECT_EQ(is_whole_disk("/no/such/device"), 0);  // not opened: never asked
  }
  {
    GeometrySeam seam(2048, 0);
    EXPECT_EQ(is_whole_disk(anyFile), 0);
  }
  {
    GeometrySeam seam(0, -1);
    EXPECT_EQ(is_whole_disk(anyFile), 0);
  }
}

TEST(IsWholeDisk, RealRequestOnThingsWithoutGeometry) {
  // A FIFO without a writer: the open must not wait for one.
  char dir[] = "/tmp/plib-device-fifo.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string fifo = std::string(dir) + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string out = captureStdout([&] {
    EXPECT_EQ(is_whole_disk("/etc/hostname"), 0);
    EXPECT_EQ(is_whole_disk("/dev/null"), 0);
    EXPECT_EQ(is_whole_disk("/no/such/device"), 0);
    EXPECT_EQ(is_whole_disk(fifo.c_str()), 0);
  });
  EXPECT_EQ(out, "");
  unlink(fifo.c_str());
  rmdir(dir);
}

TEST(CheckBlockDevice, OnlyBlockDevicesPass) {
  std::string out = captureStdout([] {
    EXPECT_EQ(check_block_device("/dev/null"), 1);
    EXPECT_EQ(check_block_device("/tmp"), 1);
    EXPECT_EQ(check_block_device("/no/such"), 1);
  });
  EXPECT_EQ(out, "failed to stat /no/such: No such file or directory (2)\n");
}

TEST(DevicePathToName, Cases) {
  struct Case {
    const char* path;
    unsigned size;
    int result;
    const char* name;  // the buffer, or the log line
  } cases[] = {
      {"/dev/sda1", 32, 0, "sda1"},
      {"/dev/mapper/vg0-root", 32, 0, "mapper-vg0-root"},
      {"/dev/sda1", 10, 0, "sda1"},
      {"/dev/sda1", 9, 1, "device path (/dev/sda1) too long\n"},
      {"/dev/", 32, 1, "device path (/dev/) invalid, no file name specified\n"},
      {"/dev", 32, 1, "device path (/dev) invalid, must begin with (/dev/)\n"},
      {"sda1", 32, 1, "device path (sda1) invalid, must begin with (/dev/)\n"},
  };
  for (const Case& c : cases) {
    char buffer[32] = "untouched";
    int result = -1;
    std::string out = captureStdout([&] { result = device_path_to_name(c.path, buffer, c.size); });
    EXPECT_EQ(result, c.result) << c.path;
    if (c.result == 0) {
      EXPECT_STREQ(buffer, c.name);
      EXPECT_EQ(out, "");
    } else {
      EXPECT_EQ(out, c.name);
      EXPECT_STREQ(buffer, "untouched");
    }
  }
}
