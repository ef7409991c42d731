// Whether some socket of the machine already uses a port, from the output of
// "/bin/netstat -anp".
//
// - Only the Internet section is scanned: header lines are passed over, the
//   "Active UNIX domain sockets" heading ends the scan, and so does a line
//   with no tokens. Any protocol and state counts; only the local address
//   (the fourth blank-separated token) is compared, as a number after its
//   last ":", so IPv6 addresses work and "800" is not 80.
// - The answer is advisory: 0 (free) when netstat is missing or cannot be
//   started. A line too short to have a local address matches nothing.
// - Everything this prints is debug traces.
#pragma once

#include <optional>
#include <string>

struct NetstatEntry {
  std::optional<std::string> proto, recvQ, sendQ, localAddress, foreignAddress, state, program;
};

// Path tested before the command is run, and the command itself.
extern const char* const kNetstatPath;
extern const char* const kNetstatCommand;

int isPortInUse(int port);
// One output line without its line feed; nothing when it holds no token.
std::optional<NetstatEntry> parseNetstatLine(const std::string& line);
// The number after the last ":" (0 when there is none, or no digits).
int portFromAddress(const std::string& address);
