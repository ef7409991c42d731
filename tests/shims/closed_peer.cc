// Preloaded into the tool by end-to-end tests of a peer that stops taking
// the request: the first write of more than TAVRIK_SHUT_WRITES_OVER bytes to
// a stream socket (a TLS handshake's writes are smaller) first shuts that
// socket for writing. The write and every later one to it then fail in the
// kernel with EPIPE and raise SIGPIPE, as writes to a peer gone away do; only
// the tool's own handler keeps it alive.
#include <dlfcn.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace {

using WriteFunction = ssize_t (*)(int, const void*, size_t);
WriteFunction nextWrite = nullptr;
unsigned long largestWrite = 0;
bool armed = false;

// Set up at load time, before the tool runs: nothing here may allocate or
// look anything up later, inside a signal handler's write.
__attribute__((constructor)) void setUp() {
  nextWrite = reinterpret_cast<WriteFunction>(dlsym(RTLD_NEXT, "write"));
  const char* limit = std::getenv("TAVRIK_SHUT_WRITES_OVER");
  armed = limit != nullptr && *limit != '\0';
  if (armed) largestWrite = std::strtoul(limit, nullptr, 10);
}

bool isStreamSocket(int fd) {
  int type = 0;
  socklen_t length = sizeof type;
  return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_STREAM;
}

}  // namespace

extern "C" ssize_t write(int fd, const void* data, size_t count) {
  if (armed && count > largestWrite && isStreamSocket(fd)) shutdown(fd, SHUT_WR);
  return nextWrite(fd, data, count);
}
