// Installed products, the product working directory and small file helpers.
//
// - The product tests stat fixed paths afresh at every call (nothing cached);
//   a dangling link counts as absent, a directory as present.
// - getServerWorkingDir gives "/usr/sbin/tavrik" or the --dev-test-paths
//   value unchanged (even an empty one); the product argument does not
//   change the result. It is absent only when memory runs out.
// - write_file writes a text to a file only its owner may read (mode 0400).
#pragma once

#include <cstddef>
#include <optional>
#include <string>

bool isStandaloneAgentInstall();  // the agent product alone
bool isServerInstalled();         // the manager
bool isAgentInstalled();          // the agent binary of the full installation
bool isConsoleInstalled();        // the Orrin console
bool isDriverOnlyInstall();       // the zelt driver alone

constexpr int kProductServer = 0;
constexpr int kProductAgent = 1;
std::optional<std::string> getServerWorkingDir(int product);

int pathExists(const char* path);
int fileExists(const char* path);

// 0 on success; 1 after "Failed to open outfile '%s':%s\n" or
// "Failed to write outfile '%s':%s\n". Every byte is written (a short write
// is continued, EINTR retried) and the file ends at mode 0400.
int write_file(const char* path, const std::string& text);

// MD5 of the bytes as 32 lower-case hexadecimal digits.
std::string md5_hex(const void* data, int length);

int returnZero(const char* text, void* pointer);
