#include "config/web_settings.h"

#include <cerrno>
#include <cstring>

#include "config/port_in_use.h"
#include "config/text_reading.h"
#include "setup/file_replacer.h"
#include "setup/files.h"
#include "setup/output.h"
#include "setup/settings.h"
#include "setup/unique_fd.h"

WebSettings webSettings;

namespace {

constexpr const char* kWebPropertiesName = "conf/web.properties";
constexpr std::size_t kLinePiece = 2047;  // read through a 2048-byte line buffer

// Why the last read failed: 0 after a successful read, ENOENT when the file
// is missing, -1 when there is no working directory.
int lastReadError = 0;

bool workingDirectory(std::string* dir) {
  std::optional<std::string> found = getServerWorkingDir(kProductServer);
  if (!found) {
    printError(L"ERROR: Could not determine KZP Server Working directory\n");
    return false;
  }
  *dir = std::move(*found);
  return true;
}

std::string webPropertiesPath(const std::string& dir) { return dir + "/" + kWebPropertiesName; }

bool startsWith(const std::string& text, const char* key) {
  return text.compare(0, std::strlen(key), key) == 0;
}

// The notices pair the console edition with "KZP Server" and the plain
// manager with "Halvard Console"; users and scripts see these exact words.
const wchar_t* httpNotice() {
  return isConsoleInstalled() ? L"Attempting to set HTTP port for KZP Server\n"
                              : L"Attempting to set HTTP port for Halvard Console\n";
}
const wchar_t* httpsNotice() {
  return isConsoleInstalled() ? L"Attempting to set HTTPS port for KZP Server\n"
                              : L"Attempting to set HTTPS port for Halvard Console\n";
}

bool readFailedBadly() { return lastReadError != 0 && lastReadError != ENOENT && lastReadError != -1; }

}  // namespace

void applyWebSettingsLine(WebSettings& s, const std::string& line) {
  std::size_t eq = line.find('=');
  // A line without "=" sets nothing, whether or not it starts with a key
  // (the empty line after a keystore value is one of these).
  if (eq == std::string::npos) return;
  std::string value = line.substr(eq + 1);
  auto flag = [&value]() -> unsigned char { return value.compare(0, 4, "true") == 0 ? 1 : 0; };
  if (startsWith(line, "http-enabled")) {
    s.httpEnabled = flag();
  } else if (startsWith(line, "http-port")) {
    s.httpPort = parseLeadingInt32(value);
  } else if (startsWith(line, "http-max-connections")) {
    s.httpMaxConnections = parseLeadingInt32(value);
  } else if (startsWith(line, "ssl-enabled")) {
    s.sslEnabled = flag();
  } else if (startsWith(line, "ssl-port")) {
    s.sslPort = parseLeadingInt32(value);
  } else if (startsWith(line, "ssl-max-connections")) {
    s.sslMaxConnections = parseLeadingInt32(value);
  } else if (startsWith(line, "ssl-keystore")) {
    s.sslKeystore = value;
  }
}

std::string formatWebSettings(const WebSettings& s, const std::string& workDir) {
  std::string text;
  text += s.httpEnabled ? "http-enabled=true\n" : "http-enabled=false\n";
  text += formatNarrow("http-port=%d\n", s.httpPort);
  text += formatNarrow("http-max-connections=%d\n", s.httpMaxConnections);
  text += s.sslEnabled ? "ssl-enabled=true\n" : "ssl-enabled=false\n";
  text += formatNarrow("ssl-port=%d\n", s.sslPort);
  text += formatNarrow("ssl-max-connections=%d\n", s.sslMaxConnections);
  if (s.sslKeystore) {
    text += "ssl-keystore=" + *s.sslKeystore + "\n";
  } else {
    text += "ssl-keystore=" + workDir + "/conf/keystore\n";
  }
  return text;
}

int ReadJettyConfig() {
  printDebug("ReadJettyConfig");
  std::string dir;
  if (!workingDirectory(&dir)) {
    lastReadError = -1;
    return 0;
  }
  UniqueFile file(std::fopen(webPropertiesPath(dir).c_str(), "r"));
  if (!file) {
    lastReadError = errno;
    return 0;
  }
  // Settings are applied into a copy so that a read failing half-way
  // changes nothing.
  WebSettings read = webSettings;
  std::string line;
  while (readPiece(file.get(), kLinePiece, &line)) applyWebSettingsLine(read, line);
  if (std::ferror(file.get())) {
    lastReadError = errno ? errno : EIO;
    return 0;
  }
  webSettings = read;
  lastReadError = 0;
  return 1;
}

int WriteServerConfig() {
  std::string dir;
  if (!workingDirectory(&dir)) return 0;
  const std::string path = webPropertiesPath(dir);
  std::string err;
  FileReplacer file(path);
  if (!file.open(&err)) {
    printDebug("Failed to open outfile");
    return 0;
  }
  if (!file.write(formatWebSettings(webSettings, dir), &err) || !file.commit(&err)) {
    printDebug("Failed to write outfile: %s", err.c_str());
    return 0;
  }
  printDebug("Successfully wrote file");
  return 1;
}

OptText getHttpPort() {
  ReadJettyConfig();
  return formatNarrow("%d", webSettings.httpPort);
}

OptText getHttpsPort() {
  ReadJettyConfig();
  return formatNarrow("%d", webSettings.sslPort);
}

namespace {

// The checks both setters share, after the file was read: the range, then
// the in-use test. 0 when the port is refused (message printed).
int checkPort(std::int64_t port) {
  if (port > kMaxManagerPort || port <= 0) {
    printError(L"port argument must be between 1 and %d\n", kMaxManagerPort);
    return 0;
  }
  if (isPortInUse(static_cast<int>(port)) && !forcePortChange) {
    printInfo(L"Port %d is in use. Use --force to override\n", static_cast<int>(port));
    return 0;
  }
  return 1;
}

// An existing file that could not be read must not be replaced by the
// built-in settings; the reason is shown since main's text does not say it.
int refuseUnreadFile() {
  std::string dir = getServerWorkingDir(kProductServer).value_or(std::string());
  printError(L"Could not read '%s':%s\n", webPropertiesPath(dir).c_str(), std::strerror(lastReadError));
  return 0;
}

}  // namespace

int setHttpPort(const char* portText) {
  if (!portText) {
    printError(L"server port cannot be null\n");
    return 0;
  }
  ReadJettyConfig();
  std::int64_t port = parseLeadingInteger(portText);
  if (!checkPort(port)) return 0;
  printInfo(httpNotice());
  if (readFailedBadly()) return refuseUnreadFile();
  webSettings.httpPort = static_cast<std::int32_t>(port);
  int written = WriteServerConfig();
  printDebug("ret (WriteServerConfig()=%d", written);
  if (written == 0) {
    printDebug("failed to write data");
    return 0;
  }
  return 1;
}

int setHttpsPort(const char* portText) {
  printDebug("setHttpsPort");
  if (!portText) {
    printError(L"server port cannot be null\n");
    return 0;
  }
  printInfo(httpsNotice());
  ReadJettyConfig();
  std::int64_t port = parseLeadingInteger(portText);
  if (!checkPort(port)) return 0;
  if (readFailedBadly()) return refuseUnreadFile();
  printDebug("Setting http port for server: %s", portText);
  webSettings.sslPort = static_cast<std::int32_t>(port);
  int written = WriteServerConfig();
  printDebug("ret (WriteServerConfig()=%d", written);
  if (written == 0) return 0;
  printDebug("returning success");
  return 1;
}
