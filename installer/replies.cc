#include "installer/replies.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

#include "installer/reply_reader.h"
#include "installer/state.h"
#include "installer/transport.h"
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

bool isSafeModuleName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name)
    if (c == '/' || c < 0x20 || c == 0x7f) return false;
  return true;
}

namespace {

// Why a body can't be used, or nullptr when it is whole.
const char* bodyFault(const ReplyReader& reply) {
  switch (reply.bodyState()) {
    case ReplyReader::BodyState::Whole:
      return nullptr;
    case ReplyReader::BodyState::Cut:
      return "Incomplete body returned from server";
    case ReplyReader::BodyState::Invalid:
      return "Invalid body returned from server";
    case ReplyReader::BodyState::TooLarge:
      return "Return data is too large for buffer";
  }
  return nullptr;
}

}  // namespace

int storeAttachedModule(const ReplyReader& reply, const char** fault) {
  printDebug("Checking if file is attached to post...");
  const std::string& header = reply.headerBlock();
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

  // The size is the Content-Length the reader took when the header came,
  // the one the reply is framed by unless chunked; a header whose lengths
  // disagree or are no number frames nothing.
  if (reply.headerFault() == ReplyReader::HeaderFault::BadLength)
    return *fault = "incorrect size specified in headers", 0;
  const std::optional<std::uint64_t>& size = reply.contentLength();
  if (!size) return *fault = "no size specified in headers", 0;
  if (*size < 1) return *fault = "incorrect size specified in headers", 0;
  // The module is the whole body, as its framing delimits it, decoded: a
  // cut-off or undecodable download is never installed. A plain body must
  // hold exactly the size given; chunks and codings bring their own end.
  const std::string& body = reply.body();
  ReplyReader::BodyState state = reply.bodyState();
  bool sized = reply.framing() != ReplyReader::Framing::Chunked && !reply.coded();
  if (state != ReplyReader::BodyState::Whole && state != ReplyReader::BodyState::Cut)
    return *fault = bodyFault(reply), 0;
  if (sized && *size > body.size()) return *fault = "module data shorter than the size specified in headers", 0;
  if (sized && *size < body.size()) return *fault = "module data longer than the size specified in headers", 0;
  if (state == ReplyReader::BodyState::Cut) return *fault = bodyFault(reply), 0;
  // However its body was framed and coded, a module has at least one byte.
  if (body.empty()) return *fault = "module data shorter than the size specified in headers", 0;

  std::string path = destDir + "/" + name;
  if (path.size() >= kModulePathBufferSize) return *fault = "unable to open destination file", 0;
  mkdir(destDir.c_str(), 0755);

  spinnerState = 1;
  showSpinner();
  if (!silentMode) printPlain("\nSaving kernel module to '%s'\n", path.c_str());
  if (const char* failed = installModuleFile(path, body.data(), body.size())) return *fault = failed, 0;
  printDebug("wrote %d bytes to disk", static_cast<int>(body.size()));
  if (silentMode) return 1;
  printPlainLine("Kernel module is now installed.");
  if (!isStandaloneAgentInstall() && !isDriverOnlyInstall())
    printPlainLine("Use '/etc/init.d/kzp-agent restart' to load the new driver");
  return 1;
}

int saveAttachedModule(const ReplyReader& reply) {
  const char* fault = nullptr;
  int saved = storeAttachedModule(reply, &fault);
  if (fault) fatalError(fault);
  return saved;
}

ReplyParse examineReply(ReplyReader& reply) {
  ReplyParse result;
  if (!reply.headerDone()) {
    // No status line could be read: a text with an empty line still had
    // what stood for a header block.
    result.fault = reply.blankLineSeen() ? "Invalid header returned from server" : "Header was null";
    return result;
  }
  const std::string& header = reply.headerBlock();
  printDebug("header = %s\n", header.c_str());
  if (!startsWith(header, "HTTP/1.1 ")) {
    result.fault = "Invalid header returned from server";
    return result;
  }
  // A header that can be read two ways is not judged by either, whatever
  // its status.
  switch (reply.headerFault()) {
    case ReplyReader::HeaderFault::None:
      break;
    case ReplyReader::HeaderFault::BadName:
      result.fault = "Invalid header returned from server";
      return result;
    case ReplyReader::HeaderFault::BadLength:
      result.fault = "incorrect size specified in headers";
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
    printDebug("body of reply: %s", reply.body().c_str());
    result.status = 302;
    return result;
  }
  if (startsWith(header, "HTTP/1.1 400 Bad Request\r\n")) result.status = 400;
  if (startsWith(header, "HTTP/1.1 404 Not Found\r\n")) result.status = 404;
  if (!startsWith(header, "HTTP/1.1 200 OK\r\n")) return result;

  printDebug("Received 200");
  result.status = 200;
  if (storeAttachedModule(reply, &result.fault)) {
    printDebug("returning http code %d", 200);
    ++attachmentSaved;
    result.text = header;
  } else if (!result.fault) {
    // A page cut short, or one that can't be decoded, would show the wrong
    // text and lead to the wrong page.
    result.fault = bodyFault(reply);
    if (result.fault) return result;
    printDebug("returning message body");
    result.text = reply.takeBody();
  }
  return result;
}

int parseHttpReply(ReplyReader& reply, OptText* text, int /*byteCount*/) {
  ReplyParse result = examineReply(reply);
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
