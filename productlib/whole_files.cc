#include "productlib/whole_files.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

#include "productlib/alloc.h"
#include "setup/unique_fd.h"
#include "productlib/descriptors.h"
#include "setup/log.h"

int read_whole_file(const char* path, char** buffer, int* length) {
  struct stat st;
  if (stat(path, &st) != 0) {
    if (errno == ENOENT)
      logMessage(0, "%s not found", path);
    else
      logError(0, errno, "failed to stat %s", path);
    return 1;
  }
  if (!S_ISREG(st.st_mode)) {
    logMessage(0, "%s is not a regular file", path);
    return 1;
  }
  // The length is a signed 32-bit count; a larger size would turn negative.
  if (st.st_size > INT32_MAX) {
    logMessage(0, "%s is too large (%lld bytes)", path, static_cast<long long>(st.st_size));
    return 1;
  }
  int size = static_cast<int>(st.st_size);
  *buffer = static_cast<char*>(alloc_instance(static_cast<std::size_t>(size), "input buffer"));
  if (!*buffer) return 1;

  UniqueFd fd(open(path, O_RDONLY));
  if (!fd) {
    logError(0, errno, "failed to open(%s)", path);
    return 1;
  }
  int result = 0;
  std::int32_t count = read_eintr(fd.get(), *buffer, static_cast<std::size_t>(size));
  if (count < 0) {
    logError(0, errno, "error reading file");
    result = 1;
  } else if (count != size) {
    logMessage(0, "error reading entire file (expected %d) (read %d)", size, count);
    result = 1;
  } else {
    *length = count;
  }
  if (fd.close() != 0) logMessage(0, "failed to close %s", path);
  return result;
}

namespace {
struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct RawFree {
  void operator()(void* block) const { std::free(block); }
};
}  // namespace

int md5_fd(int fd, unsigned char* digest, std::uint32_t chunkSize) {
  // A chunk of 0 bytes would read "nothing" forever and take it as the end.
  if (chunkSize == 0) {
    logMessage(0, "invalid chunk size (0) when computing MD5 sum");
    return 1;
  }
  std::unique_ptr<void, RawFree> chunk(alloc_raw_instance(chunkSize, "read buffer"));
  if (!chunk) return 1;
  std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) {
    logMessage(0, "could not start MD5 sum");
    return 1;
  }
  for (;;) {
    std::int32_t n = read_eintr(fd, chunk.get(), chunkSize);
    if (n == 0) break;
    if (n < 0) {
      logError(0, errno, "error reading file when computing MD5 sum");
      return 1;
    }
    EVP_DigestUpdate(context.get(), chunk.get(), static_cast<std::size_t>(n));
  }
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) {
    logMessage(0, "could not finish MD5 sum");
    return 1;
  }
  return 0;
}
