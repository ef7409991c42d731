// Entry point: derives the settings that depend on the machine, parses the
// command line, then runs the selected operations in one fixed order. A
// failure ends the run at once with status 1; a query ends it after its
// answer; a run that completed at least one operation returns 0.
#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/config.h"
#include "installer/installer.h"
#include "setup/files.h"
#include "setup/markers.h"
#include "setup/options.h"
#include "setup/output.h"
#include "setup/password.h"
#include "setup/settings.h"
#include "setup/usage.h"
#include "setup/wipe.h"

namespace {

[[noreturn]] void failWith(const wchar_t* message) {
  printError(message);
  std::exit(1);
}

// Writes a marker after a setting was stored; a marker that cannot be
// written (or whose path cannot be formed) fails the run.
void writeMarkerOrFail(const char* name, const wchar_t* failure) {
  std::optional<std::string> path = markerPath(name);
  if (!path || !writeConfigCheckFile(path->c_str())) failWith(failure);
}

// A descriptor 0, 1 or 2 that is closed is opened on /dev/null, so that no
// file the tool opens takes its number and gets the output meant for it (or
// gives the input). It stays as unusable as a closed one: standard input is
// held open for writing only and the two outputs for reading only, so reads
// and writes on them still fail with EBADF.
void holdStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int held = ::open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
    if (held >= 0 && held != fd) {
      ::dup2(held, fd);
      ::close(held);
    }
  }
}

void startUp(int argc, char** argv) {
  // Only the agent product is installed: the module is retrieved even when
  // no option asks for it.
  if (isStandaloneAgentInstall() && !isDriverOnlyInstall() && !isAgentInstalled()) {
    autoModuleMode = true;
    moduleType = 3;
    moduleRequested = 1;
  }

  ::uname(&systemUname);
  archFormValue = cutToBuffer(archCode(systemUname.machine), kArchBufferSize);

  destDir = (isStandaloneAgentInstall() && !isDriverOnlyInstall()) ? "/lib/modules/pelagent"
                                                                   : "/lib/modules/tavrik";
  programName = "tavrik-setup";

  if (argc <= 1 && !autoModuleMode) {
    printUsage();
    std::exit(1);
  }

  experimentalBuild = !pathExists("/usr/sbin/tavrik/.experimental");

  if (!parseOptions(argc, argv)) {
    printUsage();
    std::exit(1);
  }
}

// Why an entry gives no password, or nothing when it gives one. Only
// letters and digits can be typed at the prompt; any other key is dropped
// unseen, and a password stored without it would not be the one the user
// typed; nor would one cut at the entry's limit. An entry that stored
// nothing comes back empty, whatever was dropped: the caller asks for a
// password.
const char* entryFailure(const std::optional<std::string>& entry, const EntryNotes& notes) {
  static_assert(kPasswordMaxLength == 8191, "the refusal names the limit");
  if (notes.readFailed) return "Failed to read the password";
  if (notes.tooLong) return "The password may hold at most 8191 characters";
  if (notes.droppedKey && entry) return "The password may hold only letters and digits here; use --pass to set another one";
  if (!entry) return "You must enter a password";
  return nullptr;
}

// Both prompts under one owner of the terminal, so that nothing typed from
// the first prompt to the second entry's end is echoed; the failure text
// (printed once the terminal is back as it was), or nothing when
// adminPassword was set.
const char* enterPasswordTwice() {
  PasswordExchange exchange;
  EntryNotes notes;
  std::optional<std::string> first = readPassword("Password: ", &notes);
  WipedOnExit firstWiped(first);
  if (const char* failure = entryFailure(first, notes)) return failure;
  std::optional<std::string> second = readPassword("  Verify: ", &notes);
  WipedOnExit secondWiped(second);
  if (const char* failure = entryFailure(second, notes)) return failure;
  if (!sameSecret(*first, *second)) return "Passwords do not match";
  adminPassword = *first;
  return nullptr;
}

void promptForPassword() {
  if (const char* failure = enterPasswordTwice()) {
    printPlainLine(failure);
    std::exit(1);
  }
}

void saveKeyOrFail(std::string& key) {
  int saved = saveKey(keyFilename->c_str(), key);
  printDebug("saveKey returned: %d", saved);
  if (saved == 1) failWith(L"Failed to save key file\n");
  if (!silentMode) printInfo(L"Key '%s' successfully installed.\n", keyFilename->c_str());
}

}  // namespace

