#include "installer/replies.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

#include "installer/state.h"
#include "setup/file_replacer.h"
#include "setup/files.h"
#include "setup/output.h"

namespace {

bool startsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// The module goes in through the shared file replacer: an existing module
// is either kept whole or rewritten whole, in the file the path names (as
// opening it for writing would), and no temporary file is left behind a
// failure. Returns the fatal text, or nullptr.
const char* installModuleFile(const std::string& path, const char* data, std::size_t size) {
  FileReplacer replacer(path, FileReplacer::Placement::kInPlace);
  std::string err;
  if (!replacer.open(&err)) return "unable to open destination file";
  if (!replacer.write(data, size, &err) || !replacer.commit(&err)) return "unable to write destination file";
  return nullptr;
}

}  // namespace

long long readContentLength(const char* text) {
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  long long value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (value > (LLONG_MAX - 9) / 10) return negative ? LLONG_MIN : LLONG_MAX;
    value = value * 10 + (*p - '0');
  }
  return negative ? -value : value;
}

bool isSafeModuleName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name)
    if (c == '/' || c < 0x20 || c == 0x7f) return false;
  return true;
}

int storeAttachedModule(const std::string& header, const std::string& body, const char** fault) {
  printDebug("Checking if file is attached to post...");
  std::size_t line = header.find("Content-Disposition: attachment;");
  if (line == std::string::npos) return 0;
  std::size_t lineEnd = header.find("\r\n", line);
  if (lineEnd == std::string::npos) return *fault = "malformed header in attachment", 0;
  std::string disposition = header.substr(line, lineEnd - line);
  std::size_t nameAt = disposition.find("filename=");
  if (nameAt == std::string::npos) return *fault = "unexpected filename", 0;
  std::string name = disposition.substr(nameAt + std::strlen("filename="));
  // The name comes from the network: it must name a file in destDir itself.
  if (!isSafeModuleName(name)) return *fault = "refusing unsafe file name in attachment", 0;

  std::size_t sizeAt = header.find("Content-Length: ");
  if (sizeAt == std::string::npos) return *fault = "no size specified in headers", 0;
  long long size = readContentLength(header.c_str() + sizeAt + std::strlen("Content-Length: "));
  if (size < 1) return *fault = "incorrect size specified in headers", 0;
  // A cut-off download is never installed.
  if (static_cast<unsigned long long>(size) > body.size())
    return *fault = "module data shorter than the size specified in headers", 0;

  std::string path = destDir + "/" + name;
  if (path.size() >= kModulePathBufferSize) return *fault = "unable to open destination file", 0;
  mkdir(destDir.c_str(), 0755);

  spinnerState = 1;
  showSpinner();
  if (!silentMode) printPlain("\nSaving kernel module to '%s'\n", path.c_str());
  if (const char* failed = installModuleFile(path, body.data(), static_cast<std::size_t>(size)))
    return *fault = failed, 0;
  printDebug("wrote %d bytes to disk", static_cast<int>(size));
  if (silentMode) return 1;
  printPlainLine("Kernel module is now installed.");
  if (!isStandaloneAgentInstall() && !isDriverOnlyInstall())
    printPlainLine("Use '/etc/init.d/kzp-agent restart' to load the new driver");
  return 1;
}

int saveAttachedModule(const std::string& header, const std::string& body) {
  const char* fault = nullptr;
  int saved = storeAttachedModule(header, body, &fault);
  if (fault) fatalError(fault);
  return saved;
}

ReplyParse examineHttpReply(const std::string& reply) {
  ReplyParse result;
  std::size_t end = reply.find("\r\n\r\n");
  if (end == std::string::npos) {
    result.fault = "Header was null";
    return result;
  }
  std::string header = reply.substr(0, end);
  std::string body = reply.substr(end + 4);
  printDebug("header = %s\n", header.c_str());
  if (!startsWith(header, "HTTP/1.1 ")) {
    result.fault = "Invalid header returned from server";
    return result;
  }
  if (startsWith(header, "HTTP/1.1 302 Found\r\n")) {
    std::size_t at = header.find("Location: ");
    if (at == std::string::npos) {
      result.fault = "No location specified in headers";
      return result;
    }
    at += std::strlen("Location: ");
    std::size_t lineEnd = header.find("\r\n", at);
    if (lineEnd == std::string::npos) {
      result.fault = "Location header malformed";
      return result;
    }
    result.text = header.substr(at, lineEnd - at);
    printDebug("302 forward: %s", result.text->c_str());
    printDebug("body of reply: %s", body.c_str());
    result.status = 302;
    return result;
  }
  if (startsWith(header, "HTTP/1.1 400 Bad Request\r\n")) result.status = 400;
  if (startsWith(header, "HTTP/1.1 404 Not Found\r\n")) result.status = 404;
  if (!startsWith(header, "HTTP/1.1 200 OK\r\n")) return result;

  printDebug("Received 200");
  result.status = 200;
  if (storeAttachedModule(header, body, &result.fault)) {
    printDebug("returning http code %d", 200);
    ++attachmentSaved;
    result.text = std::move(header);
  } else if (!result.fault) {
    printDebug("returning message body");
    // The body may be as large as a whole reply: handed over, not copied.
    result.text = std::move(body);
  }
  return result;
}

int parseHttpReply(const std::string& reply, OptText* text, int /*byteCount*/) {
  ReplyParse result = examineHttpReply(reply);
  if (result.fault) fatalError(result.fault);
  if (result.text) *text = std::move(result.text);
  return result.status;
}

OptText extractMarkerValue(const std::string& page, const char* marker) {
  // The page is text: it ends at its first zero byte.
  std::string copy(page.c_str());
  std::size_t at = copy.find(marker);
  if (at == std::string::npos) return std::nullopt;
  std::size_t close = copy.find(" -->", at);
  if (close != std::string::npos) {
    printDebug("removing ' -->'  from end. eol=[%s]", copy.c_str() + close);
    copy.resize(close);
  }
  std::size_t lf = copy.find('\n', at);
  if (lf != std::string::npos) copy.resize(lf);
  std::size_t cr = copy.find('\r', at);
  if (cr != std::string::npos) copy.resize(cr);
  // A value cut before the marker's own end (" -->" right after a marker
  // whose trailing blank it shares) is empty.
  std::size_t start = at + std::strlen(marker);
  std::string value = start < copy.size() ? copy.substr(start) : std::string();
  printDebug("returning text: [%s]", value.c_str());
  return value;
}

void showSpinner() {
  if (!silentMode && spinnerState == 0) {
    const char* status = statusText.c_str();
    const char* extra = spinnerExtraText.c_str();
    std::printf("\r%-30s|%10s", status, extra);
    if (spinnerTicks % 2 == 0) std::printf("\r%-30s/%10s", status, extra);
    if (spinnerTicks % 3 == 0) std::printf("\r%-30s-%10s", status, extra);
    if (spinnerTicks % 4 == 0) std::printf("\r%-30s\\%10s", status, extra);
    std::fflush(stdout);
    usleep(1000);
  }
  if (!silentMode && spinnerState == 1) {
    std::printf("\r%-40s", "Complete.");
    std::fflush(stdout);
    spinnerState = 2;
  }
  ++spinnerTicks;
}
