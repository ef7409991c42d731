// Reading text streams line by line, as fgets would, for files, standard
// input and the output of child processes alike.
//
// - readPiece reads what fgets would with a buffer of max_chars + 1 bytes:
//   up to and including the next line feed, but at most max_chars bytes, so
//   a longer line comes as several pieces. Unlike fgets it keeps NUL bytes,
//   and a read interrupted by a signal is retried, not taken for the end.
//   False when nothing was read: at the end of the stream or on a read
//   error (ferror tells which).
// - readBoundedLine is fgets into a buffer of bufferSize bytes, as a string
//   (it ends at a NUL byte, as the text in such a buffer does).
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

bool readPiece(std::FILE* stream, std::size_t max_chars, std::string* piece);
bool readBoundedLine(std::FILE* stream, std::string* line, std::size_t bufferSize);
