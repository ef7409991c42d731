// The built tool fetching a manager's key from loopback servers, inside the
// harness's private network namespace.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/harness/coding.h"
#include "tests/harness/fixtures.h"
#include "tests/harness/run.h"
#include "tests/harness/sandbox.h"
#include "tests/harness/servers.h"

using namespace harness;

namespace {

const std::string kWork = "/tmp/work";
const std::string kKeys = kWork + "/conf/server.allow";
const std::string kHttpRequest = "GET /public_info HTTP/1.0\r\nHost: localhost\r\n\r\n\r\n";
const std::string kHttpsRequest = "GET /public_info HTTP/1.0\r\nHost: locahost\r\n\r\n\r\n";
const std::string kKey = "-----BEGIN PUBLIC KEY-----\r\nMIIBIjANBgkq\r\n-----END PUBLIC KEY-----\r\ntrailer";
const std::string kStoredKey = "-----BEGIN PUBLIC KEY-----\nMIIBIjANBgkq\n-----END PUBLIC KEY-----\ntrailer";
const char kUnable[] = "Unable to get key from remote KZP Server\n";

ServerOptions wholeRequest() {
  ServerOptions options;
  options.complete = untilHttpRequest(2);
  return options;
}

class KeyFetch : public ::testing::Test {
 protected:
  void SetUp() override {
    installProduct(box_, Install::kFullAgent);
    box_.makeDirs(kKeys);
    useLoopbackNames(box_, {"mgr.test"});
  }
  RunResult run(std::vector<std::string> args, int timeoutMs = 20000) {
    args.insert(args.end(), {"--dev-test-paths", kWork});
    RunOptions options;
    options.args = args;
    options.stdinMode = Stdin::kDevNull;
    options.timeoutMs = timeoutMs;
    return runTool(options);
  }
  static std::string url(const char* scheme, int port, const char* rest = "") {
    return std::string(scheme) + "mgr.test:" + std::to_string(port) + rest;
  }

