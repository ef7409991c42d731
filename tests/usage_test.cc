// The banner and the usage text of the real binary, cut to each kind of
// installation.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "setup/usage.h"
#include "tests/harness/fixtures.h"
#include "tests/harness/run.h"
#include "tests/harness/sandbox.h"

namespace {

using harness::RunResult;
using harness::Sandbox;
using harness::runTool;

const std::string kBanner =
    "tavrik-setup (Velmora Setup/Kestrin) 6.0.0 build 38\n"
    "Build Date: 2018/03/15 14:56:02\n"
    "Copyright (C) the Velmora developers. All rights reserved.\n"
    "---\n";
const std::string kAlways = "\t--version\n\t--help\n";
const std::string kAgentHead =
    "Agent options:\n"
    "--------------\n"
    "\t--get-module           : Retrieve a kernel module\n"
    "\t--no-scripts           : Dont run internal scripts for kernel module\n"
    "\t--tarball-only <file>  : Build a tarball only\n"
    "\t--custom-version [major].[minor].[build]-[release]\n"
    "\t--experimental         : Get an experimental driver\n"
    "\t--module-type [zelt|backupdriver]\n"
    "\t--dest <destination>   : Destination for the kernel module\n"
    "\t--kernel-dir <source>  : Specify the kernel directory\n"
    "\t--test-connection      : Tests the connection to the servers\n"
    "\t--no-binary            : build everything, dont use a pre-built binary module\n"
    "\t--binary-only          : Get a binary module only, dont build a module from headers\n"
    "\t--silent               : Operate silently\n";
const std::string kAgentPort =
    "\t--agent-port           : Set the port that the agent listens on\n"
    "\t--agent-bind-addr      : Set the bind address for the agent\n"
    "\t--get-agent-bind-addr  : Get the bind address for the agent\n";
const std::string kBeta = "\t--beta                 : Retrieve a beta driver (if it exists)\n";
const std::string kKeys =
    "\t--get-key <url>        : Retrieve a key from a kzpserver\n"
    "\tValid Key urls:\n"
    "\t\thttps://<server>:<port>\n"
    "\t\thttps://<server>\n"
    "\t\thttp://<server>:<port>\n"
    "\t\thttp://<server>\n"
    "\t--remove-key <name>    : Remove a key\n"
    "\t--list-keys            : Lists all installed keys\n"
    "\t--stdin-key            : Enters a key from stdin\n"
    "\t--key-filename <name>  : The name of the key file. Generated if none specified\n";
const std::string kServer =
    "Server options:\n"
    "---------------\n"
    "\t--user <username>      : Sets the username for the kzp server\n"
    "\t--pass <password>      : Sets the password for the kzp server\n"
    "\t--http-port <port>     : Sets the http port for the kzp server\n"
    "\t--https-port <port>    : Sets the https port for the kzp server\n"
    "\t--force <port>         : Force setting of values\n"
    "\t--get-https-port       : Returns the currently configured https port\n"
    "\t--get-http-port        : Returns the currently configured http port\n"
    "\t--set-max-mem          : Sets the maximum memory the server should acquire\n"
    "\t              Ex: --set-max-mem 256m : Allocates 256 megabytes for the server\n"
    "\t                  --set-max-mem 1g   : Allocates   1 gigabyte for the server\n";
const std::string kZelt = "Builds zelt kernel modules\n";
const std::string kBackupdriver = "Builds backupdriver kernel modules\n";

using harness::Install;

struct UsageCase {
  const char* kind;
  std::vector<Install> installed;
  std::string usage;
};

}  // namespace

