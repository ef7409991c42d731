#include "setup/line_reader.h"

#include <cerrno>

bool readPiece(std::FILE* stream, std::size_t max_chars, std::string* piece) {
  piece->clear();
  while (piece->size() < max_chars) {
    errno = 0;
    int c = std::getc(stream);
    if (c == EOF) {
      if (std::ferror(stream) && errno == EINTR) {
        std::clearerr(stream);
        continue;
      }
      break;
    }
    piece->push_back(static_cast<char>(c));
    if (c == '\n') break;
  }
  return !piece->empty();
}

bool readBoundedLine(std::FILE* stream, std::string* line, std::size_t bufferSize) {
  if (bufferSize < 2) return false;
  if (!readPiece(stream, bufferSize - 1, line)) return false;
  std::size_t nul = line->find('\0');
  if (nul != std::string::npos) line->resize(nul);
  return true;
}
