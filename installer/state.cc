#include "installer/state.h"

#include "setup/output.h"

const int buildServicePort = 443;
const int generation = 4;
const char* const getRequestFormat = "GET %s HTTP/1.0\r\nHost: %s\r\n\r\n\r\n";
const char* const postHeaderFormat =
    "POST /process.php HTTP/1.1\r\n"
    "Host: %s\r\n"
    "User-Agent: Mozilla/5.0 (Windows; U; Windows NT 5.1; en-US; rv:1.9.0.3) Gecko/2008092417 "
    "Firefox/3.0.3\r\n"
    "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
    "Accept-Language: en-us,en;q=0.5\r\n"
    "Accept-Encoding: gzip,deflate\r\n"
    "Accept-Charset: ISO-8859-1,utf-8;q=0.7,*;q=0.7\r\n"
    "Keep-Alive: 300\r\n"
    "Connection: keep-alive\r\n"
    "Content-Type: multipart/form-data; boundary=---------------------------4664151417711\r\n"
    "Content-Length: %d\r\n"
    "\r\n";

std::string statusText = "Waiting";
std::string spinnerExtraText;
int spinnerTicks = 0;
int spinnerState = 0;
int attachmentSaved = 0;

OptText tempDir;
std::string tarballPath;

std::string formatGetRequest(const std::string& path, std::size_t bufferSize) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  std::string request = formatNarrow(getRequestFormat, path.c_str(), buildServiceHost.c_str());
#pragma GCC diagnostic pop
  return cutToBuffer(request, bufferSize);
}
