// Bodies coded as HTTP servers send them, for tests of the reply reader and
// of the tool against such servers.
#pragma once

#include <string>
#include <vector>

namespace harness {

// The data gzip coded, zlib coded (HTTP's "deflate") or raw deflate data
// (what some servers send as "deflate").
std::string gzipped(const std::string& data);
std::string zlibbed(const std::string& data);
std::string rawDeflated(const std::string& data);

// The body as chunks of `size` bytes (each size line followed by
// `extension`), without the last chunk.
std::string chunks(const std::string& body, std::size_t size, const std::string& extension = "");
// The body as chunks cut where `cuts` say (offsets into the body), then the
// last chunk and an empty trailer.
std::string chunkedAt(const std::string& body, const std::vector<std::size_t>& cuts);

}  // namespace harness
