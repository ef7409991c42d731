#include "installer/upload.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "installer/meter.h"
#include "installer/state.h"
#include "installer/transport.h"
#include "setup/output.h"
#include "setup/unique_fd.h"

namespace {

constexpr const char* kDelimiter = "-----------------------------4664151417711";
constexpr std::int64_t kLargestContentLength = 2147483647;
// Package pieces read at once, and the bytes of records gathered into one
// socket write: few enough system calls, and small enough that the service
// never waits long for the next bytes.
constexpr std::size_t kPiecesPerRead = 16;
constexpr int kUploadWriteBuffer = 32768;

// One form field: delimiter, disposition, empty line, value, LF. The arch
// value brings its own line feed, so its part adds none.
std::string fieldPart(const char* name, const std::string& value, bool endLine = true) {
  std::string part = std::string(kDelimiter) + "\nContent-Disposition: form-data; name=\"" + name +
                     "\"\n\n" + value;
  if (endLine) part += "\n";
  return part;
}

// Counter shared with the meter's SIGALRM handler.
MeterCounter bytesSent = 0;

}  // namespace

// The delimiter again, between LF and "--" LF.
const char* const kUploadClosingBoundary = "\n-----------------------------4664151417711--\n";
const char* const kUploadTrailer = "\n\n";

std::string buildUploadForm() {
  std::string form = fieldPart("MAX_FILE_SIZE", "450000000");
  form += fieldPart("arch", archFormValue, false);
  if (customVersion) form += fieldPart("version", *customVersion);
  form += fieldPart("version_major", std::to_string(moduleType));
  form += fieldPart("beta", std::to_string(betaRequested));
  form += fieldPart("uname", systemUname.release);
  form += fieldPart("kestrin_client", "1");
  form += fieldPart("gen", std::to_string(generation));
  form += fieldPart("nd", "1");
  if (experimentalBuild) form += fieldPart("experimental", "1");
  form += std::string(kDelimiter) +
          "\nContent-Disposition: form-data; name=\"userfile\"; filename=\"test.tar.gz\"\n"
          "Content-Type: application/x-compressed\n\n";
  return form;
}

std::int64_t uploadContentLength(const std::string& form, std::int64_t packageSize) {
  return static_cast<std::int64_t>(form.size()) + packageSize +
         static_cast<std::int64_t>(std::strlen(kUploadClosingBoundary));
}

std::string buildUploadHeader(int contentLength) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  return formatNarrow(postHeaderFormat, buildServiceHost.c_str(), contentLength);
#pragma GCC diagnostic pop
}

int uploadKernelHeaders(ReplyReader* reply) {
  struct stat info {};
  if (stat(tarballPath.c_str(), &info) != 0) fatalError("Could not find tarball");
  if (info.st_size < 1) fatalError("tarball is 0 bytes");
  UniqueFile package(std::fopen(tarballPath.c_str(), "rb"));
  if (!package) fatalError("Could not open tarball");
  if (archFormValue.empty()) fatalError("arch required");

  // Content-Length goes out as a signed 32-bit number: a package that would
  // overflow it is refused before anything is sent.
  std::string form = buildUploadForm();
  std::int64_t contentLength = uploadContentLength(form, info.st_size);
  if (contentLength > kLargestContentLength) fatalError("tarball is too large to upload");

  SslCtxPtr context = loadClientContext();
  UniqueFd sock(tcp_connect(buildServiceHost.c_str(), buildServicePort));
  if (!sock) fatalSslError("SSL connect error");
  int handshake = 0;
  SslPtr connection = startTls(context.get(), sock.get(), &handshake);
  if (handshake < 1) fatalSslError("SSL connect error");

  // The request's records go to the socket a buffer at a time, and each
  // socket write goes out at once: the service is fed steadily, and nothing
  // waits for its acknowledgements.
  sendWithoutDelay(sock.get());
  bufferTlsWrites(connection.get(), kUploadWriteBuffer);

  std::string header = buildUploadHeader(static_cast<int>(contentLength));
  printDebug("%s", header.c_str());
  writeTls(connection.get(), header.data(), header.size());

  printDebug("%s", form.c_str());
  bytesSent = 0;
  if (!silentMode) meter_start("uploading kernel package", contentLength, &bytesSent);
  printDebug("Writing post_buf");
  writeTls(connection.get(), form.data(), form.size());
  bytesSent = bytesSent + static_cast<std::int64_t>(form.size());

  printDebug("Sending tarball");
  // Read a block of pieces at a time (one read instead of sixteen); each
  // piece still goes out with its own SSL_write. fread fills every block
  // but the last, so the pieces are those of a read of one piece at a time.
  std::vector<char> block(kPieceSize * kPiecesPerRead);
  for (;;) {
    std::size_t n = std::fread(block.data(), 1, block.size(), package.get());
    for (std::size_t at = 0; at < n; at += kPieceSize) {
      std::size_t length = std::min(kPieceSize, n - at);
      writeTls(connection.get(), block.data() + at, length);
      bytesSent = bytesSent + static_cast<std::int64_t>(length);
    }
    if (n < block.size()) {
      if (std::ferror(package.get())) fatalError("Failed to read data from file");
      break;
    }
  }
  printDebug("Tarball sent");
  std::size_t closingLength = std::strlen(kUploadClosingBoundary);
  writeTls(connection.get(), kUploadClosingBoundary, closingLength);
  bytesSent = bytesSent + static_cast<std::int64_t>(closingLength);
  // The meter's last line says the whole request went out, so what is still
  // gathered goes out first: a write that fails there ends the upload with
  // the meter's line as it stood, as a failed write of any earlier piece does.
  flushTlsWrites(connection.get());
  if (!silentMode) meter_stop();

  printDebug("writing End of Document");
  writeTls(connection.get(), kUploadTrailer, std::strlen(kUploadTrailer));
  // The service answers only once it has the whole request.
  flushTlsWrites(connection.get());
  if (!silentMode) printPlain("Starting module build...\n");

  ReplyTally tally;
  ReplyReader reader(serviceReplyOptions());
  std::time_t start = std::time(nullptr);
  ReadOutcome end = readTlsReply(connection.get(), &reader, &tally, false, false);
  if (end == ReadOutcome::CloseNotify || end == ReadOutcome::Complete)
    shutdownTls(connection.get(), start, "+", "", end == ReadOutcome::CloseNotify);
  *reply = std::move(reader);
  connection.reset();
  context.reset();
  sock.reset();
  return static_cast<int>(tally.count());
}
