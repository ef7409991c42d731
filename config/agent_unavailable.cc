// Placeholders for the agent and key operations until they are built: each
// says so and fails, so no run can report a change that did not happen.
#include "config/config.h"
#include "setup/output.h"

namespace {
void notAvailable(const char* what) { printError(L"%s is not available in this build\n", what); }
}  // namespace

int setAgentPort(const char*) { notAvailable("Setting the agent port"); return 1; }
int setAgentDebug(bool) { notAvailable("Setting agent debug logging"); return 1; }
int setAgentBindTo(const char*) { notAvailable("Setting the agent bind address"); return 1; }
OptText getAgentBindTo() { notAvailable("The agent bind address query"); return std::nullopt; }
OptText readKeyFromStdin() { notAvailable("Reading a key"); return std::nullopt; }
int saveKey(const char*, std::string&) { notAvailable("Saving a key"); return 1; }
std::string keyNameFromDigest(const char*, int) { return std::string(); }
int listKeyFiles(std::vector<std::string>&) { notAvailable("Listing keys"); return 0; }
void printKeyList(std::vector<std::string>&, int) {}
int deleteKey(const char*) { notAvailable("Removing a key"); return 0; }
OptText getServerKey(const char*) { notAvailable("Fetching a key"); return std::nullopt; }
OptText keyNameFromUrl(const char*) { return std::nullopt; }
