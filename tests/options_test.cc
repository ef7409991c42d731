// The option parser against glibc's real getopt_long, in process: what each
// command line sets, what it prints, and where the parse stops.
#include "setup/options.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "setup/settings.h"

namespace {

void resetSettings() {
  silentMode = debugEnabled = moduleRequested = 0;
  writeDefaultsRequested = forcePortChange = experimentalBuild = false;
  for (OptText* text : {&httpPortArg, &httpsPortArg, &adminUser, &adminPassword, &maxMemoryArg, &workDirOverride,
                        &agentPortArg, &agentBindAddrArg, &keyUrl, &removeKeyName, &keyFilename, &kernelDir,
                        &customVersion})
    text->reset();
  getHttpPortRequested = getHttpsPortRequested = 0;
  agentDebugValue = setAgentDebugRequested = false;
  getAgentBindAddrRequested = 0;
  getKeyRequested = removeKeyRequested = listKeysRequested = false;
  stdinKeyRequested = 0;
  buildServiceHost = kDefaultBuildServiceHost;
  moduleType = 4;
  betaRequested = testConnection = forceUpdate = noBinary = cacheonly = headerOnly = noScripts = 0;
  tarballName.clear();
  destDir.clear();
  archFormValue.clear();
}

struct ParseResult {
  int result;
  std::string out;
  std::string err;
};

int parseOnly(std::vector<std::string> args) {
  resetSettings();
  args.insert(args.begin(), "tavrik-setup");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return parseOptions(static_cast<int>(args.size()), argv.data());
}

ParseResult parse(std::vector<std::string> args) {
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  int result = parseOnly(std::move(args));
  std::fflush(stdout);
  ParseResult r{result, testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()};
  return r;
}

struct ErrorCase {
  std::vector<std::string> args;
  std::string err;
};

}  // namespace

// Every usage error stops the parse with one line on standard error, decided
// by the character getopt_long reports.
TEST(ParseOptions, UsageErrorsByReportedCharacter) {
  const std::vector<ErrorCase> cases = {
      {{"--set-max-mem"}, "Option -m requires an argument.\n"},
      {{"-m"}, "Option -m requires an argument.\n"},
      {{"--agent-debug"}, "Option -: requires an argument.\n"},
      {{"--dev-test-paths"}, "Option -8 requires an argument.\n"},
      {{"--module-type"}, "Option -r requires an argument.\n"},
      {{"--custom-version"}, "Option -$ requires an argument.\n"},
      {{"-$"}, "Option -$ requires an argument.\n"},
      {{"--silent", "--arch"}, "Option -a requires an argument.\n"},
      {{"--key-filename"}, "Option -I requires an argument.\n"},
      // Unknown short letters that happen to be value characters of long
      // options read as a missing value.
      {{"-r"}, "Option -r requires an argument.\n"},
      {{"-k"}, "Option -k requires an argument.\n"},
      {{"-E"}, "Option -E requires an argument.\n"},
      {{"-d"}, "Option -d requires an argument.\n"},
      {{"-8"}, "Option -8 requires an argument.\n"},
      {{"-x"}, "Unknown option `-x'.\n"},
      {{"-q"}, "Unknown option `-q'.\n"},
      {{"-2"}, "Unknown option `-2'.\n"},
      // A flag given a value with "=" is reported with its own character.
      {{"--silent=yes"}, "Unknown option `-9'.\n"},
      {{"--help=1"}, "Unknown option `-h'.\n"},
      {{"--bogus"}, "One or more options missing\n"},
      {{"--get"}, "One or more options missing\n"},  // ambiguous prefix
      {{"--a"}, "One or more options missing\n"},
      // A byte above 127 is no printable option letter.
      {{"-\xc3\xa9"}, "One or more options missing\n"},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
    ParseResult r = parse(c.args);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
}

TEST(ParseOptions, ParseStopsAtTheFirstError) {
  ParseResult r = parse({"--silent", "-x", "--debug", "-y"});
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.err, "Unknown option `-x'.\n");
  EXPECT_EQ(silentMode, 1);
  EXPECT_EQ(debugEnabled, 0);
}

TEST(ParseOptions, MissingPasswordValueIsNoError) {
  ParseResult r = parse({"-u", "admin", "-p"});
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(adminUser, "admin");
  EXPECT_FALSE(adminPassword);
  // The long form given last with no value is ignored the same way.
  r = parse({"--user", "admin", "--pass"});
  EXPECT_EQ(r.result, 1);
  EXPECT_FALSE(adminPassword);
}