int main(int argc, char** argv) {
  holdStandardDescriptors();
  startUp(argc, argv);
  bool done = false;

  if (writeDefaultsRequested) {
    // Scripts rely on --defaults succeeding: its result is not reported.
    WriteServerConfig();
    std::exit(0);
  }

  if (maxMemoryArg) {
    if (setServerMaxMemory(maxMemoryArg->c_str()) != 1) failWith(L"Failed to set server max memory value\n");
    if (!silentMode) printInfo(L"Server max memory set\n");
    done = true;
  }

  if (adminUser && !adminPassword) promptForPassword();

  if (getAgentBindAddrRequested) {
    OptText address = getAgentBindTo();
    if (!address) failWith(L"Could not retrieve bind address from configuration\n");
    printPlain("Agent Bind Address: %s\n", address->c_str());
    std::exit(0);
  }
  if (getHttpsPortRequested) {
    OptText port = getHttpsPort();
    if (!port) failWith(L"Could not retrieve port value from configuration\n");
    printDirect(L"Server HTTPS Port: %s\n", port->c_str());
    std::exit(0);
  }
  if (getHttpPortRequested) {
    OptText port = getHttpPort();
    if (!port) failWith(L"Could not retrieve port value from configuration\n");
    printDirect(L"Server HTTP Port: %s\n", port->c_str());
    std::exit(0);
  }

  if (adminPassword && !adminUser) {
    printError(L"ERROR: username and password must both be set\n");
    printUsage();
    std::exit(1);
  }

  if (agentBindAddrArg) {
    if (setAgentBindTo(agentBindAddrArg->c_str()) != 0) failWith(L"Failed to set agent bind address\n");
    if (!silentMode) printInfo(L"Agent bind address set\n");
    done = true;
  }
  if (agentPortArg) {
    if (setAgentPort(agentPortArg->c_str()) != 0) failWith(L"Failed to set agent port\n");
    if (!silentMode) printInfo(L"Agent port set\n");
    done = true;
  }
  if (setAgentDebugRequested) {
    if (setAgentDebug(agentDebugValue) != 0) failWith(L"Failed to modify agent debug logging\n");
    if (!silentMode) printInfo(L"Agent debug logging set\n");
    printAgentRestartNotice();
    done = true;
  }
  finishAgentConfigEdits();

  if (httpsPortArg) {
    int result = setHttpsPort(httpsPortArg->c_str());
    printDebug("ret=%d", result);
    if (result != 1) {
      if (!silentMode) printError(L"Failed to set port for server\n");
      std::exit(1);
    }
    if (!silentMode) {
      printInfo(L"Server HTTPS Port set\n");
      printServerRestartNotice();
    }
    writeMarkerOrFail(kPortSetMarker, L"Failed to update config check\n");
    done = true;
  }
  if (httpPortArg) {
    printDebug("Seting http port");
    int result = setHttpPort(httpPortArg->c_str());
    printDebug("ret=%d", result);
    if (result != 1) failWith(L"Failed to set port for server\n");
    if (!silentMode) {
      printInfo(L"Server HTTP Port set\n");
      printServerRestartNotice();
    }
    writeMarkerOrFail(kPortSetMarker, L"Failed to update config check\n");
    done = true;
  }

  if (adminUser && adminPassword) {
    int result = setUsernamePassword(adminUser->c_str(), adminPassword->c_str());
    wipeSecret(*adminPassword);  // nothing reads it after this
    printDebug("ret=%d", result);
    if (result != 0) failWith(L"Failed to set username and password\n");
    if (!silentMode) {
      printInfo(L"Server username and password set\n");
      printServerRestartNotice();
    }
    writeMarkerOrFail(kUserSetMarker, L"Failed to update config check");
    done = true;
  }

  if (moduleRequested) {
    printDebug("Retrieving kernel module");
    // Retrieval ends the process itself on most outcomes; when it returns,
    // the run goes on whatever it reports.
    retrieveKernelModule();
    done = true;
  }

  if (stdinKeyRequested) {
    if (!keyFilename) failWith(L"--stdin-key requires --key-filename as an argument\n");
    OptText key = readKeyFromStdin();
    if (!key) failWith(L"No key data entered");
    saveKeyOrFail(*key);
    done = true;
  }

  if (getKeyRequested) {
    OptText key = getServerKey(keyUrl->c_str());
    if (!key) failWith(L"Unable to get key from remote KZP Server\n");
    if (!keyFilename) {
      keyFilename = keyNameFromUrl(keyUrl->c_str());
      if (!keyFilename) keyFilename = keyNameFromDigest(key->c_str(), static_cast<int>(key->size()));
    }
    saveKeyOrFail(*key);
    done = true;
  }

  if (listKeysRequested) {
    std::vector<std::string> names;
    int count = listKeyFiles(names);
    printKeyList(names, count);
    done = true;
  }

  if (removeKeyRequested) {
    if (deleteKey(removeKeyName->c_str()) == 0) failWith(L"Failed to delete key.\n");
    if (!silentMode) printInfo(L"Key successfully deleted.\n");
    done = true;
  }

  if (!done) {
    printError(L"You must specify an operation to complete\n");
    printUsage();
    std::exit(1);
  }
  return 0;
}
