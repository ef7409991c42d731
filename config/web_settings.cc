#include "config/web_settings.h"

#include <cerrno>
#include <cstring>
#include <optional>

#include "config/port_in_use.h"
#include "config/text_reading.h"
#include "setup/file_replacer.h"
#include "setup/files.h"
#include "setup/line_reader.h"
#include "setup/output.h"
#include "setup/settings.h"
#include "setup/unique_fd.h"

WebSettings webSettings;

namespace {

constexpr const char* kWebPropertiesName = "conf/web.properties";
constexpr std::size_t kLinePiece = 2047;  // read through a 2048-byte line buffer

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

// Reads the file into webSettings (nothing changes unless the whole file was
// read). 0 on success, else why not: ENOENT when the file is missing, -1
// without a working directory, the system's error otherwise. *path gets
// the file's path.
int readWebSettings(std::string* path) {
  printDebug("ReadJettyConfig");
  std::optional<std::string> found = workingPath(kProductServer, kWebPropertiesName, kNoServerWorkingDir);
  if (!found) return -1;
  *path = *found;
  UniqueFile file = openRegularFile(*path);
  if (!file) return errno;
  WebSettings read = webSettings;
  std::string line;
  while (readPiece(file.get(), kLinePiece, &line)) applyWebSettingsLine(read, line);
  if (std::ferror(file.get())) return errno ? errno : EIO;
  webSettings = read;
  return 0;
}

// A missing file leaves the built-in settings; any other failure to read
// an existing file must not let them replace it.
bool readFailedBadly(int readError) { return readError != 0 && readError != ENOENT && readError != -1; }

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
  std::string path;
  return readWebSettings(&path) == 0 ? 1 : 0;
}

namespace {

// The seven lines through a replacer that open() was called on (opened
// tells how that went).
int writeWebSettings(FileReplacer& file, bool opened, const std::string& dir) {
  if (!opened) {
    printDebug("Failed to open outfile");
    return 0;
  }
  std::string err;
  if (!file.write(formatWebSettings(webSettings, dir), &err) || !file.commit(&err)) {
    printDebug("Failed to write outfile: %s", err.c_str());
    return 0;
  }
  printDebug("Successfully wrote file");
  return 1;
}

// The file opened (and locked) before a setter reads it, so that another run
// at the same time can neither lose this one's change nor have its own lost.
struct HeldWebSettings {
  std::optional<std::string> dir = getServerWorkingDir(kProductServer);
  std::optional<FileReplacer> file;
  bool opened = false;

  HeldWebSettings() {
    if (!dir) return;
    file.emplace(*dir + "/" + kWebPropertiesName, FileReplacer::Placement::kInPlace);
    std::string err;
    opened = file->open(&err);
  }
  // Without a working directory the writer reports it, as it always does.
  int write() { return file ? writeWebSettings(*file, opened, *dir) : WriteServerConfig(); }
};

}  // namespace

int WriteServerConfig() {
  std::optional<std::string> found = workingDirOrReport(kProductServer, kNoServerWorkingDir);
  if (!found) return 0;
  // The file is rewritten where the path leads: a link to it stays a link,
  // and a file mounted over the path is written in place.
  FileReplacer file(*found + "/" + kWebPropertiesName, FileReplacer::Placement::kInPlace);
  std::string err;
  bool opened = file.open(&err);
  return writeWebSettings(file, opened, *found);
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

// The reason is shown since main's failure text does not say it.
int refuseUnreadFile(const std::string& path, int readError) {
  printError(L"Could not read '%s':%s\n", path.c_str(), std::strerror(readError));
  return 0;
}

}  // namespace

int setHttpPort(const char* portText) {
  if (!portText) {
    printError(L"server port cannot be null\n");
    return 0;
  }
  HeldWebSettings held;
  std::string path;
  int readError = readWebSettings(&path);
  std::int64_t port = parseLeadingInteger(portText);
  if (!checkPort(port)) return 0;
  printInfo(httpNotice());
  if (readFailedBadly(readError)) return refuseUnreadFile(path, readError);
  webSettings.httpPort = static_cast<std::int32_t>(port);
  int written = held.write();
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
  HeldWebSettings held;
  std::string path;
  int readError = readWebSettings(&path);
  std::int64_t port = parseLeadingInteger(portText);
  if (!checkPort(port)) return 0;
  if (readFailedBadly(readError)) return refuseUnreadFile(path, readError);
  printDebug("Setting http port for server: %s", portText);
  webSettings.sslPort = static_cast<std::int32_t>(port);
  int written = held.write();
  printDebug("ret (WriteServerConfig()=%d", written);
  if (written == 0) return 0;
  printDebug("returning success");
  return 1;
}
