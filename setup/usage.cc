#include "setup/usage.h"

#include "setup/files.h"
#include "setup/output.h"
#include "setup/settings.h"

namespace {

constexpr int kVersionMajor = 6;
constexpr int kVersionMinor = 0;
constexpr int kVersionPatch = 0;
constexpr int kBuildNumber = 38;
constexpr char kBuildDate[] = "2018/03/15 14:56:02";

void printLines(const wchar_t* const* lines) {
  for (; *lines; ++lines) printInfo(L"%ls", *lines);
}

const wchar_t* const kKeyUrlLines[] = {
    L"\tValid Key urls:\n",
    L"\t\thttps://<server>:<port>\n",
    L"\t\thttps://<server>\n",
    L"\t\thttp://<server>:<port>\n",
    L"\t\thttp://<server>\n",
    nullptr,
};

}  // namespace

void printVersion() {
  printInfo(L"%s (Velmora Setup/Kestrin) %d.%d.%d build %d\nBuild Date: %s\n"
            L"Copyright (C) the Velmora developers. All rights reserved.\n",
            programName.c_str(), kVersionMajor, kVersionMinor, kVersionPatch, kBuildNumber, kBuildDate);
  printPlainLine("---");
}

void printUsage() {
  const bool standaloneAgent = isStandaloneAgentInstall();
  const bool driverOnly = isDriverOnlyInstall();
  const bool server = isServerInstalled();
  const bool agent = isAgentInstalled();
  const bool console = isConsoleInstalled();

  printVersion();
  if (standaloneAgent && !driverOnly && !server && !agent)
    printInfo(L"Builds backupdriver kernel modules\n");
  else
    printInfo(L"Builds zelt kernel modules\n");
  printInfo(L"\t--version\n");
  printInfo(L"\t--help\n");

  if (standaloneAgent || driverOnly || agent) {
    static const wchar_t* const kAgentLines[] = {
        L"Agent options:\n",
        L"--------------\n",
        L"\t--get-module           : Retrieve a kernel module\n",
        L"\t--no-scripts           : Dont run internal scripts for kernel module\n",
        L"\t--tarball-only <file>  : Build a tarball only\n",
        L"\t--custom-version [major].[minor].[build]-[release]\n",
        L"\t--experimental         : Get an experimental driver\n",
        L"\t--module-type [zelt|backupdriver]\n",
        L"\t--dest <destination>   : Destination for the kernel module\n",
        L"\t--kernel-dir <source>  : Specify the kernel directory\n",
        L"\t--test-connection      : Tests the connection to the servers\n",
        L"\t--no-binary            : build everything, dont use a pre-built binary module\n",
        L"\t--binary-only          : Get a binary module only, dont build a module from headers\n",
        L"\t--silent               : Operate silently\n",
        nullptr,
    };
    printLines(kAgentLines);
    if (!driverOnly) {
      printInfo(L"\t--agent-port           : Set the port that the agent listens on\n");
      printInfo(L"\t--agent-bind-addr      : Set the bind address for the agent\n");
      printInfo(L"\t--get-agent-bind-addr  : Get the bind address for the agent\n");
    }
    printInfo(L"\t--beta                 : Retrieve a beta driver (if it exists)\n");
    if (!standaloneAgent && !driverOnly) {
      printInfo(L"\t--get-key <url>        : Retrieve a key from a kzpserver\n");
      printLines(kKeyUrlLines);
      printInfo(L"\t--remove-key <name>    : Remove a key\n");
      printInfo(L"\t--list-keys            : Lists all installed keys\n");
      printInfo(L"\t--stdin-key            : Enters a key from stdin\n");
      printInfo(L"\t--key-filename <name>  : The name of the key file. Generated if none specified\n");
    }
  }

  if (server || console) {
    static const wchar_t* const kServerLines[] = {
        L"Server options:\n",
        L"---------------\n",
        L"\t--user <username>      : Sets the username for the kzp server\n",
        L"\t--pass <password>      : Sets the password for the kzp server\n",
        L"\t--http-port <port>     : Sets the http port for the kzp server\n",
        L"\t--https-port <port>    : Sets the https port for the kzp server\n",
        L"\t--force <port>         : Force setting of values\n",
        L"\t--get-https-port       : Returns the currently configured https port\n",
        L"\t--get-http-port        : Returns the currently configured http port\n",
        L"\t--set-max-mem          : Sets the maximum memory the server should acquire\n",
        L"\t              Ex: --set-max-mem 256m : Allocates 256 megabytes for the server\n",
        L"\t                  --set-max-mem 1g   : Allocates   1 gigabyte for the server\n",
        nullptr,
    };
    printLines(kServerLines);
  }
}

void printLegacyUsage() {
  printVersion();
  static const wchar_t* const kHead[] = {
      L"Configures Velmora Agent and Manager\n",
      L"\t-u <username>  : Server username\n",
      L"\t-p <password>  : Server password\n",
      L"\t-h <port>      : http port\n",
      L"\t-s <port>      : https port\n",
      L"\t-a <port>      : agent port\n",
      L"\t-d [true|false]    : agent debug mode\n",
      L"\t-m <memory in mb>       : Sets the maximum memory the server should acquire\n",
      L"\t-g <url>       : Get KZP Server key\n",
      nullptr,
  };
  printLines(kHead);
  printLines(kKeyUrlLines);
  static const wchar_t* const kTail[] = {
      L"\t-l             : list KZP Server keys\n",
      L"\t-r <keyname>   : delete KZP Server key\n",
      L"\t-q             : silent operation\n",
      nullptr,
  };
  printLines(kTail);
}
