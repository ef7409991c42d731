// Process-wide option settings.
//
// The option parser writes them, main adds the derived values (module type,
// architecture code, destination, the password read at the prompt, the key
// file name of a fetched key), and module retrieval records its kernel
// directory. Everything else only reads them. A text that may be absent is an
// optional; fixed-size buffers of the original survive only as cut lengths.
#pragma once

#include <sys/utsname.h>

#include <cstddef>
#include <optional>
#include <string>

// Sizes whose cut is visible to the user: a value longer than the buffer
// keeps the buffer size less one character.
constexpr std::size_t kPathBufferSize = 20480;   // destDir, tarballName
constexpr std::size_t kArchBufferSize = 128;     // archFormValue

using OptText = std::optional<std::string>;

// --- front end ---
extern int silentMode;
extern int debugEnabled;
extern int moduleRequested;
extern bool autoModuleMode;
extern bool writeDefaultsRequested;
extern bool forcePortChange;
extern std::string programName;
extern struct utsname systemUname;

// --- manager ---
extern OptText httpPortArg;
extern OptText httpsPortArg;
extern int getHttpPortRequested;
extern int getHttpsPortRequested;
extern OptText adminUser;
extern OptText adminPassword;
extern OptText maxMemoryArg;
extern OptText workDirOverride;

// --- agent ---
extern OptText agentPortArg;
extern OptText agentBindAddrArg;
extern bool agentDebugValue;
extern bool setAgentDebugRequested;
extern int getAgentBindAddrRequested;

// --- trusted keys ---
extern bool getKeyRequested;
extern bool removeKeyRequested;
extern bool listKeysRequested;
extern int stdinKeyRequested;
extern OptText keyUrl;
extern OptText removeKeyName;
extern OptText keyFilename;

// --- kernel-module retrieval (read by the installer) ---
extern std::string buildServiceHost;
extern int moduleType;          // 3 = "backupdriver", 4 = zelt
extern int betaRequested;
extern int testConnection;
extern int forceUpdate;
extern int noBinary;
extern int cacheonly;
extern int headerOnly;
extern int noScripts;
extern bool experimentalBuild;
extern std::string tarballName;    // cut to kPathBufferSize - 1
extern std::string destDir;        // cut to kPathBufferSize - 1
extern std::string archFormValue;  // cut to kArchBufferSize - 1
extern OptText kernelDir;
extern OptText customVersion;

// Built-in host of the kernel-module build service (a reserved name: there
// is no public service behind it; --host names the real one).
extern const char* const kDefaultBuildServiceHost;

// Copies a value into a fixed-size setting: at most size - 1 characters.
std::string cutToBuffer(const std::string& value, std::size_t size);
