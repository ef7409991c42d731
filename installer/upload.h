// Kernel-headers upload: one multipart POST of "/process.php".
//
// - The form fields describe the wanted module (arch, version, version_major,
//   beta, uname, gen, experimental, ...); the package follows as the file
//   part "test.tar.gz", streamed in pieces of 4096 bytes, never held whole.
// - Header lines end in CR LF, the form text in LF alone; two "\n\n" bytes
//   after the closing boundary are not counted in Content-Length.
// - Each piece is one SSL_write, hence one TLS record; the records are
//   gathered into socket writes of 32 KiB, sent without Nagle's algorithm so
//   that no part of the request waits for the service's acknowledgement.
// - The progress meter runs during the writes unless silent.
// - Every failure but the service's premature close ends the process with
//   status 0; a package too large for the 32-bit Content-Length is refused
//   before anything is sent.
// - The reply is read until it ends by its own framing (Content-Length,
//   the last chunk, or a status without a body, after any interim replies),
//   else until the service closes the connection.
// - Returns the reply's byte count; *reply becomes the reader that read the
//   reply.
#pragma once

#include <cstdint>
#include <string>

#include "installer/reply_reader.h"
#include "setup/settings.h"

int uploadKernelHeaders(ReplyReader* reply);

// The form text before the package (every field part and the file part's
// header), from the current settings.
std::string buildUploadForm();
// The closing boundary after the package (46 bytes) and the two uncounted
// bytes after it.
extern const char* const kUploadClosingBoundary;
extern const char* const kUploadTrailer;
// Content-Length for a package of packageSize bytes after the form text.
std::int64_t uploadContentLength(const std::string& form, std::int64_t packageSize);
// The request header for that Content-Length.
std::string buildUploadHeader(int contentLength);
