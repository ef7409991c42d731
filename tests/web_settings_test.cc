// Manager web settings: the reader's line rules, the seven-line writer, and
// the port options run end to end on the built tool.
#include "config/web_settings.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "tests/harness/fixtures.h"
#include "tests/harness/run.h"
#include "tests/harness/sandbox.h"
#include "tests/harness/tool.h"

using namespace harness;

namespace {

const std::string kWork = kTestWorkDir;
const std::string kProps = kWork + "/conf/web.properties";
const std::string kPortSet = kWork + "/conf/.port_set";

std::string sevenLines(int httpPort, int sslPort, const std::string& keystoreLine) {
  return "http-enabled=true\nhttp-port=" + std::to_string(httpPort) +
         "\nhttp-max-connections=100\nssl-enabled=true\nssl-port=" + std::to_string(sslPort) +
         "\nssl-max-connections=100\n" + keystoreLine;
}
std::string defaultKeystore() { return "ssl-keystore=" + kWork + "/conf/keystore\n"; }
// A keystore value read from the file keeps its line end, so a rewrite puts
// one empty line after it.
std::string rereadKeystore() { return defaultKeystore() + "\n"; }

// netstat that lists nothing: every port free, and no real command involved.
void quietNetstat(Sandbox& box) {
  box.bindFile("/usr/bin/netstat", "#!/bin/sh\necho 'Active Internet connections (servers and established)'\n", 0755);
}

// --- reader rules, in process ---

TEST(WebSettingsLines, EachKeySetsItsSettingByPrefix) {
  struct Case {
    const char* line;
    WebSettings expected;
  };
  auto with = [](auto change) {
    WebSettings s;
    change(s);
    return s;
  };
  const Case cases[] = {
      {"http-enabled=false\n", with([](WebSettings& s) { s.httpEnabled = 0; })},
      {"http-enabled=TRUE\n", with([](WebSettings& s) { s.httpEnabled = 0; })},
      {"ssl-enabled=trueish\n", with([](WebSettings&) {})},
      {"ssl-enabled=no\n", with([](WebSettings& s) { s.sslEnabled = 0; })},
      {"http-port = 81 \n", with([](WebSettings& s) { s.httpPort = 81; })},
      {"http-port=8080abc\n", with([](WebSettings& s) { s.httpPort = 8080; })},
      {"http-port=4294967376\n", with([](WebSettings& s) { s.httpPort = 2147483647; })},
      {"http-port=-4294967376\n", with([](WebSettings& s) { s.httpPort = -2147483647 - 1; })},
      {"http-max-connections=7\n", with([](WebSettings& s) { s.httpMaxConnections = 7; })},
      {"ssl-port=8443\n", with([](WebSettings& s) { s.sslPort = 8443; })},
      {"ssl-port=\n", with([](WebSettings& s) { s.sslPort = 0; })},
      {"ssl-max-connections=9\n", with([](WebSettings& s) { s.sslMaxConnections = 9; })},
      {"ssl-keystore=/k=s\n", with([](WebSettings& s) { s.sslKeystore = "/k=s\n"; })},
      {"http-portable=5\n", with([](WebSettings& s) { s.httpPort = 5; })},  // keys compare over their length
      {"Http-port=5\n", with([](WebSettings&) {})},
      {"# http-port=5\n", with([](WebSettings&) {})},
      {"\n", with([](WebSettings&) {})},
      {"http-port\n", with([](WebSettings&) {})},  // no "=": nothing set
      {"unknown=1\n", with([](WebSettings&) {})},
  };
  for (const Case& c : cases) {
    WebSettings s;
    applyWebSettingsLine(s, c.line);
    EXPECT_EQ(formatWebSettings(c.expected, "/w"), formatWebSettings(s, "/w")) << c.line;
  }
}

TEST(WebSettingsLines, WriterProducesTheSevenLinesInOrder) {
  WebSettings s;
  EXPECT_EQ(
      "http-enabled=true\nhttp-port=80\nhttp-max-connections=100\nssl-enabled=true\nssl-port=443\n"
      "ssl-max-connections=100\nssl-keystore=/w/conf/keystore\n",
      formatWebSettings(s, "/w"));
  s.httpEnabled = 0;
  s.sslEnabled = 0;
  s.sslKeystore = "/k\n";
  EXPECT_EQ(
      "http-enabled=false\nhttp-port=80\nhttp-max-connections=100\nssl-enabled=false\nssl-port=443\n"
      "ssl-max-connections=100\nssl-keystore=/k\n\n",
      formatWebSettings(s, "/w"));
}

// --- end to end ---

TEST(WebSettingsTool, GettersAnswerDefaultsWithoutAFileAndTheFileOtherwise) {
  Sandbox box;
  box.makeDirs(kWork + "/conf");
  RunResult r = tool({"--get-http-port"});
  EXPECT_TRUE(r.exited(0)) << describe(r);
  EXPECT_EQ("Server HTTP Port: 80\n", r.out);
  r = tool({"--get-https-port"});
  EXPECT_TRUE(r.exited(0)) << describe(r);
  EXPECT_EQ("Server HTTPS Port: 443\n", r.out);

  box.writeFile(kProps, "ssl-port=1\nhttp-port=8080\nssl-port=9443\n");
  EXPECT_EQ("Server HTTP Port: 8080\n", tool({"--get-http-port"}).out);
  // The last duplicate wins; with both queries only the HTTPS one answers.
  r = tool({"--get-http-port", "--get-https-port"});
  EXPECT_EQ("Server HTTPS Port: 9443\n", r.out);
  EXPECT_FALSE(pathPresent(kPortSet));
}

TEST(WebSettingsTool, HttpPortCreatesTheFileWithDefaultsAndWritesTheMarker) {
  Sandbox box;
  installProduct(box, Install::kManager);
  quietNetstat(box);
  box.makeDirs(kWork + "/conf");
  RunResult r = tool({"--http-port", "8080"});
  EXPECT_TRUE(r.exited(0)) << describe(r);
  EXPECT_EQ(std::string("Attempting to set HTTP port for Halvard Console\nServer HTTP Port set\n") + kManagerRestart,
            r.out);
  EXPECT_EQ(sevenLines(8080, 443, defaultKeystore()), readFile(kProps));
  EXPECT_EQ("1", readFile(kPortSet));
}

TEST(WebSettingsTool, ConsoleWordingAndBothPortsInOneRun) {
  Sandbox box;
  installProduct(box, Install::kManager);
  installProduct(box, Install::kConsole);
  quietNetstat(box);
  box.makeDirs(kWork + "/conf");
  RunResult r = tool({"--http-port", "81", "--https-port", "8443"});
  EXPECT_TRUE(r.exited(0)) << describe(r);
  EXPECT_EQ(std::string("Attempting to set HTTPS port for KZP Server\nServer HTTPS Port set\n") + kConsoleRestart +
                "Attempting to set HTTP port for KZP Server\nServer HTTP Port set\n" + kConsoleRestart,
            r.out);
  EXPECT_EQ(sevenLines(81, 8443, rereadKeystore()), readFile(kProps));
  EXPECT_EQ("1", readFile(kPortSet));
}

TEST(WebSettingsTool, PortRangeAndNumberReading) {
  Sandbox box;
  quietNetstat(box);
  box.makeDirs(kWork + "/conf");
  struct Case {
    const char* value;
    int written;  // 0: refused
  };
  const Case cases[] = {{"32767", 32767}, {"1", 1},        {"8080abc", 8080}, {" +90", 90},
                        {"32768", 0},     {"0", 0},        {"-5", 0},         {"abc", 0},
                        {"", 0},          {"4294967376", 0}, {"99999999999999999999", 0}};
  for (const Case& c : cases) {
    box.writeFile(kProps, sevenLines(1000, 1001, defaultKeystore()));
    for (const char* option : {"--http-port", "--https-port"}) {
      RunResult r = tool({option, c.value});
      bool https = std::string(option) == "--https-port";
      if (c.written) {
        EXPECT_TRUE(r.exited(0)) << option << " " << c.value << describe(r);
        EXPECT_EQ(https ? sevenLines(1000, c.written, rereadKeystore()) : sevenLines(c.written, 1001, rereadKeystore()),
                  readFile(kProps))
            << option << " " << c.value;
        box.writeFile(kProps, sevenLines(1000, 1001, defaultKeystore()));
      } else {
        EXPECT_TRUE(r.exited(1)) << option << " " << c.value << describe(r);
        // The HTTPS notice comes before the range test; the HTTP one after it.
        EXPECT_EQ(std::string(https ? "Attempting to set HTTPS port for Halvard Console\n" : "") +
                      "port argument must be between 1 and 32767\nFailed to set port for server\n",
                  r.out)
            << option << " " << c.value;
        EXPECT_EQ(sevenLines(1000, 1001, defaultKeystore()), readFile(kProps));
      }
    }
  }
  EXPECT_EQ("1", readFile(kPortSet));
}

TEST(WebSettingsTool, SilentHidesOnlyTheHttpsFailureText) {
  Sandbox box;
  quietNetstat(box);
  box.makeDirs(kWork + "/conf");
  RunResult r = tool({"--silent", "--https-port", "0"});
  EXPECT_TRUE(r.exited(1)) << describe(r);
  EXPECT_EQ("Attempting to set HTTPS port for Halvard Console\nport argument must be between 1 and 32767\n", r.out);
  r = tool({"--silent", "--http-port", "0"});
  EXPECT_TRUE(r.exited(1)) << describe(r);
  EXPECT_EQ("port argument must be between 1 and 32767\nFailed to set port for server\n", r.out);
  r = tool({"--silent", "--http-port", "82"});
  EXPECT_TRUE(r.exited(0)) << describe(r);
  EXPECT_EQ("Attempting to set HTTP port for Halvard Console\n", r.out);
  EXPECT_EQ("1", readFile(kPortSet));
  // The rewrite leaves no temporary file of its own beside the two.
  EXPECT_EQ(".port_set\nweb.properties\n", shell("ls -A " + kWork + "/conf"));
}

TEST(WebSettingsTool, DefaultsOverwriteWhateverTheFileHeld) {
  Sandbox box;
  box.makeDirs(kWork + "/conf");
  box.writeFile(kProps, "# comment\nhttp-port=1\nssl-keystore=/elsewhere\nother=2\n", 0640);
  RunResult r = tool({"--defaults", "--http-port", "5"});
  EXPECT_TRUE(r.exited(0)) << describe(r);
  EXPECT_EQ("", r.out);
  EXPECT_EQ(sevenLines(80, 443, defaultKeystore()), readFile(kProps));
  EXPECT_EQ(0640u, modeOf(kProps));
  EXPECT_FALSE(pathPresent(kPortSet));
}

TEST(WebSettingsTool, RewriteKeepsFlagsAndKeystoreAndDropsEverythingElse) {
  Sandbox box;
  quietNetstat(box);
  box.makeDirs(kWork + "/conf");
  box.writeFile(kProps,
                "# managed by hand\n\nhttp-enabled=false\nssl-enabled=true\nhttp-port = 81\nunknown=x\n"
                "ssl-keystore=/opt/keys/store\n");
  ASSERT_TRUE(tool({"--https-port", "8443"}).exited(0));
  const std::string once =
      "http-enabled=false\nhttp-port=81\nhttp-max-connections=100\nssl-enabled=true\nssl-port=8443\n"
      "ssl-max-connections=100\nssl-keystore=/opt/keys/store\n\n";
  EXPECT_EQ(once, readFile(kProps));
  // Later rewrites keep the one empty line after the keystore and add none.
  ASSERT_TRUE(tool({"--https-port", "8443"}).exited(0));
  ASSERT_TRUE(tool({"--http-port", "81"}).exited(0));
  EXPECT_EQ(once, readFile(kProps));
}

TEST(WebSettingsTool, PortInUseIsRefusedUnlessForced) {
  Sandbox box;
  box.makeDirs(kWork + "/conf");
  box.bindFile("/usr/bin/netstat",
               "#!/bin/sh\necho 'Proto Recv-Q Send-Q Local Address Foreign Address State PID/Program name'\n"
               "echo 'tcp 0 0 0.0.0.0:8080 0.0.0.0:* LISTEN 1/x'\n",
               0755);
  box.writeFile(kProps, sevenLines(80, 443, defaultKeystore()));
  for (const char* option : {"--http-port", "--https-port"}) {
    RunResult r = tool({option, "8080"});
    EXPECT_TRUE(r.exited(1)) << describe(r);
    EXPECT_NE(std::string::npos, r.out.find("Port 8080 is in use. Use --force to override\n")) << r.out;
    EXPECT_EQ(sevenLines(80, 443, defaultKeystore()), readFile(kProps));
  }
  RunResult r = tool({"--force", "--http-port", "8080"});
  EXPECT_TRUE(r.exited(0)) << describe(r);
  EXPECT_EQ(sevenLines(8080, 443, rereadKeystore()), readFile(kProps));
}

TEST(WebSettingsTool, DebugTracesOfTheSetters) {
  Sandbox box;
  quietNetstat(box);
  box.makeDirs(kWork + "/conf");
  RunResult r = tool({"--debug", "--https-port", "444"});
  EXPECT_TRUE(r.exited(0)) << describe(r);
  for (const char* line : {"debug: setHttpsPort\n", "debug: ReadJettyConfig\n", "debug: Setting http port for server: 444\n",
                           "debug: Successfully wrote file\n", "debug: ret (WriteServerConfig()=1\n",
                           "debug: returning success\n", "debug: ret=1\n"}) {
    EXPECT_NE(std::string::npos, r.out.find(line)) << line << r.out;
  }
  r = tool({"--debug", "--http-port", "445"});
  EXPECT_NE(std::string::npos, r.out.find("debug: ret (WriteServerConfig()=1\n")) << r.out;
}

// --- nothing lost under faults ---

TEST(WebSettingsFaults, ReadOnlyConfigurationDirectory) {
  Sandbox box;
  quietNetstat(box);
  box.makeDirs(kWork + "/conf");
  ASSERT_EQ(0, ::mount("tmpfs", (kWork + "/conf").c_str(), "tmpfs", 0, "size=64k"));
  box.writeFile(kProps, sevenLines(80, 443, defaultKeystore()));
  ASSERT_EQ(0, ::mount(nullptr, (kWork + "/conf").c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr));
  RunResult r = tool({"--http-port", "81"});
  EXPECT_TRUE(r.exited(1)) << describe(r);
  EXPECT_EQ("Attempting to set HTTP port for Halvard Console\nFailed to set port for server\n", r.out);
  r = tool({"--debug", "--https-port", "444"});
  EXPECT_TRUE(r.exited(1)) << describe(r);
  EXPECT_NE(std::string::npos, r.out.find("debug: Failed to open outfile\n")) << r.out;
  EXPECT_EQ(sevenLines(80, 443, defaultKeystore()), readFile(kProps));
}

// A full file system with no room for a copy of the new settings: they
// still fit in the room the old file holds, so the file is rewritten in
// place, as `printf ... > web.properties` would write it there. The marker
// made after it finds no room.
TEST(WebSettingsFaults, FullFileSystemTakesTheSettingsInPlace) {
  Sandbox box;
  quietNetstat(box);
  box.makeDirs(kWork + "/conf");
  ASSERT_EQ(0, ::mount("tmpfs", (kWork + "/conf").c_str(), "tmpfs", 0, "size=8k"));
  const std::string keystore = "ssl-keystore=/" + std::string(1500, 'k') + "\n";
  box.writeFile(kProps, sevenLines(80, 443, keystore));
  struct stat before;
  ASSERT_EQ(0, ::stat(kProps.c_str(), &before));
  // Fill what is left, so the new copy cannot be written.
  shell("dd if=/dev/zero of=" + kWork + "/conf/filler bs=1k count=64 2>/dev/null");
  RunResult r = tool({"--http-port", "81"});
  EXPECT_TRUE(r.exited(1)) << describe(r);
  EXPECT_EQ(std::string("Attempting to set HTTP port for Halvard Console\nServer HTTP Port set\n") + kManagerRestart +
                "Failed to update config check\n",
            r.out);
  EXPECT_EQ(sevenLines(81, 443, keystore + "\n"), readFile(kProps));
  struct stat after;
  ASSERT_EQ(0, ::stat(kProps.c_str(), &after));
  EXPECT_EQ(before.st_ino, after.st_ino) << "written in place";
  EXPECT_EQ("web.properties\nfiller\n", shell("cd " + kWork + "/conf && ls -a | grep -v '^\\.' | sort -r"));
}

TEST(WebSettingsFaults, AnUnreadableFileIsNotReplacedByDefaults) {
  Sandbox box;
  quietNetstat(box);
  box.makeDirs(kProps);  // a directory opens but cannot be read
  RunResult r = tool({"--http-port", "81"});
  EXPECT_TRUE(r.exited(1)) << describe(r);
  EXPECT_EQ("Attempting to set HTTP port for Halvard Console\nCould not read '" + kProps +
                "':Is a directory\nFailed to set port for server\n",
            r.out);
  struct stat st;
  ASSERT_EQ(0, ::stat(kProps.c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_FALSE(pathPresent(kPortSet));
}

}  // namespace

namespace {

// The installed layout, without --dev-test-paths: the files live under the
// product working directory.
TEST(WebSettingsInstalled, ManagerFilesUnderTheProductDirectory) {
  Sandbox box;
  installProduct(box, Install::kManager);
  installProduct(box, Install::kConsole);
  quietNetstat(box);
  const std::string conf = std::string(kWorkDir) + "/conf/";
  box.writeFile(conf + "web.properties", "http-port=8000\n", 0600);
  RunOptions o;
  o.args = {"--https-port", "8443"};
  o.combined = true;
  RunResult r = runTool(o);
  EXPECT_TRUE(r.exited(0)) << describe(r);
  EXPECT_EQ(std::string("Attempting to set HTTPS port for KZP Server\nServer HTTPS Port set\n") + kConsoleRestart, r.out);
  EXPECT_EQ(
      "http-enabled=true\nhttp-port=8000\nhttp-max-connections=100\nssl-enabled=true\nssl-port=8443\n"
      "ssl-max-connections=100\nssl-keystore=/usr/sbin/tavrik/conf/keystore\n",
      readFile(conf + "web.properties"));
  EXPECT_EQ(0600u, modeOf(conf + "web.properties"));
  EXPECT_EQ("1", readFile(conf + ".port_set"));
  o.args = {"--get-https-port"};
  EXPECT_EQ("Server HTTPS Port: 8443\n", runTool(o).out);
}

}  // namespace