TEST(ParseOptions, RequiredValueSwallowsNextArgument) {
  ParseResult r = parse({"--set-max-mem", "--silent"});
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(maxMemoryArg, "--silent");
  EXPECT_EQ(silentMode, 0);
}

TEST(ParseOptions, NonOptionArgumentsReportedInOrderAfterParsing) {
  ParseResult r = parse({"first", "--force", "80", "--silent", "--", "--debug"});
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.out, "Non-option argument first\nNon-option argument 80\nNon-option argument --debug\n");
  EXPECT_TRUE(forcePortChange);
  EXPECT_EQ(silentMode, 1);
  EXPECT_EQ(debugEnabled, 0);
}

TEST(ParseOptions, ValueFormsAndPrefixes) {
  ParseResult r = parse({"--sil", "--dest=/opt/mods", "-m256m", "-z", "8443", "--http-p", "8080", "--us=root"});
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(silentMode, 1);
  EXPECT_EQ(destDir, "/opt/mods");
  EXPECT_EQ(maxMemoryArg, "256m");
  EXPECT_EQ(httpsPortArg, "8443");
  EXPECT_EQ(httpPortArg, "8080");
  EXPECT_EQ(adminUser, "root");
  r = parse({"--user", "a", "--user", "b"});
  EXPECT_EQ(adminUser, "b");
}

// Each option without a value and the settings it turns on.
TEST(ParseOptions, FlagRows) {
  struct FlagCase {
    const char* option;
    std::function<bool()> set;
  };
  const std::vector<FlagCase> cases = {
      {"--no-scripts", [] { return noScripts == 1 && moduleRequested == 0; }},
      {"--silent", [] { return silentMode == 1; }},
      {"--binary-only", [] { return moduleRequested == 1 && cacheonly == 1; }},
      {"-[", [] { return moduleRequested == 1 && cacheonly == 1; }},
      {"--defaults", [] { return writeDefaultsRequested; }},
      {"--get-module", [] { return moduleRequested == 1; }},
      {"--get-https-port", [] { return getHttpsPortRequested == 1 && getHttpPortRequested == 0; }},
      {"--force", [] { return forcePortChange; }},
      {"--get-http-port", [] { return getHttpPortRequested == 1 && getHttpsPortRequested == 0; }},
      {"--test-connection", [] { return moduleRequested == 1 && testConnection == 1; }},
      {"--no-binary", [] { return moduleRequested == 1 && noBinary == 1; }},
      {"--beta", [] { return moduleRequested == 1 && betaRequested == 1; }},
      {"--header-only", [] { return moduleRequested == 1 && headerOnly == 1; }},
      {"--force-update", [] { return forceUpdate == 1 && moduleRequested == 0; }},
      {"--list-keys", [] { return listKeysRequested; }},
      {"--stdin-key", [] { return stdinKeyRequested == 1; }},
      {"--get-agent-bind-addr", [] { return getAgentBindAddrRequested == 1; }},
      {"--experimental", [] { return experimentalBuild; }},
  };
  for (const FlagCase& c : cases) {
    SCOPED_TRACE(c.option);
    ParseResult r = parse({c.option});
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(c.set());
  }
}

