// Feeds arbitrary bytes to the XML loader as a file's contents, then to the
// search and the dump of what it parsed. Besides the sanitizers, which do
// not see inside the XML library, it checks the nesting bound against the
// library itself: the library is run on the same text unguarded (only for
// inputs too small to nest dangerously deep), and the depth of the tree it
// built, even when it gave up halfway, must not exceed the bound.
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "productlib/xml.h"
#include "productlib/xml_text.h"
#include "tests/productlib/xml_depth.h"

namespace {

std::string root;
std::string file;

// Each input byte opens at most one level, so this keeps the unguarded
// run far from the stack's end.
constexpr std::size_t kUnguardedLimit = 8192;

void checkBound(const std::string& raw) {
  if (raw.size() > kUnguardedLimit) return;
  std::string text = xmlParserText(raw);
  int bound = xmlNestingBound(text.c_str(), INT_MAX);
  TiXmlDocument direct;
  direct.Parse(text.c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
  int depth = xmlElementDepth(&direct);
  if (depth > bound) {
    std::fprintf(stderr, "the library nested %d deep, the bound said %d\n", depth, bound);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char dir[] = "/tmp/xml-fuzz.XXXXXX";
  if (!mkdtemp(dir)) std::abort();
  root = dir;
  file = root + "/document.xml";
  // The dump and the error texts go to standard output.
  int null = open("/dev/null", O_WRONLY);
  if (null < 0 || dup2(null, STDOUT_FILENO) < 0) std::abort();
  close(null);
  std::atexit([] {
    unlink(file.c_str());
    rmdir(root.c_str());
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string raw(reinterpret_cast<const char*>(data), size);
  checkBound(raw);

  TiXmlDocument parsed;
  if (parseXmlText(parsed, raw)) {
    findElementByAttributeValue(&parsed, "x");
    dumpXmlNode(&parsed, 0);
  }

  std::FILE* out = std::fopen(file.c_str(), "wb");
  if (!out) std::abort();
  if (size && std::fwrite(data, size, 1, out) != 1) std::abort();
  std::fclose(out);
  delete openXmlDocument(file.c_str());
  dumpXmlFile(file.c_str());
  std::fflush(stdout);
  return 0;
}
