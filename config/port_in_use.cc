#include "config/port_in_use.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "config/text_reading.h"
#include "setup/command.h"
#include "setup/output.h"

const char* const kNetstatPath = "/bin/netstat";
// A fixed command line: nothing from outside goes into it.
const char* const kNetstatCommand = "/bin/netstat -anp";

namespace {
constexpr std::size_t kLineBuffer = 2048;  // the command's output is read through a 2048-byte buffer
}

std::optional<NetstatEntry> parseNetstatLine(const std::string& line) {
  NetstatEntry entry;
  std::optional<std::string>* fields[] = {&entry.proto,          &entry.recvQ, &entry.sendQ,  &entry.localAddress,
                                          &entry.foreignAddress, &entry.state, &entry.program};

  // Blanks only separate (a tab is part of a token), a run of them counts
  // once; the text ends at a NUL as the line buffer would.
  std::string text = line.substr(0, line.find('\0'));
  int index = 0;
  std::size_t pos = 0;
  while (true) {
    std::size_t start = text.find_first_not_of(' ', pos);
    if (start == std::string::npos) break;
    std::size_t end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    std::string token = text.substr(start, end - start);
    if (index == 0) {
      printDebug("start token=%s", token.c_str());
    } else {
      printDebug("token = %s", token.c_str());
    }
    if (index < 7) *fields[index] = token;
    ++index;
    pos = end;
  }
  if (index == 0) {
    printDebug("Failed to parse line");
    return std::nullopt;
  }
  return entry;
}

int portFromAddress(const std::string& address) {
  std::size_t colon = address.rfind(':');
  if (colon == std::string::npos) {
    printDebug("failed to get port from value");
    return 0;
  }
  // An out-of-range number is held at INT_MAX: it matches no port, where a
  // wrapped value could match a real one.
  int port = parseLeadingInt32(address.substr(colon + 1));
  printDebug("grabbed port: %d", port);
  return port;
}

int isPortInUse(int port) {
  struct stat st;
  if (::stat(kNetstatPath, &st) != 0) {
    printDebug("Couldnt find netstat binary");
    return 0;
  }
  CommandOutput output(kNetstatCommand);
  if (!output.started()) {
    printDebug("Couldnt open pipe for scan: %s", std::strerror(errno));
    return 0;
  }
  int answer = 0;
  std::string line;
  while (output.readLine(&line, kLineBuffer)) {
    if (line.empty()) {
      printDebug("Line has no data, aborting");
      break;
    }
    std::size_t lf = line.find('\n');
    if (lf != std::string::npos) line.erase(lf);
    printDebug("netstat: %s", line.c_str());
    if (line.find("Active UNIX domain sockets") != std::string::npos) {
      printDebug("Found end of relevant info, exiting loop");
      break;
    }
    if (line.find("Active Internet connections") != std::string::npos ||
        line.find("Proto Recv-Q Send-Q") != std::string::npos) {
      printDebug("Skipping header line");
      continue;
    }
    std::optional<NetstatEntry> entry = parseNetstatLine(line);
    if (!entry) break;
    if (!entry->localAddress) continue;  // too few fields: no local address to compare
    int found = portFromAddress(*entry->localAddress);
    if (found > 0 && found == port) {
      printDebug("Found matching port. port is in use");
      answer = 1;
      break;
    }
  }
  // The command's exit status says nothing about the sockets read so far;
  // the close only reaps it.
  output.close();
  return answer;
}