// Each option with a value and where the value goes.
TEST(ParseOptions, ValueRows) {
  struct ValueCase {
    std::vector<std::string> args;
    std::function<bool()> set;
  };
  const std::vector<ValueCase> cases = {
      {{"--user", "u1"}, [] { return adminUser == "u1"; }},
      {{"-u", "u1"}, [] { return adminUser == "u1"; }},
      {{"--pass", "pw"}, [] { return adminPassword == "pw"; }},
      {{"-p", "pw"}, [] { return adminPassword == "pw"; }},
      {{"--dev-test-paths", "/tmp/w/"}, [] { return workDirOverride == "/tmp/w/"; }},
      {{"--tarball-only", "/tmp/k.tgz"},
       [] { return headerOnly == 1 && moduleRequested == 1 && noBinary == 1 && tarballName == "/tmp/k.tgz"; }},
      {{"-l", "t"}, [] { return tarballName == "t" && headerOnly == 1; }},
      {{"--custom-version", "1abc"}, [] { return customVersion == "1abc" && noBinary == 1 && moduleRequested == 0; }},
      {{"-$", "5"}, [] { return customVersion == "5"; }},
      {{"--module-type", "backupdriver"}, [] { return moduleType == 3; }},
      {{"--module-type", "zelt"}, [] { return moduleType == 4; }},
      {{"--http-port", "80"}, [] { return httpPortArg == "80"; }},
      {{"-c", "80"}, [] { return httpPortArg == "80"; }},
      {{"--https-port", "443"}, [] { return httpsPortArg == "443"; }},
      {{"--kernel-dir", "/usr/src/k"}, [] { return kernelDir == "/usr/src/k" && noScripts == 1; }},
      {{"--agent-port", "9000"}, [] { return agentPortArg == "9000"; }},
      {{"--agent-debug", "true"}, [] { return setAgentDebugRequested && agentDebugValue; }},
      {{"--agent-debug", "TRUE"}, [] { return setAgentDebugRequested && agentDebugValue; }},
      {{"--agent-debug", "false"}, [] { return setAgentDebugRequested && !agentDebugValue; }},
      {{"--agent-debug", "FALSE"}, [] { return setAgentDebugRequested && !agentDebugValue; }},
      {{"--get-key", "https://m:1"}, [] { return getKeyRequested && keyUrl == "https://m:1"; }},
      {{"--remove-key", "k1"}, [] { return removeKeyRequested && removeKeyName == "k1"; }},
      {{"--key-filename", "k2"}, [] { return keyFilename == "k2"; }},
      {{"--host", "127.0.0.1"}, [] { return buildServiceHost == "127.0.0.1"; }},
      {{"--agent-bind-addr", "0.0.0.0"}, [] { return agentBindAddrArg == "0.0.0.0"; }},
      {{"--set-max-mem", "1g"}, [] { return maxMemoryArg == "1g"; }},
      {{"--arch", "x86_64"}, [] { return archFormValue == "2\n"; }},
      {{"-a", "i686"}, [] { return archFormValue == "1\n"; }},
      {{"--arch", "X86_64"}, [] { return archFormValue == "1\n"; }},
  };
  for (const ValueCase& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    ParseResult r = parse(c.args);
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(c.set());
  }
}

TEST(ParseOptions, InvalidAgentDebugValueIsDroppedNotAnError) {
  ParseResult r = parse({"--agent-debug", "True", "--silent"});
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.out, "Invalid option for --agent-debug\n");
  EXPECT_FALSE(setAgentDebugRequested);
  EXPECT_EQ(silentMode, 1);
}

TEST(ParseOptions, DebugLineAndDestinationTraceFollowCommandLineOrder) {
  ParseResult r = parse({"--debug", "--dest", "/d"});
  EXPECT_EQ(r.out, "DEBUG!!\ndebug: Setting new destination directory: /d\n\n");
  r = parse({"--dest", "/d", "--debug"});
  EXPECT_EQ(r.out, "DEBUG!!\n");
}

TEST(ParseOptions, FixedBufferValuesAreCut) {
  std::string longValue(30000, 'x');
  parse({"--dest", longValue, "--tarball-only", longValue});
  EXPECT_EQ(destDir, std::string(kPathBufferSize - 1, 'x'));
  EXPECT_EQ(tarballName, std::string(kPathBufferSize - 1, 'x'));
  // Other texts are kept whole.
  parse({"--dev-test-paths", longValue});
  EXPECT_EQ(workDirOverride, longValue);
}

TEST(ArchCode, OnlyExactX86_64IsTwo) {
  EXPECT_EQ(archCode("x86_64"), "2\n");
  for (const char* m : {"i686", "aarch64", "X86_64", "x86_64 ", ""}) EXPECT_EQ(archCode(m), "1\n") << m;
}

TEST(ArchCode, TracesTheName) {
  debugEnabled = 1;
  testing::internal::CaptureStdout();
  archCode("i686");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "debug: setting arch = i686\n");
  debugEnabled = 0;
}

using ParseOptionsDeathTest = testing::Test;

TEST(ParseOptionsDeathTest, ValueFailuresEndTheProcessWithStatusOne) {
  EXPECT_EXIT(parseOnly({"--module-type", "Zelt"}), testing::ExitedWithCode(1), "");
  EXPECT_EXIT(parseOnly({"--module-type", "BACKUPDRIVER"}), testing::ExitedWithCode(1), "");
  EXPECT_EXIT(parseOnly({"--custom-version", "x1"}), testing::ExitedWithCode(1), "");
  EXPECT_EXIT(parseOnly({"--custom-version", ""}), testing::ExitedWithCode(1), "");
  // --help and --version end the parse before later errors are seen.
  EXPECT_EXIT(parseOnly({"--help", "--bogus"}), testing::ExitedWithCode(0), "");
  EXPECT_EXIT(parseOnly({"--version", "-x"}), testing::ExitedWithCode(0), "");
}
