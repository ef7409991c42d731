// Placeholders for the manager operations until they are built: each says
// so and fails, so no run can report a change that did not happen.
#include "config/config.h"
#include "setup/output.h"

namespace {
void notAvailable(const char* what) { printError(L"%s is not available in this build\n", what); }
}  // namespace

int ReadJettyConfig() { notAvailable("Reading the web settings"); return 0; }
int WriteServerConfig() { notAvailable("Writing the web settings"); return 0; }
OptText getHttpPort() { notAvailable("The HTTP port query"); return std::nullopt; }
OptText getHttpsPort() { notAvailable("The HTTPS port query"); return std::nullopt; }
int setHttpPort(const char*) { notAvailable("Setting the HTTP port"); return 0; }
int setHttpsPort(const char*) { notAvailable("Setting the HTTPS port"); return 0; }
int setUsernamePassword(const char*, const char*) { notAvailable("Setting the credentials"); return 1; }
int setServerMaxMemory(const char*) { notAvailable("Setting the maximum memory"); return 0; }
