// Build-service replies: status, redirect, status markers, the attachment.
//
// - A reply is read once, by the one reply reader (installer/reply_reader.h),
//   and judged from that reader: its header block (without the CR LF of its
//   last line, after any interim replies), its framing and its body, ended
//   by its framing and decoded. Nothing here reads the reply's bytes again.
// - The status lines, "Location: " and the attachment line are matched
//   exactly and case-sensitively, anywhere in the header block.
// - parseHttpReply gives 302, 400, 404, 200 or 0; for 302 the Location value,
//   for 200 the body, or the header block once its attachment was installed.
//   A malformed reply ends the process with status 0; so does, whatever its
//   status, a header that frames the reply in no one way: "Invalid header
//   returned from server" for a name holding a blank, "incorrect size
//   specified in headers" for Content-Lengths that differ or are not digits
//   alone.
// - A 200 page is returned only when its body is whole and decoded.
// - The attachment's size is the reader's Content-Length, the number the
//   body is framed by unless chunked; it is not read again here. The
//   attachment is installed only when its name is a plain file name and
//   the body is whole, decoded and not empty (a body that is neither
//   chunked nor coded holds exactly that many bytes); it lands in the file
//   the path names, as opening it for writing would (through a link, in
//   place for a hard-linked or bind-mounted file). Through a copy it lands
//   whole or not at all; rewritten in place, an existing module stays whole
//   on a full disk only where the room can be reserved, and a crash can
//   leave it partly rewritten. A directory, FIFO or device at the path
//   can't be opened as the module.
#pragma once

#include <string>

#include "installer/reply_reader.h"
#include "setup/settings.h"

// The path "%s/%s" of destDir and the file name must fit this buffer.
constexpr std::size_t kModulePathBufferSize = 4096;

// The reply as the exchange's reader read it; its body may be handed over.
int parseHttpReply(ReplyReader& reply, OptText* text, int byteCount);
// 1 when the attachment was installed, 0 when the reply has none.
int saveAttachedModule(const ReplyReader& reply);
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
ReplyParse examineReply(ReplyReader& reply);
int storeAttachedModule(const ReplyReader& reply, const char** fault);

// A file name from the service is refused when empty, "." or "..", or
// holding '/' or a control character.
bool isSafeModuleName(const std::string& name);
