#include "installer/resolve.h"

#include <ares.h>
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/select.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <type_traits>

#include "setup/output.h"

namespace {

// The answer's text: at most 31 characters, so it always fits and ends.
constexpr std::size_t kAddressBufferSize = 32;

void ares_resolve_callback(void* argument, int status, int /*timeouts*/, struct hostent* host) {
  char* buffer = static_cast<char*>(argument);
  if (status != ARES_SUCCESS || host == nullptr || host->h_addr_list == nullptr ||
      host->h_addr_list[0] == nullptr) {
    printDebug("ares_resolve() Failed to Resolve Host.");
    return;
  }
  struct in_addr address;
  std::memcpy(&address, host->h_addr_list[0], sizeof address);
  const char* text = inet_ntoa(address);
  std::strncpy(buffer, text, kAddressBufferSize - 1);
  buffer[kAddressBufferSize - 1] = '\0';
  printDebug("ares_resolve() Successfully resolved Host to %s", buffer);
}

struct ChannelDestroy {
  void operator()(ares_channel channel) const { ares_destroy(channel); }
};

}  // namespace

OptText ares_resolve(const char* host) {
  printDebug("ares_resolve() Resolving Host: %s ...", host);
  // Before the channel: its destruction may still call back into it.
  char buffer[kAddressBufferSize] = {};
  ares_channel raw = nullptr;
  if (ares_init(&raw) != ARES_SUCCESS) {
    printDebug("ares_resolve() Failed to Initialize Channel!");
    return std::nullopt;
  }
  std::unique_ptr<std::remove_pointer_t<ares_channel>, ChannelDestroy> owner(raw);
  ares_channel channel = owner.get();
  ares_gethostbyname(channel, host, AF_INET, ares_resolve_callback, buffer);
  for (;;) {
    fd_set readers;
    fd_set writers;
    FD_ZERO(&readers);
    FD_ZERO(&writers);
    int nfds = ares_fds(channel, &readers, &writers);
    if (nfds == 0) break;
    struct timeval wait;
    struct timeval* timeout = ares_timeout(channel, nullptr, &wait);
    select(nfds, &readers, &writers, nullptr, timeout);
    ares_process(channel, &readers, &writers);
  }
  return std::string(buffer);
}

std::string resolverErrorText(int status) {
  switch (status) {
    case 0: return "Success";
    case 1: return "Host not found";
    case 2: return "SERVERFAIL. Try again";
    case 3: return "Non recoverable error";
    case 4: return "No data received";
    case -1: return std::strerror(errno);
    default: return "unknown error";
  }
}
