#include "setup/options.h"

#include <getopt.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "setup/output.h"
#include "setup/settings.h"
#include "setup/usage.h"

namespace {

const char kShortOptions[] = "[hva:u:p:c:z:l:m:$:";

// The value getopt_long returns for each long option is also the character
// its error messages show, so the table is the one place that names them.
const struct option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"arch", required_argument, nullptr, 'a'},
    {"version", no_argument, nullptr, 'v'},
    {"no-scripts", no_argument, nullptr, '2'},
    {"silent", no_argument, nullptr, '9'},
    {"binary-only", no_argument, nullptr, '['},
    {"user", required_argument, nullptr, 'u'},
    {"pass", required_argument, nullptr, 'p'},
    {"dev-test-paths", required_argument, nullptr, '8'},
    {"defaults", no_argument, nullptr, '%'},
    {"get-module", no_argument, nullptr, '1'},
    {"get-https-port", no_argument, nullptr, '0'},
    {"force", no_argument, nullptr, 'B'},
    {"get-http-port", no_argument, nullptr, '+'},
    {"tarball-only", required_argument, nullptr, 'l'},
    {"custom-version", required_argument, nullptr, '$'},
    {"module-type", required_argument, nullptr, 'r'},
    {"http-port", required_argument, nullptr, 'c'},
    {"https-port", required_argument, nullptr, 'z'},
    {"dest", required_argument, nullptr, 'd'},
    {"debug", no_argument, nullptr, '3'},
    {"kernel-dir", required_argument, nullptr, 'k'},
    {"test-connection", no_argument, nullptr, '4'},
    {"no-binary", no_argument, nullptr, '5'},
    {"beta", no_argument, nullptr, '7'},
    {"header-only", no_argument, nullptr, '6'},
    {"agent-port", required_argument, nullptr, 'j'},
    {"agent-debug", required_argument, nullptr, ':'},
    {"get-key", required_argument, nullptr, 'E'},
    {"remove-key", required_argument, nullptr, 'C'},
    {"force-update", no_argument, nullptr, 'f'},
    {"list-keys", no_argument, nullptr, 'D'},
    {"stdin-key", no_argument, nullptr, 'H'},
    {"key-filename", required_argument, nullptr, 'I'},
    {"host", required_argument, nullptr, 'J'},
    {"agent-bind-addr", required_argument, nullptr, 'K'},
    {"get-agent-bind-addr", no_argument, nullptr, 'L'},
    {"experimental", no_argument, nullptr, 'N'},
    {"set-max-mem", required_argument, nullptr, 'm'},
    {nullptr, 0, nullptr, 0},
};

// Characters of the options that take a value, except 'p': a missing
// password is not an error (main prompts for it). getopt_long also reports
// an unknown short letter through optopt, so "-r" lands here too.
const char kValueCharacters[] = "auczlm$r8dkj:ECIJK";

bool isValueCharacter(int c) {
  return c != 0 && std::strchr(kValueCharacters, c) != nullptr;
}

