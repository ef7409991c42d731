#include "tests/harness/coding.h"

#include <zlib.h>

#include <cstdio>
#include <stdexcept>

namespace harness {

namespace {

std::string compressed(const std::string& data, int windowBits) {
  z_stream z{};
  if (deflateInit2(&z, 6, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2 failed");
  std::string out(deflateBound(&z, data.size()) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  int result = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (result != Z_STREAM_END) throw std::runtime_error("deflate did not finish");
  return out;
}

std::string chunk(const std::string& piece, const std::string& extension) {
  char line[32];
  std::snprintf(line, sizeof line, "%zx", piece.size());
  return line + extension + "\r\n" + piece + "\r\n";
}

}  // namespace

std::string gzipped(const std::string& data) { return compressed(data, 31); }
std::string zlibbed(const std::string& data) { return compressed(data, 15); }
std::string rawDeflated(const std::string& data) { return compressed(data, -15); }

std::string chunks(const std::string& body, std::size_t size, const std::string& extension) {
  std::string out;
  for (std::size_t at = 0; at < body.size(); at += size) out += chunk(body.substr(at, size), extension);
  return out;
}

std::string chunkedAt(const std::string& body, const std::vector<std::size_t>& cuts) {
  std::string out;
  std::size_t at = 0;
  for (std::size_t cut : cuts) {
    out += chunk(body.substr(at, cut - at), "");
    at = cut;
  }
  if (at < body.size()) out += chunk(body.substr(at), "");
  return out + "0\r\n\r\n";
}

}  // namespace harness
