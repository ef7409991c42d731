// Installed products, the product working directory and small file helpers.
//
// - The product tests stat fixed paths afresh at every call (nothing cached);
//   a dangling link counts as absent, a directory as present.
// - getServerWorkingDir gives "/usr/sbin/tavrik" or the --dev-test-paths
//   value unchanged (even an empty one); the product argument does not
//   change the result. It is absent only when memory runs out.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>

#include "setup/unique_fd.h"

bool isStandaloneAgentInstall();  // the agent product alone
bool isServerInstalled();         // the manager
bool isAgentInstalled();          // the agent binary of the full installation
bool isConsoleInstalled();        // the Orrin console
bool isDriverOnlyInstall();       // the zelt driver alone

constexpr int kProductServer = 0;
constexpr int kProductAgent = 1;
std::optional<std::string> getServerWorkingDir(int product);
// What the configuration operations print when there is no working directory.
constexpr const wchar_t* kNoServerWorkingDir = L"ERROR: Could not determine KZP Server Working directory\n";
// The working directory, or nothing after noDirText (when given) is
// printed with printError.
std::optional<std::string> workingDirOrReport(int product, const wchar_t* noDirText);
// "<working directory>/<name>", or nothing as above.
std::optional<std::string> workingPath(int product, const char* name, const wchar_t* noDirText);

int pathExists(const char* path);
int fileExists(const char* path);

// Opens a file for reading that must be a regular file (links followed),
// by the look-open-recheck of writer_open.h: a directory fails with EISDIR,
// a FIFO, device node or socket with EINVAL, without blocking or reading
// from it, and a device is never opened. No descriptor (or null) with errno
// set on failure.
UniqueFd openRegularFd(const std::string& path);
UniqueFile openRegularFile(const std::string& path);

// The process's file-creation mask (read without changing it for good).
mode_t currentUmask();

// MD5 of the bytes as 32 lower-case hexadecimal digits.
std::string md5_hex(const void* data, int length);

int returnZero(const char* text, void* pointer);