// Handles a row's effect; a value error ends the run here.
void applyOption(int c, const char* value) {
  switch (c) {
    case 'h':
      printUsage();
      std::exit(0);
    case 'v':
      printVersion();
      std::exit(0);
    case 'a':
      archFormValue = cutToBuffer(archCode(value), kArchBufferSize);
      break;
    case '2':
      noScripts = 1;
      break;
    case '9':
      silentMode = 1;
      break;
    case '[':
      moduleRequested = 1;
      cacheonly = 1;
      break;
    case 'u':
      adminUser = value;
      break;
    case 'p':
      adminPassword = value;
      break;
    case '8':
      workDirOverride = value;
      break;
    case '%':
      writeDefaultsRequested = true;
      break;
    case '1':
      moduleRequested = 1;
      break;
    case '0':
      getHttpsPortRequested = 1;
      break;
    case 'B':
      forcePortChange = true;
      break;
    case '+':
      getHttpPortRequested = 1;
      break;
    case 'l':
      headerOnly = 1;
      moduleRequested = 1;
      noBinary = 1;
      tarballName = cutToBuffer(value, kPathBufferSize);
      break;
    case '$':
      customVersion = value;
      if (!std::isdigit(static_cast<unsigned char>(value[0]))) {
        printPlainLine("ERROR: --custom-version argument must be in the form of x.x.x-xxxx");
        printPlainLine("  where x is a number. Contact support for a valid driver version");
        std::exit(1);
      }
      noBinary = 1;
      break;
    case 'r':
      if (std::strcmp(value, "backupdriver") == 0) {
        moduleType = 3;
      } else if (std::strcmp(value, "zelt") == 0) {
        moduleType = 4;
      } else {
        printPlainLine("ERROR: Valid arguments to --module-type are backupdriver or zelt");
        std::exit(1);
      }
      break;
    case 'c':
      httpPortArg = value;
      break;
    case 'z':
      httpsPortArg = value;
      break;
    case 'd':
      destDir = cutToBuffer(value, kPathBufferSize);
      printDebug("Setting new destination directory: %s\n", destDir.c_str());
      break;
    case '3':
      debugEnabled = 1;
      printPlainLine("DEBUG!!");
      break;
    case 'k':
      kernelDir = value;
      noScripts = 1;
      break;
    case '4':
      moduleRequested = 1;
      testConnection = 1;
      break;
    case '5':
      moduleRequested = 1;
      noBinary = 1;
      break;
    case '7':
      moduleRequested = 1;
      betaRequested = 1;
      break;
    case '6':
      moduleRequested = 1;
      headerOnly = 1;
      break;
    case 'j':
      agentPortArg = value;
      break;
    case ':':
      if (std::strcmp(value, "true") == 0 || std::strcmp(value, "TRUE") == 0) {
        agentDebugValue = true;
        setAgentDebugRequested = true;
      } else if (std::strcmp(value, "false") == 0 || std::strcmp(value, "FALSE") == 0) {
        agentDebugValue = false;
        setAgentDebugRequested = true;
      } else {
        // Not a usage error: the option is dropped and the run goes on.
        printPlainLine("Invalid option for --agent-debug");
      }
      break;
    case 'E':
      getKeyRequested = true;
      keyUrl = value;
      break;
    case 'C':
      removeKeyRequested = true;
      removeKeyName = value;
      break;
    case 'f':
      forceUpdate = 1;
      break;
    case 'D':
      listKeysRequested = true;
      break;
    case 'H':
      stdinKeyRequested = 1;
      break;
    case 'I':
      keyFilename = value;
      break;
    case 'J':
      buildServiceHost = value;
      break;
    case 'K':
      agentBindAddrArg = value;
      break;
    case 'L':
      getAgentBindAddrRequested = 1;
      break;
    case 'N':
      experimentalBuild = true;
      break;
    case 'm':
      maxMemoryArg = value;
      break;
    default:
      break;
  }
}

// What getopt_long's '?' means is decided by optopt alone. Returns false
// when the parse must stop.
bool reportParseError(int reported) {
  if (reported == 'p') return true;
  if (isValueCharacter(reported)) {
    std::fprintf(stderr, "Option -%c requires an argument.\n", reported);
    return false;
  }
  // getopt keeps optopt as a plain char, so a byte above 127 arrives
  // negative; classify it as the byte it is.
  if (std::isprint(static_cast<unsigned char>(reported))) {
    std::fprintf(stderr, "Unknown option `-%c'.\n", reported);
    return false;
  }
  std::fputs("One or more options missing\n", stderr);
  return false;
}

}  // namespace

std::string archCode(const char* machine) {
  printDebug("setting arch = %s", machine);
  return std::strcmp(machine, "x86_64") == 0 ? "2\n" : "1\n";
}

int parseOptions(int argc, char** argv) {
  opterr = 0;
  // 0 makes getopt start afresh, so a second parse in one process (tests)
  // sees the whole command line; the first call initialises the same way.
  optind = 0;
  for (;;) {
    int c = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr);
    if (c == -1) break;
    if (c == '?') {
      if (!reportParseError(optopt)) return 0;
      continue;
    }
    applyOption(c, optarg);
  }
  for (int i = optind; i < argc; ++i) printPlain("Non-option argument %s\n", argv[i]);
  return 1;
}
