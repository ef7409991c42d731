// Build-service replies: status, redirect, status markers, the attachment.
//
// - A reply is read by the one reply reader (installer/reply_reader.h): its
//   header block (without the CR LF of its last line, after any interim
//   replies) and its body, ended by its framing and decoded.
// - The status lines, "Location: " and the attachment line are matched
//   exactly and case-sensitively, anywhere in the header block; the
//   attachment's size is the reply's Content-Length header.
// - parseHttpReply gives 302, 400, 404, 200 or 0; for 302 the Location value,
//   for 200 the body, or the header block once its attachment was installed.
//   A malformed reply ends the process with status 0.
// - A 200 page is returned only when its body is whole and decoded.
// - The attachment is installed only when its name is a plain file name and
//   the body is whole, decoded and not empty (a body that is neither
//   chunked nor coded holds exactly the bytes Content-Length announces); it
//   lands in the file the path names, as opening it for writing would
//   (through a link, in place for a hard-linked or bind-mounted file).
//   Through a copy it lands whole or not at all; rewritten in place, an
//   existing module stays whole on a full disk only where the room can be
//   reserved, and a crash can leave it partly rewritten. A directory, FIFO or device at the path
//   can't be opened as the module.
#pragma once

#include <string>

#include "installer/reply_reader.h"
#include "setup/settings.h"

// The path "%s/%s" of destDir and the file name must fit this buffer.
constexpr std::size_t kModulePathBufferSize = 4096;

int parseHttpReply(const std::string& reply, OptText* text, int byteCount);
// 1 when the attachment was installed, 0 when the reply has none.
int saveAttachedModule(const std::string& header, const std::string& body);
// The value after marker up to " -->", the line end or the page's end.
OptText extractMarkerValue(const std::string& page, const char* marker);
// One spinner step ("Complete." once a module was written), unless silent.
void showSpinner();

// The same checks without ending the process, for the fuzz target and the
// tests: *fault is set to the fatal text instead.
struct ReplyParse {
  int status = 0;
  OptText text;
  const char* fault = nullptr;
};
// The reply's bytes as one connection brought them, to its end.
ReplyParse examineHttpReply(const std::string& reply);
ReplyParse examineReply(ReplyReader& reply);
int storeAttachedModule(const ReplyReader& reply, const char** fault);
// The header block and the body of one reply.
int storeAttachedModule(const std::string& header, const std::string& body, const char** fault);

// Content-Length read like strtol: leading white space, optional sign,
// digits up to the first other character; no digits read as 0.
long long readContentLength(const char* text);
// A file name from the service is refused when empty, "." or "..", or
// holding '/' or a control character.
bool isSafeModuleName(const std::string& name);
