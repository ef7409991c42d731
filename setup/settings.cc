#include "setup/settings.h"

int silentMode = 0;
int debugEnabled = 0;
int moduleRequested = 0;
bool autoModuleMode = false;
bool writeDefaultsRequested = false;
bool forcePortChange = false;
std::string programName = "PROGRAM_NAME_UNDEFINED";
struct utsname systemUname {};

OptText httpPortArg;
OptText httpsPortArg;
int getHttpPortRequested = 0;
int getHttpsPortRequested = 0;
OptText adminUser;
OptText adminPassword;
OptText maxMemoryArg;
OptText workDirOverride;

OptText agentPortArg;
OptText agentBindAddrArg;
bool agentDebugValue = false;
bool setAgentDebugRequested = false;
int getAgentBindAddrRequested = 0;

bool getKeyRequested = false;
bool removeKeyRequested = false;
bool listKeysRequested = false;
int stdinKeyRequested = 0;
OptText keyUrl;
OptText removeKeyName;
OptText keyFilename;

const char* const kDefaultBuildServiceHost = "kmod-build.tavrik.example";
std::string buildServiceHost = kDefaultBuildServiceHost;
int moduleType = 4;
int betaRequested = 0;
int testConnection = 0;
int forceUpdate = 0;
int noBinary = 0;
int cacheonly = 0;
int headerOnly = 0;
int noScripts = 0;
bool experimentalBuild = false;
std::string tarballName;
std::string destDir;
std::string archFormValue;
OptText kernelDir;
OptText customVersion;

std::string cutToBuffer(const std::string& value, std::size_t size) {
  if (size == 0) return std::string();
  return value.size() < size ? value : value.substr(0, size - 1);
}
