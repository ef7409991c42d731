// The built tool fetching a manager's key from loopback servers, inside the
// harness's private network namespace.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/key_fetch.h"
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
// The key ends with its END line: the text after it is not stored.
const std::string kStoredKey = "-----BEGIN PUBLIC KEY-----\nMIIBIjANBgkq\n-----END PUBLIC KEY-----\n";
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
  // A failed fetch stores nothing, under any name.
  void expectNoKeyStored() { EXPECT_EQ(shell("ls -A " + kKeys), ""); }

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
      // A key cut before its END line is no key.
      {"closed before the key's END line", "HTTP/1.1 200 OK\r\n\r\n" + kKey.substr(0, 44), false},
      // A failed read once part of the reply is in ends the reply there,
      // as a close would; one before any byte fails the fetch.
      {"the key, then a reset", "HTTP/1.1 200 OK\r\n\r\n" + kKey, true, true},
      {"the key cut by a reset", "HTTP/1.1 200 OK\r\n\r\n" + kKey.substr(0, 60), false, true},
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
    auto start = std::chrono::steady_clock::now();
    RunResult result =
        run({"--get-key", url("http://", server.port(), "/other/path:1")}, c.held ? kHeldRunMs : 20000);
    auto took = std::chrono::steady_clock::now() - start;
    // Not after the pause for a silent peer: these replies end at once.
    EXPECT_LT(took, std::chrono::milliseconds(kKeyReplyPauseMs / 2));
    ASSERT_TRUE(server.waitForExchanges(1));
    EXPECT_EQ(server.exchanges()[0].request, kHttpRequest);
    if (c.stored) {
      EXPECT_TRUE(result.exited(0)) << describe(result);
      EXPECT_EQ(result.out, "Key 'mgr.test' successfully installed.\n");
      EXPECT_EQ(readFile(kKeys + "/mgr.test"), c.key);
    } else {
      EXPECT_TRUE(result.exited(1)) << describe(result);
      EXPECT_EQ(result.out, std::string(c.failure) + kUnable);
      expectNoKeyStored();
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

// One row of the tables run over both transports: a reply, the pieces
// written after it `pauseMs` apart, whether the server holds the connection
// afterwards, the key stored (nothing: the fetch fails), and whether the
// reply ends as soon as its bytes are in or only after the fetch's pause.
enum class Ends { AtOnce, AfterThePause };
struct Row {
  const char* name;
  std::string reply;
  std::vector<std::string> later;
  int pauseMs;
  bool held;
  std::optional<std::string> stored;
  Ends ends;
};

class KeyReplies : public KeyFetch {
 protected:
  void expectRows(const std::vector<Row>& rows) {
    // Longer than a fetch may take: one that waits for the close is killed.
    constexpr int kHoldMs = 30000, kRunMs = 15000;
    for (bool tls : {false, true}) {
      for (const Row& c : rows) {
        SCOPED_TRACE(std::string(tls ? "https: " : "http: ") + c.name);
        box_.remove(kKeys + "/mgr.test");
        Reply reply;
        reply.bytes = c.reply;
        reply.later = c.later;
        reply.pauseMs = c.pauseMs;
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
        RunResult result = run({"--get-key", url(tls ? "https://" : "http://", server->port())}, kRunMs);
        auto took = std::chrono::steady_clock::now() - start;
        // The server's own pauses, then the fetch's, or none of it.
        auto served = std::chrono::milliseconds(c.pauseMs * static_cast<int>(c.later.size()));
        auto pause = std::chrono::milliseconds(kKeyReplyPauseMs);
        if (c.ends == Ends::AtOnce) {
          EXPECT_LT(took, served + pause / 2);
        } else {
          EXPECT_GE(took, served + pause - std::chrono::milliseconds(50));
          EXPECT_LT(took, served + 2 * pause);
        }
        if (c.stored) {
          EXPECT_TRUE(result.exited(0)) << describe(result);
          EXPECT_EQ(result.out, "Key 'mgr.test' successfully installed.\n");
          EXPECT_EQ(readFile(kKeys + "/mgr.test"), *c.stored);
        } else {
          EXPECT_TRUE(result.exited(1)) << describe(result);
          EXPECT_EQ(result.out, kUnable);
          expectNoKeyStored();
        }
      }
    }
  }
};

const std::string kLfKey = "-----BEGIN PUBLIC KEY-----\nMIIBIjANBgkq\n-----END PUBLIC KEY-----\n";
const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n";

// A key with `size` bytes between its BEGIN and END lines.
std::string longKey(std::size_t size) {
  return "-----BEGIN PUBLIC KEY-----\n" + std::string(size, 'A') + "\n-----END PUBLIC KEY-----\n";
}

// Both transports end a key reply the same way: at its length, its last
// chunk or the status that has no body, at the key's end line of a reply
// without framing, or at the close; a server that holds the connection
// after its reply is not waited for. A key is stored only from a whole,
// decoded body.
TEST_F(KeyReplies, BothTransportsEndTheReplyTheSameWay) {
  const std::string& key = kLfKey;
  const std::string gz = gzipped(key);
  const std::vector<Row> rows = {
      {"a length", "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(key.size()) + "\r\n\r\n" + key, {}, 0,
       true, key, Ends::AtOnce},
      {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunkedAt(key, {20, 40}), {}, 0, true,
       key, Ends::AtOnce},
      {"gzip, chunked",
       "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n" + chunks(gz, 16) +
           "0\r\n\r\n",
       {}, 0, true, key, Ends::AtOnce},
      {"deflate to the close", "HTTP/1.1 200 OK\r\nContent-Encoding: deflate\r\n\r\n" + zlibbed(key), {}, 0, false,
       key, Ends::AtOnce},
      {"an interim reply first", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\n" + key, {}, 0, true, key,
       Ends::AtOnce},
      {"a page without a length or a key",
       "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\n\r\n<html>no</html>", {}, 0, false, std::nullopt,
       Ends::AtOnce},
      {"a status without a body", "HTTP/1.1 204 No Content\r\nContent-Length: 9\r\n\r\n", {}, 0, true,
       std::nullopt, Ends::AtOnce},
      {"a length the server never fills", "HTTP/1.1 200 OK\r\nContent-Length: 110\r\n\r\n" + key.substr(0, 60), {},
       0, false, std::nullopt, Ends::AtOnce},
      {"chunked, closed before its last chunk",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunks(key, 30), {}, 0, false, std::nullopt,
       Ends::AtOnce},
      {"corrupt gzip", "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n" + key, {}, 0, true, std::nullopt,
       Ends::AtOnce},
      // Text before the key, which comes later: the framing says more is due.
      {"a length, the key in a later write",
       "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(6 + key.size()) + "\r\n\r\n<pre>\n", {key}, 300,
       true, key, Ends::AtOnce},
      {"chunked, the key in a later chunk", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n6\r\n<pre>\n\r\n",
       {chunkedAt(key, {})}, 300, true, key, Ends::AtOnce},
  };
  expectRows(rows);
}

// A key is stored only whole, from its BEGIN line through its END line,
// decoded and within the buffer; what follows its END line is not part of
// it. A reply cut before the END line stores nothing.
TEST_F(KeyReplies, OnlyAWholeKeyIsStored) {
  const std::string& key = kLfKey;
  const std::string toTheEndMarker = key.substr(0, key.size() - 1);
  const std::string pastTheBuffer = longKey(9000);
  const std::vector<Row> rows = {
      {"without framing, text after the END line", kOk + key + "more text\n", {}, 0, false, key, Ends::AtOnce},
      {"without framing, closed before the END line", kOk + key.substr(0, 40), {}, 0, false, std::nullopt,
       Ends::AtOnce},
      {"without a header, closed within the END marker", key.substr(0, key.size() - 10), {}, 0, false, std::nullopt,
       Ends::AtOnce},
      // The text ends there: the END line is whole without its line end.
      {"without framing, closed right after the END marker", kOk + toTheEndMarker, {}, 0, false, toTheEndMarker,
       Ends::AtOnce},
      {"a length, the END marker its last bytes",
       "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(toTheEndMarker.size()) + "\r\n\r\n" + toTheEndMarker,
       {}, 0, true, toTheEndMarker, Ends::AtOnce},
      // Decoded past the buffer's 8095 bytes.
      {"gzip with a length, the key past the buffer",
       "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " +
           std::to_string(gzipped(pastTheBuffer).size()) + "\r\n\r\n" + gzipped(pastTheBuffer),
       {}, 0, true, std::nullopt, Ends::AtOnce},
      {"gzip, chunked, the key and then text past the buffer",
       "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n" +
           chunkedAt(gzipped(key + std::string(9000, 'x')), {}),
       {}, 0, true, std::nullopt, Ends::AtOnce},
      {"deflate to the close, the key past the buffer",
       "HTTP/1.1 200 OK\r\nContent-Encoding: deflate\r\n\r\n" + zlibbed(pastTheBuffer), {}, 0, false,
       std::nullopt, Ends::AtOnce},
      // A header that frames the reply in more ways than one, or whose
      // names can't all be read, leaves no end of the reply to trust: the
      // reply is refused, as the build service's are, held or closed.
      {"lengths that differ", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 70\r\n\r\n" + key, {}, 0,
       true, std::nullopt, Ends::AtOnce},
      {"a blank in a header's name", "HTTP/1.0 200 OK\r\nX Powered By: test\r\n\r\n" + key, {}, 0, false,
       std::nullopt, Ends::AtOnce},
      // Without framing the reply ends at the END line: what would decode
      // past the buffer after it is not the reply's.
      {"gzip without framing, the key and then text past the buffer",
       "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n" + gzipped(key + std::string(9000, 'x')), {}, 0, true,
       key, Ends::AtOnce},
  };
  expectRows(rows);
}

// Text before the key does not lose it: without framing the reply ends at
// the key's END line, at the close, or once the peer has been silent for
// the pause while what came holds no whole key, never on a guess from the
// bytes so far.
TEST_F(KeyReplies, TextBeforeTheKeyAndSilentPeers) {
  const std::string& key = kLfKey;
  const int apart = kKeyReplyPauseMs / 3;  // well within the fetch's pause
  const std::vector<Row> rows = {
      {"text, a pause, then the key", kOk + "Manager key:", {"\n" + key}, apart, true, key, Ends::AtOnce},
      {"without a header: text, a pause, then the key", "Manager key:\n", {key}, apart, true, key, Ends::AtOnce},
      {"the key in pieces a pause apart", kOk + key.substr(0, 30), {key.substr(30, 20), key.substr(50)}, apart, true,
       key, Ends::AtOnce},
      {"the header alone, a pause, then the key", kOk, {key}, apart, true, key, Ends::AtOnce},
      {"text, then silence", kOk + "Manager key:", {}, 0, true, std::nullopt, Ends::AfterThePause},
      {"the key cut before its END line, then silence", kOk + key.substr(0, 40), {}, 0, true, std::nullopt,
       Ends::AfterThePause},
      {"a header never ended, then silence", "HTTP/1.1 200 OK\r\n" + key, {}, 0, true, key, Ends::AfterThePause},
      {"a length the server never fills, then silence",
       "HTTP/1.1 200 OK\r\nContent-Length: 200\r\n\r\n" + key, {}, 0, true, std::nullopt, Ends::AfterThePause},
  };
  expectRows(rows);
}

// The read goes on over several receives or records until the buffer's
// 8095 bytes are in, and no further: a key is stored when its END line ends
// within them, and not when its line end lies one byte past them.
TEST_F(KeyReplies, KeyWithinTheBuffer) {
  const std::string head = "HTTP/1.1 200 OK\r\n\r\n";
  const std::size_t frame = longKey(0).size();
  // The reply's first `size` bytes end with the key's END line.
  auto keyEndingAt = [&](std::size_t size) { return longKey(size - head.size() - frame); };
  const std::string more(20000, 'x');
  const std::string whole = keyEndingAt(8095), oneTooMany = keyEndingAt(8096);
  const std::string lengthHead = "HTTP/1.1 200 OK\r\nContent-Length: 20000\r\n\r\n";
  const std::vector<Row> rows = {
      {"the END line ends at the buffer's last byte", head + whole.substr(0, 3000),
       {whole.substr(3000, 3000), whole.substr(6000) + more}, 300, false, whole, Ends::AtOnce},
      {"the END line's line end one byte past the buffer", head + oneTooMany.substr(0, 3000),
       {oneTooMany.substr(3000, 3000), oneTooMany.substr(6000) + more}, 300, false, std::nullopt, Ends::AtOnce},
      {"a key and no END line within the buffer", head + longKey(30000), {}, 0, false, std::nullopt, Ends::AtOnce},
      // A framed body must be read whole: one longer than the buffer is not.
      {"a length past the buffer, the key early in it",
       lengthHead + kLfKey + std::string(20000 - kLfKey.size(), 'x'), {}, 0, false, std::nullopt, Ends::AtOnce},
  };
  expectRows(rows);
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
