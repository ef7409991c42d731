// The upload request's bytes: header, form text, closing boundary.
#include "installer/upload.h"

#include <gtest/gtest.h>

#include <cstring>

#include "installer/state.h"

namespace {

class UploadFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    archFormValue = "2\n";
    customVersion.reset();
    moduleType = 4;
    betaRequested = 0;
    experimentalBuild = false;
    std::strcpy(systemUname.release, "2.6.32-431.el6.x86_64");
    buildServiceHost = "build.example.test";
  }
};

const std::string kDelim = "-----------------------------4664151417711\n";
std::string part(const std::string& name, const std::string& value) {
  return kDelim + "Content-Disposition: form-data; name=\"" + name + "\"\n\n" + value + "\n";
}
const std::string kFileHeader =
    kDelim +
    "Content-Disposition: form-data; name=\"userfile\"; filename=\"test.tar.gz\"\n"
    "Content-Type: application/x-compressed\n\n";

TEST_F(UploadFormTest, ExampleFormAndContentLength) {
  std::string form = buildUploadForm();
  std::string expected = part("MAX_FILE_SIZE", "450000000") +
                         kDelim + "Content-Disposition: form-data; name=\"arch\"\n\n2\n" +
                         part("version_major", "4") + part("beta", "0") +
                         part("uname", "2.6.32-431.el6.x86_64") + part("kestrin_client", "1") +
                         part("gen", "4") + part("nd", "1") + kFileHeader;
  EXPECT_EQ(form, expected);
  EXPECT_EQ(part("MAX_FILE_SIZE", "450000000").size(), 107u);
  EXPECT_EQ(kFileHeader.size(), 155u);
  EXPECT_EQ(form.size() - 155, 774u);
  EXPECT_EQ(uploadContentLength(form, 1000), 1975);
  EXPECT_EQ(std::string(kUploadClosingBoundary), "\n--" + kDelim.substr(2, 40) + "--\n");
  EXPECT_EQ(std::strlen(kUploadClosingBoundary), 46u);
  EXPECT_STREQ(kUploadTrailer, "\n\n");
}

TEST_F(UploadFormTest, OptionalPartsStandInTheirPlaces) {
  customVersion = "6.1.0-12";
  experimentalBuild = true;
  betaRequested = 1;
  moduleType = 3;
  archFormValue = "1\n";
  std::string expected = part("MAX_FILE_SIZE", "450000000") +
                         kDelim + "Content-Disposition: form-data; name=\"arch\"\n\n1\n" +
                         part("version", "6.1.0-12") + part("version_major", "3") + part("beta", "1") +
                         part("uname", "2.6.32-431.el6.x86_64") + part("kestrin_client", "1") +
                         part("gen", "4") + part("nd", "1") + part("experimental", "1") + kFileHeader;
  EXPECT_EQ(buildUploadForm(), expected);
}

TEST_F(UploadFormTest, HeaderLinesEndInCrLf) {
  EXPECT_EQ(buildUploadHeader(1975),
            "POST /process.php HTTP/1.1\r\n"
            "Host: build.example.test\r\n"
            "User-Agent: Mozilla/5.0 (Windows; U; Windows NT 5.1; en-US; rv:1.9.0.3) Gecko/2008092417 "
            "Firefox/3.0.3\r\n"
            "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
            "Accept-Language: en-us,en;q=0.5\r\n"
            "Accept-Encoding: gzip,deflate\r\n"
            "Accept-Charset: ISO-8859-1,utf-8;q=0.7,*;q=0.7\r\n"
            "Keep-Alive: 300\r\n"
            "Connection: keep-alive\r\n"
            "Content-Type: multipart/form-data; boundary=---------------------------4664151417711\r\n"
            "Content-Length: 1975\r\n"
            "\r\n");
}

TEST_F(UploadFormTest, ContentLengthIsComputedIn64Bits) {
  std::string form = buildUploadForm();
  std::int64_t big = 3LL << 30;
  EXPECT_EQ(uploadContentLength(form, big), big + 975);
}

}  // namespace