TEST(Usage, CutToTheInstalledProducts) {
  const UsageCase cases[] = {
      {"nothing installed", {Install::kNothing}, kBanner + kZelt + kAlways},
      {"agent only", {Install::kAgentOnly}, kBanner + kBackupdriver + kAlways + kAgentHead + kAgentPort + kBeta},
      {"zelt driver only", {Install::kDriverOnly}, kBanner + kZelt + kAlways + kAgentHead + kBeta},
      {"full agent", {Install::kFullAgent}, kBanner + kZelt + kAlways + kAgentHead + kAgentPort + kBeta + kKeys},
      {"manager", {Install::kManager}, kBanner + kZelt + kAlways + kServer},
      {"agent and manager",
       {Install::kFullAgent, Install::kManager},
       kBanner + kZelt + kAlways + kAgentHead + kAgentPort + kBeta + kKeys + kServer},
      {"Orrin console", {Install::kConsole}, kBanner + kZelt + kAlways + kServer},
      // The agent config beside the full agent's binary: not agent-only.
      {"agent config and full agent",
       {Install::kAgentOnly, Install::kFullAgent},
       kBanner + kZelt + kAlways + kAgentHead + kAgentPort + kBeta + kKeys},
      // The zelt driver beside the product directory: not driver-only.
      {"zelt with the manager", {Install::kDriverOnly, Install::kManager}, kBanner + kZelt + kAlways + kServer},
  };
  for (const UsageCase& c : cases) {
    SCOPED_TRACE(c.kind);
    Sandbox box;
    for (Install kind : c.installed) harness::installProduct(box, kind);
    RunResult help = runTool({"--help"});
    EXPECT_TRUE(help.exited(0)) << harness::describe(help);
    EXPECT_EQ(help.out, c.usage);
    EXPECT_EQ(help.err, "");
    // A usage error prints the same text with status 1.
    RunResult bad = runTool({"-x"});
    EXPECT_TRUE(bad.exited(1)) << harness::describe(bad);
    EXPECT_EQ(bad.out, c.usage);
    EXPECT_EQ(bad.err, "Unknown option `-x'.\n");
  }
}

TEST(Usage, ProductTestsFollowLinksAndCountDirectories) {
  Sandbox box;
  // A dangling link counts as absent, a directory as present.
  box.makeSymlink("/nowhere", "/usr/sbin/tavrik-orrin-console");
  box.makeDirs("/usr/sbin/tavrik/bin/kzpserver");
  RunResult r = runTool({"--help"});
  EXPECT_EQ(r.out, kBanner + kZelt + kAlways + kServer);
}

TEST(Version, BannerThenSeparatorWithAnyOtherOption) {
  Sandbox box;
  for (auto args : std::vector<std::vector<std::string>>{{"--version"}, {"-v"}, {"--silent", "--version", "-x"},
                                                           {"--vers"}}) {
    RunResult r = runTool(args);
    EXPECT_TRUE(r.exited(0)) << harness::describe(r);
    EXPECT_EQ(r.out, kBanner);
    EXPECT_EQ(r.err, "");
  }
}

TEST(LegacyUsage, OlderSingleLetterList) {
  testing::internal::CaptureStdout();
  printLegacyUsage();
  std::fflush(stdout);
  std::string out = testing::internal::GetCapturedStdout();
  // programName is set by main; in process it keeps its initial value.
  const std::string banner = "PROGRAM_NAME_UNDEFINED" + kBanner.substr(kBanner.find(' '));
  EXPECT_EQ(out, banner +
                     "Configures Velmora Agent and Manager\n"
                     "\t-u <username>  : Server username\n"
                     "\t-p <password>  : Server password\n"
                     "\t-h <port>      : http port\n"
                     "\t-s <port>      : https port\n"
                     "\t-a <port>      : agent port\n"
                     "\t-d [true|false]    : agent debug mode\n"
                     "\t-m <memory in mb>       : Sets the maximum memory the server should acquire\n"
                     "\t-g <url>       : Get KZP Server key\n"
                     "\tValid Key urls:\n"
                     "\t\thttps://<server>:<port>\n"
                     "\t\thttps://<server>\n"
                     "\t\thttp://<server>:<port>\n"
                     "\t\thttp://<server>\n"
                     "\t-l             : list KZP Server keys\n"
                     "\t-r <keyname>   : delete KZP Server key\n"
                     "\t-q             : silent operation\n");
}
