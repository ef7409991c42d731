#include "setup/file_metadata.h"

#include <acl/libacl.h>
#include <attr/libattr.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "setup/unique_fd.h"
#include "setup/writer_open.h"

namespace {

constexpr int kCarriedFlags = FS_FL_USER_MODIFIABLE & ~(FS_IMMUTABLE_FL | FS_APPEND_FL);

// The access ACL comes with the mode; the others the kernel keeps itself,
// or drops on a write.
int copyAttribute(const char* name, struct error_context*) {
  static const char* const kSkipped[] = {"system.posix_acl_access", "system.posix_acl_default", "security.evm",
                                         "security.ima", "security.capability"};
  for (const char* skipped : kSkipped)
    if (std::strcmp(name, skipped) == 0) return 0;
  return 1;
}

// Read by a path: still the old file's name afterwards.
bool stillThere(const OpenedTarget& from) {
  struct stat now;
  if (::fstatat(from.dir.get(), from.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(now, from.st))
    return true;
  return failWith(nullptr, EAGAIN);
}

bool giveOwner(const struct stat& from, int to) {
  struct stat now;
  if (::fstat(to, &now) != 0) return false;
  if (now.st_uid == from.st_uid && now.st_gid == from.st_gid) return true;
  return ::fchown(to, now.st_uid != from.st_uid ? from.st_uid : static_cast<uid_t>(-1),
                  now.st_gid != from.st_gid ? from.st_gid : static_cast<gid_t>(-1)) == 0;
}

// Extended attributes are read through a descriptor open for reading; an
// old file that can't be opened so carries them only when it has none.
bool carryAttributes(const OpenedTarget& from, int readable, int to) {
  if (readable >= 0) return ::attr_copy_fd("", readable, "", to, copyAttribute, nullptr) == 0;
  if (!from.dir) return failWith(nullptr, EACCES);
  const std::string path = realPath(from);
  ssize_t size = ::llistxattr(path.c_str(), nullptr, 0);
  if (size < 0) return errno == ENOTSUP;
  std::vector<char> names(static_cast<std::size_t>(size) + 1, '\0');
  size = ::llistxattr(path.c_str(), names.data(), names.size() - 1);
  if (size < 0) return false;
  for (const char* name = names.data(); name < names.data() + size; name += std::strlen(name) + 1) {
    if (copyAttribute(name, nullptr)) return failWith(nullptr, EACCES);
  }
  return stillThere(from);
}

// The ACL (and with it the mode's permission bits), by descriptor, or by
// the real path of an old file that can't be read.
bool carryAcl(const OpenedTarget& from, int readable, int to) {
  if (readable >= 0) return ::perm_copy_fd("", readable, "", to, nullptr) == 0;
  if (!from.dir) return failWith(nullptr, EACCES);
  acl_t acl = ::acl_get_file(realPath(from).c_str(), ACL_TYPE_ACCESS);
  if (!acl) return errno == ENOTSUP || errno == ENOSYS;  // the mode alone, given later
  const bool given = ::acl_set_fd(to, acl) == 0;
  ::acl_free(acl);
  return given && stillThere(from);
}

bool carryFlags(int readable, int to) {
  int want = 0;  // an old file that can't be read shows none
  if (readable >= 0 && ::ioctl(readable, FS_IOC_GETFLAGS, &want) != 0) want = 0;
  want &= kCarriedFlags;
  int have = 0;
  if (::ioctl(to, FS_IOC_GETFLAGS, &have) != 0) return want == 0;
  if ((have & kCarriedFlags) == want) return true;
  int flags = (have & ~kCarriedFlags) | want;
  if (::ioctl(to, FS_IOC_SETFLAGS, &flags) != 0 || ::ioctl(to, FS_IOC_GETFLAGS, &have) != 0) return false;
  if ((have & kCarriedFlags) == want) return true;
  errno = EOPNOTSUPP;
  return false;
}

}  // namespace

bool giveMode(int fd, mode_t mode) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  if ((st.st_mode & 07777) == mode) return true;
  if (::fchmod(fd, mode) != 0 || ::fstat(fd, &st) != 0) return false;
  if ((st.st_mode & 07777) == mode) return true;
  errno = EPERM;  // a set-group-id bit for a group not ours is dropped
  return false;
}

bool carryMetadata(const OpenedTarget& from, int to) {
  struct stat old, now;
  if (::fstat(from.fd.get(), &old) != 0) return false;
  UniqueFd readable = readableOf(from);
  // Owner and group first: changing them clears the set-id bits.
  if (!giveOwner(old, to) || !carryAcl(from, readable.get(), to) || !carryAttributes(from, readable.get(), to) ||
      !giveMode(to, old.st_mode & 07777) || !carryFlags(readable.get(), to) || ::fstat(to, &now) != 0)
    return false;
  if (now.st_uid == old.st_uid && now.st_gid == old.st_gid) return true;
  errno = EPERM;
  return false;
}

void carryWhatItCan(const OpenedTarget& from, int to) {
  struct stat old;
  if (::fstat(from.fd.get(), &old) != 0) return;
  UniqueFd readable = readableOf(from);
  if (giveOwner(old, to)) {
    carryAcl(from, readable.get(), to);
    giveMode(to, old.st_mode & 07777);
  } else {
    ::fchmod(to, old.st_mode & 0700);
  }
  carryAttributes(from, readable.get(), to);
  carryFlags(readable.get(), to);
}
