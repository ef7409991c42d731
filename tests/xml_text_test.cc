// Hostile XML: malformed UTF-8 at the end, documents nested deeper than the
// parser's stack allows, and the walk that bounds the nesting before the
// parser runs.
#include "productlib/xml_text.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "productlib/xml.h"
#include "tests/harness/run.h"
#include "tests/productlib/capture.h"
#include "tests/productlib/scratch_dir.h"
#include "tests/productlib/xml_depth.h"

namespace {

std::string nested(int depth, const std::string& inner = "") {
  std::string text;
  for (int i = 0; i < depth; ++i) text += "<a>";
  text += inner;
  for (int i = 0; i < depth; ++i) text += "</a>";
  return text;
}

// What the library itself makes of a prepared text: the depth of the tree
// it built, also when it gave up halfway. Only for shallow texts.
int libraryDepth(const std::string& prepared) {
  TiXmlDocument document;
  document.Parse(prepared.c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
  return xmlElementDepth(&document);
}

class XmlHostile : public ScratchDirTest {
 protected:
  XmlHostile() : ScratchDirTest("plib-xml-text") {}
  std::string make(const std::string& name, const std::string& bytes) {
    std::string p = dir_ + "/" + name;
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
  }
};

}  // namespace

TEST(XmlParserText, AsTheFileLoaderReadsItPlusPadding) {
  const struct {
    const char* name;
    std::string raw;
    std::string text;
  } cases[] = {
      {"line ends", "a\r\nb\rc\n\r\r\n", "a\nb\nc\n\n\n"},
      {"ends at a NUL", std::string("<a/>\0<b/>", 9), "<a/>"},
      {"empty", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text = xmlParserText(c.raw);
    ASSERT_EQ(text.size(), c.text.size() + kXmlTextPadding);
    EXPECT_EQ(text.substr(0, c.text.size()), c.text);
    EXPECT_EQ(text.substr(c.text.size()), std::string(kXmlTextPadding, '\0'));
  }
}

// Each text's bound is the depth the library really reaches: the walk
// reads the text as the library does, even where that is surprising.
TEST(XmlNestingBound, FollowsTheParser) {
  const struct {
    const char* name;
    std::string text;
    int depth;
  } cases[] = {
      {"plain", "<a><b><c/></b></a>", 3},
      {"siblings", "<a/><b/><c></c>", 1},
      {"end tag in a quoted value", "<a x='</a>' y=\"</a>\"><b/></a>", 2},
      {"end tag in a comment", "<a><!-- </a> --><b/></a>", 2},
      {"end tag in CDATA", "<a><![CDATA[</a>]]><b/></a>", 2},
      {"end tag in an unknown node", "<a><!DOCTYPE </a><b/></a>", 2},
      {"declaration inside", "<a><?xml version='</a>'?><b/></a>", 2},
      {"end tag of another name stops the parser", "<a></b><c><d/></c></a>", 1},
      {"text at the top stops the parser", "<a/>text<b><c/></b>", 1},
      {"numeric entity jumps over an end tag", "<a>&#x</a>x1;<b/></a>", 2},
      {"decimal entity jumps over an end tag", "<a>&#</a>#1;<b/></a>", 2},
      {"entity jumps over a closing quote", "<a x=\"&#x\"x1;\"><b/></a>", 2},
      {"failed entity stops the parser", "<a>&#x1g;<b><c/></b></a>", 1},
      {"UTF-8 lead byte steps over an end tag", "\xEF\xBB\xBF<a>\xE0</a><b/></a>", 2},
      {"without a byte order mark bytes are single", "<a>\xE0</a><b/>", 1},
      {"declared UTF-8", "<?xml version='1.0' encoding='utf-8'?><a>\xE0</a><b/></a>", 2},
      {"declared without encoding", "<?xml version='1.0'?><a>\xE0</a><b/></a>", 2},
      {"declared other encoding", "<?xml encoding='latin1'?><a>\xE0</a><b/>", 1},
      {"encoding name cut at a decoded NUL", "<?xml encoding='&#0;latin1'?><a>\xE0</a><b/></a>", 2},
      {"element whose name fails still counts", "\xEF\xBB\xBF<a><\xEF\xBB\xBF></a>", 2},
      {"malformed UTF-8 at the end", "\xEF\xBB\xBF<r>\xEF", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text = xmlParserText(c.text);
    EXPECT_EQ(libraryDepth(text), c.depth) << "the case itself";
    EXPECT_EQ(xmlNestingBound(text.c_str(), INT_MAX), c.depth);
  }
}

TEST(XmlNestingBound, StopsCountingAboveTheLimit) {
  std::string text = xmlParserText(nested(1000));
  EXPECT_EQ(xmlNestingBound(text.c_str(), kXmlMaxDepth), kXmlMaxDepth + 1);
  EXPECT_EQ(xmlNestingBound(text.c_str(), 1000), 1000);
}

// Loaded from a file, hostile text fails like any text that does not parse,
// for the caller and for the dump.
TEST_F(XmlHostile, FailsLikeATextThatDoesNotParse) {
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {
      {"malformed UTF-8 at the end", "\xEF\xBB\xBF<r>\xEF"},
      {"malformed UTF-8 in a value at the end", "\xEF\xBB\xBF<r x=\"\xF0"},
      {"nested 40000 deep", nested(40000)},
      {"nested one deeper than the limit", nested(kXmlMaxDepth + 1, "text")},
      {"only NUL bytes", std::string(4, '\0')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = make("hostile.xml", c.bytes);
    std::string out = captureStdout([&] { EXPECT_EQ(openXmlDocument(path.c_str()), nullptr); });
    EXPECT_EQ(out, "ERROR: Failed to parse '" + path + "'\n");
    out = captureStdout([&] { dumpXmlFile(path.c_str()); });
    EXPECT_EQ(out, "Failed to load file \"" + path + "\"\n");
  }
}

TEST_F(XmlHostile, NestingUpToTheLimitLoadsAndDumps) {
  std::string path = make("deep.xml", "\r\n" + nested(kXmlMaxDepth, "x\r\ny"));
  std::unique_ptr<TiXmlDocument> document;
  std::string out = captureStdout([&] { document.reset(openXmlDocument(path.c_str())); });
  ASSERT_NE(document, nullptr) << out;
  EXPECT_EQ(xmlElementDepth(document.get()), kXmlMaxDepth);
  const TiXmlNode* inner = document->RootElement();
  while (inner->FirstChildElement()) inner = inner->FirstChildElement();
  ASSERT_NE(inner->FirstChild(), nullptr);
  EXPECT_STREQ(inner->FirstChild()->Value(), "x y") << "line ends read as the library's loader reads them";
  out = captureStdout([&] { dumpXmlFile(path.c_str()); });
  EXPECT_NE(out.find("Text: [x y]"), std::string::npos);
}

// The XML library is not built with the sanitizers, so only valgrind sees a
// read past the text it is handed: the cases above run again under it.
TEST(XmlHostileUnderValgrind, NothingIsReadPastTheText) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "valgrind cannot run a program built with AddressSanitizer";
#else
  int status = -1;
  std::string valgrind = harness::shell("command -v valgrind", &status);
  if (status != 0 || valgrind.empty()) GTEST_SKIP() << "valgrind is not installed";
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = '\0';
  harness::RunOptions options;
  options.args = {"-q", "--error-exitcode=99", self, "--gtest_filter=XmlHostile.*"};
  options.stdinMode = harness::Stdin::kDevNull;
  options.timeoutMs = 100000;
  harness::RunResult result = harness::runProgram("valgrind", options);
  EXPECT_TRUE(result.exited(0)) << harness::describe(result);
#endif
}
