// Key URL parsing and the request bytes, without any network.
#include "config/key_fetch.h"

#include <gtest/gtest.h>

#include "config/config.h"

namespace {

TEST(KeyUrl, Forms) {
  struct Case {
    const char* url;
    int scheme;
    const char* host;
    int port;
  } cases[] = {
      {"https://mgr.example:8443", kSchemeHttps, "mgr.example", 8443},
      {"https://mgr.example", kSchemeHttps, "mgr.example", 443},
      {"http://mgr.example:8080", kSchemeHttp, "mgr.example", 8080},
      {"http://mgr.example", kSchemeHttp, "mgr.example", 80},
      {"mgr.example", kSchemeHttp, "mgr.example", 80},
      {"mgr.example:81", kSchemeHttp, "mgr.example", 81},
      {"http://mgr.example/some/path", kSchemeHttp, "mgr.example", 80},
      {"http://mgr.example/a:99", kSchemeHttp, "mgr.example", 80},  // a ":" in the path is no port
      {"https://10.0.0.1:443/x", kSchemeHttps, "10.0.0.1", 443},
      {"http://h:8080abc", kSchemeHttp, "h", 8080},
      {"http://h:65535", kSchemeHttp, "h", 65535},
      {"http://", kSchemeHttp, "", 80},
      {"http://:90", kSchemeHttp, "", 90},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    std::unique_ptr<ServerUrl> url = parseServerUrl(c.url);
    ASSERT_TRUE(url);
    EXPECT_EQ(url->scheme, c.scheme);
    EXPECT_EQ(url->host, c.host);
    EXPECT_EQ(url->port, c.port);
    EXPECT_EQ(keyNameFromUrl(c.url), c.host);
  }
}

TEST(KeyUrl, BadPorts) {
  for (const char* url : {"http://h:0", "http://h:-1", "http://h:", "http://h:abc", "https://h:65536",
                          "http://h:4294967297", "http://h:99999999999999999999",
                          "HTTP://mgr.example",  // the upper-case scheme's ":" leaves an empty port
                          "Https://mgr.example:443"}) {
    SCOPED_TRACE(url);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(parseServerUrl(url));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Invalid value for port.\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(keyNameFromUrl(url), std::nullopt);
    testing::internal::GetCapturedStdout();
  }
}

TEST(KeyRequest, BytesPerTransport) {
  EXPECT_EQ(buildKeyRequest("localhost"), "GET /public_info HTTP/1.0\r\nHost: localhost\r\n\r\n\r\n");
  EXPECT_EQ(buildKeyRequest("localhost").size(), 48u);
  EXPECT_EQ(buildKeyRequest("locahost").size(), 47u);
  EXPECT_STREQ(getPublicInfoPath(), "/public_info");
}

// Where a whole key ends, which ends a reply without framing and cuts the
// key from what follows it.
TEST(KeyEndLine, AfterTheKeysBeginningAndWithItsLineEnd) {
  const std::string begin = "-----BEGIN PUBLIC KEY-----\nMIIB\n";
  const std::string end = "-----END PUBLIC KEY-----";
  const std::size_t npos = std::string::npos;
  const struct {
    const char* name;
    std::string text;
    std::size_t open;   // where the key ends while more text may come
    std::size_t ended;  // where it ends in a text that has ended
  } cases[] = {
      {"LF", begin + end + "\ntail", begin.size() + end.size() + 1, begin.size() + end.size() + 1},
      {"CR LF", "HTTP/1.0 200 OK\r\n\r\n" + begin + end + "\r\n", 19 + begin.size() + end.size() + 2,
       19 + begin.size() + end.size() + 2},
      {"no line end", begin + end, npos, begin.size() + end.size()},
      {"a CR alone", begin + end + "\r", npos, begin.size() + end.size() + 1},
      {"cut within the end marker", begin + end.substr(0, 10), npos, npos},
      {"cut before the end marker", begin, npos, npos},
      {"something else after it, then the real end line", begin + end + "x\n" + end + "\n",
       begin.size() + 2 * end.size() + 3, begin.size() + 2 * end.size() + 3},
      {"something else after it, at the end", begin + end + "x", npos, npos},
      {"an end line before any key", end + "\n" + begin, npos, npos},
      {"an end line before the key and one after it", end + "\n" + begin + end + "\n",
       2 * end.size() + 2 + begin.size(), 2 * end.size() + 2 + begin.size()},
      // The begin marker's last dashes are not the end marker's first.
      {"markers sharing dashes", "-----BEGIN PUBLIC KEY-----END PUBLIC KEY-----\n", npos, npos},
      {"no key", "HTTP/1.0 200 OK\r\n\r\n" + end + "\n", npos, npos},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(keyEndLineEnd(c.text, false), c.open);
    EXPECT_EQ(keyEndLineEnd(c.text, true), c.ended);
  }
}

}  // namespace
