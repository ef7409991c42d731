// Rewriting a file in place so that a failure leaves it as it was.
//
// rewriteInPlace(fd, content, mode): `fd` is the file open for reading and
// writing; it ends holding `content`, with `mode` when one is given (else
// with the mode it had):
// 1. Room first: reserved where fallocate works; elsewhere the part beyond
//    the old end is written and synced before any old byte is overwritten.
// 2. The ending signals are held from the first changed byte until the new
//    content is whole; a signal that came meanwhile acts then.
// 3. The old bytes are kept: a failure before the new content is whole,
//    synced and given its mode puts the old content, length and mode back,
//    so a reported failure leaves the file as it was. A change that can no
//    longer be undone is not reported as a failure.
// Only SIGKILL or a crash in step 2 can still leave it partly rewritten.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

bool rewriteInPlace(int fd, const std::string& content, std::optional<mode_t> mode, std::string* err);