  Sandbox box_;
};

TEST_F(KeyFetch, PlainHttpReplies) {
  // A server that keeps the connection open after its reply does so for
  // longer than the run may take: a fetch that waits for its close is killed.
  constexpr int kHoldMs = 30000, kHeldRunMs = 10000;
  const std::string keyToItsEndLine = "-----BEGIN PUBLIC KEY-----\r\nMIIBIjANBgkq\r\n-----END PUBLIC KEY-----";
  const std::string storedToItsEndLine = "-----BEGIN PUBLIC KEY-----\nMIIBIjANBgkq\n-----END PUBLIC KEY-----";
  struct Case {
    const char* name;
    std::string reply;
    bool stored;
    bool reset = false;        // the reply ends in a reset, not in a close
    const char* failure = "";  // printed before the run's own failure text
    bool held = false;         // the server keeps the connection open after the reply
    std::string key = kStoredKey;
  } cases[] = {
      {"200 with the marker", "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n" + kKey, true},
      {"404 with the marker", "HTTP/1.1 404 Not Found\r\n\r\n" + kKey, true},
      {"200 without it", "HTTP/1.1 200 OK\r\n\r\nno key here", false},
      {"nothing at all", "", false},
      // The reply is text up to its first NUL.
      {"a NUL before the marker", "HTTP/1.1 200 OK\r\n\r\nx" + std::string(1, '\0') + kKey, false},
      {"a NUL after the key", "HTTP/1.1 200 OK\r\n\r\n" + kKey + std::string(1, '\0') + "tail", true},
      // A failed read once part of the reply is in ends the reply there,
      // as a close would; one before any byte fails the fetch.
      {"the key, then a reset", "HTTP/1.1 200 OK\r\n\r\n" + kKey, true, true},
      {"a reset before any byte", "", false, true, "Failed to read data from socket\n"},
      // The fetch ends when the reply is in, however the server holds on.
      {"held open after a reply with its length",
       "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(keyToItsEndLine.size()) + "\r\n\r\n" + keyToItsEndLine,
       true, false, "", true, storedToItsEndLine},
      {"held open after the key's end line, without a length",
       "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n" + keyToItsEndLine + "\r\n", true, false, "", true,
       storedToItsEndLine + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    box_.remove(kKeys + "/mgr.test");
    Reply reply;
    reply.bytes = c.reply;
    reply.resetWithoutFin = c.reset;
    reply.close = !c.held;
    ServerOptions options = wholeRequest();
    if (c.held) options.readTimeoutMs = kHoldMs;
    TcpServer server([reply](const std::string&, int) { return reply; }, options);
    // A path after the host is ignored, and so is the ":" inside it.
    RunResult result =
        run({"--get-key", url("http://", server.port(), "/other/path:1")}, c.held ? kHeldRunMs : 20000);
    ASSERT_TRUE(server.waitForExchanges(1));
    EXPECT_EQ(server.exchanges()[0].request, kHttpRequest);
    if (c.stored) {
      EXPECT_TRUE(result.exited(0)) << describe(result);
      EXPECT_EQ(result.out, "Key 'mgr.test' successfully installed.\n");
      EXPECT_EQ(readFile(kKeys + "/mgr.test"), c.key);
    } else {
      EXPECT_TRUE(result.exited(1)) << describe(result);
      EXPECT_EQ(result.out, std::string(c.failure) + kUnable);
      EXPECT_FALSE(pathPresent(kKeys + "/mgr.test"));
    }
  }
}

TEST_F(KeyFetch, NameFromOptionAndNoScheme) {
  TcpServer server(scripted({"HTTP/1.0 200 OK\r\n\r\n" + kKey}), wholeRequest());
  RunResult result = run({"--get-key", "mgr.test:" + std::to_string(server.port()), "--key-filename", "chosen"});
  EXPECT_TRUE(result.exited(0)) << describe(result);
  EXPECT_EQ(result.out, "Key 'chosen' successfully installed.\n");
  EXPECT_EQ(readFile(kKeys + "/chosen"), kStoredKey);
  EXPECT_FALSE(pathPresent(kKeys + "/mgr.test"));
}

// A server that sends the reply in pieces, each after a pause, so that the
// tool surely receives them apart.
Handler inPieces(const std::vector<std::string>& pieces) {
  return [pieces](const std::string&, int) {
    Reply r;
    r.bytes = pieces.at(0);
    r.later.assign(pieces.begin() + 1, pieces.end());
    return r;
  };
}

// The header block alone first, the key a moment later, as a static file
// server may send them: the key is in the second segment or record.
TEST_F(KeyFetch, ReplyInSeparateSegments) {
  const std::vector<std::string> pieces = {"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n", kKey.substr(0, 30),
                                           kKey.substr(30)};
  for (bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "https" : "http");
    box_.remove(kKeys + "/mgr.test");
    std::unique_ptr<LoopbackServer> server;
    if (tls)
      server = std::make_unique<TlsServer>(inPieces(pieces), tls10Only(), wholeRequest());
    else
      server = std::make_unique<TcpServer>(inPieces(pieces), wholeRequest());
    RunResult result = run({"--get-key", url(tls ? "https://" : "http://", server->port())});
    EXPECT_TRUE(result.exited(0)) << describe(result);
    EXPECT_EQ(result.out, "Key 'mgr.test' successfully installed.\n");
    EXPECT_EQ(readFile(kKeys + "/mgr.test"), kStoredKey);
  }
}

// The plain HTTP read goes on over several receives until the buffer's
// 8095 bytes are in, and no further.
TEST_F(KeyFetch, PlainHttpReadsUpToTheLimit) {
  std::string head = "HTTP/1.1 200 OK\r\n\r\n";
  std::string body = "-----BEGIN PUBLIC KEY-----\n";
  for (int i = 0; body.size() < 12000; ++i) body += std::to_string(i) + ",";
  TcpServer server(inPieces({head, body.substr(0, 3000), body.substr(3000, 3000), body.substr(6000)}),
                   wholeRequest());
  RunResult result = run({"--get-key", url("http://", server.port())});
  EXPECT_TRUE(result.exited(0)) << describe(result);
  EXPECT_EQ(readFile(kKeys + "/mgr.test"), body.substr(0, 8095 - head.size()));
}

// Both transports end a key reply the same way: at its length, its last
// chunk or the status that has no body, at the key's end line of a reply
// without framing, at the close, or as soon as what came can't hold a key;
// a server that holds the connection after its reply is not waited for. A
// key is stored only from a whole, decoded body.
TEST_F(KeyFetch, BothTransportsEndTheReplyTheSameWay) {
  constexpr int kHoldMs = 30000, kHeldRunMs = 10000;
  const std::string key = "-----BEGIN PUBLIC KEY-----\nMIIBIjANBgkq\n-----END PUBLIC KEY-----\n";
  const std::string gz = gzipped(key);
  const struct Case {
    const char* name;
    std::string reply;
    bool held;
    bool stored;
    std::vector<std::string> later = {};  // written apart after the reply's first bytes
  } cases[] = {
      {"a length", "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(key.size()) + "\r\n\r\n" + key, true,
       true},
      {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunkedAt(key, {20, 40}), true, true},
      {"gzip, chunked",
       "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n" + chunks(gz, 16) +
           "0\r\n\r\n",
       true, true},
      {"deflate to the close", "HTTP/1.1 200 OK\r\nContent-Encoding: deflate\r\n\r\n" + zlibbed(key), false, true},
      {"an interim reply first", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\n" + key, true, true},
      {"a page without a length or a key", "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\n\r\n<html>no</html>",
       true, false},
      {"a status without a body", "HTTP/1.1 204 No Content\r\nContent-Length: 9\r\n\r\n", true, false},
      {"a length the server never fills", "HTTP/1.1 200 OK\r\nContent-Length: 110\r\n\r\n" + key.substr(0, 60),
       false, false},
      {"chunked, closed before its last chunk",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunks(key, 30), false, false},
      {"corrupt gzip", "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n" + key, true, false},
      // Text before the key, which comes later: the framing says more is due.
      {"a length, the key in a later write",
       "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(6 + key.size()) + "\r\n\r\n<pre>\n", true, true, {key}},
      {"chunked, the key in a later chunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n6\r\n<pre>\n\r\n",
       true, true, {chunkedAt(key, {})}},
  };
  for (bool tls : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(tls ? "https: " : "http: ") + c.name);
      box_.remove(kKeys + "/mgr.test");
      Reply reply;
      reply.bytes = c.reply;
      reply.later = c.later;
      reply.close = !c.held;
      ServerOptions options = wholeRequest();
      if (c.held) options.readTimeoutMs = kHoldMs;
      Handler handler = [reply](const std::string&, int) { return reply; };
      std::unique_ptr<LoopbackServer> server;
      if (tls)
        server = std::make_unique<TlsServer>(handler, tls10Only(), options);
      else
        server = std::make_unique<TcpServer>(handler, options);
      auto start = std::chrono::steady_clock::now();
      RunResult result = run({"--get-key", url(tls ? "https://" : "http://", server->port())}, kHeldRunMs);
      auto took = std::chrono::steady_clock::now() - start;
      EXPECT_LT(took, std::chrono::milliseconds(kHeldRunMs / 2));
      if (c.stored) {
        EXPECT_TRUE(result.exited(0)) << describe(result);
        EXPECT_EQ(result.out, "Key 'mgr.test' successfully installed.\n");
        EXPECT_EQ(readFile(kKeys + "/mgr.test"), key);
      } else {
        EXPECT_TRUE(result.exited(1)) << describe(result);
        EXPECT_EQ(result.out, kUnable);
        EXPECT_FALSE(pathPresent(kKeys + "/mgr.test"));
      }
    }
  }
}

TEST_F(KeyFetch, Tls10) {
  TlsServer server(scripted({"HTTP/1.1 200 OK\r\n\r\n" + kKey}), tls10Only(), wholeRequest());
  RunResult result = run({"--get-key", url("https://", server.port())});
  EXPECT_TRUE(result.exited(0)) << describe(result);
  EXPECT_EQ(result.out, "Key 'mgr.test' successfully installed.\n");
  EXPECT_EQ(readFile(kKeys + "/mgr.test"), kStoredKey);
  ASSERT_TRUE(server.waitForExchanges(1));
  Exchange e = server.exchanges()[0];
  EXPECT_TRUE(e.handshakeOk) << e.tlsError;
  EXPECT_EQ(e.tlsVersion, "TLSv1");
  EXPECT_EQ(e.request, kHttpsRequest);
  EXPECT_EQ(e.clientCertPem, "");
}

TEST_F(KeyFetch, Tls10ReplyLargerThanTheBuffer) {
  std::string head = "HTTP/1.1 200 OK\r\n\r\n";
  // Longer than one record: the reads are assembled in order up to the
  // buffer's size and the rest is left unread.
  std::string body = "-----BEGIN PUBLIC KEY-----\n";
  for (int i = 0; body.size() < 30000; ++i) body += std::to_string(i) + ",";
  TlsServer server(scripted({head + body, }, false), tls10Only(), wholeRequest());
  RunResult result = run({"--get-key", url("https://", server.port())});
  EXPECT_TRUE(result.exited(0)) << describe(result);
  std::string stored = readFile(kKeys + "/mgr.test");
  EXPECT_EQ(stored, body.substr(0, 8095 - head.size()));
}

TEST_F(KeyFetch, Tls12OnlyServerRefused) {
  TlsServer server(scripted({"HTTP/1.1 200 OK\r\n\r\n" + kKey}), tls12Only(), wholeRequest());
  RunResult result = run({"--get-key", url("https://", server.port())});
  EXPECT_TRUE(result.exited(1)) << describe(result);
  EXPECT_EQ(result.out, std::string("SSL connect error\n") + kUnable);
  EXPECT_FALSE(pathPresent(kKeys + "/mgr.test"));
}

TEST_F(KeyFetch, ConnectionFailures) {
  struct Case {
    std::string url;
    std::string out;
  } cases[] = {
      {"http://unknown.test:80", std::string("Couldnt connect to remote host\n") + kUnable},
      {"https://nothing.invalid", std::string("Couldnt connect to remote host\n") + kUnable},
      {"http://127.0.0.1:9", std::string("Couldnt connect to remote host\n") + kUnable},
      {"http://127.0.0.1:70000", std::string("Invalid value for port.\n") + kUnable},
      {"HTTP://mgr.test", std::string("Invalid value for port.\n") + kUnable},
      {"http://mgr.test:0", std::string("Invalid value for port.\n") + kUnable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    auto start = std::chrono::steady_clock::now();
    RunResult result = run({"--get-key", c.url});
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(result.exited(1)) << describe(result);
    EXPECT_EQ(result.out, c.out);
    EXPECT_LT(took, std::chrono::seconds(5));
  }
  EXPECT_EQ(shell("ls -A " + kKeys), "");
}

}  // namespace
