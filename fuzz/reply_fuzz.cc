// Feeds arbitrary bytes as a build-service reply to the reply reader and the
// parser, which installs any attachment into a scratch destination
// directory, and reads the status markers of the result. Besides the
// sanitizers, it checks that
// - the reader gives the same reply however the bytes are split;
// - a body the target frames itself (chunked with extensions and a
//   trailer, or by its length; plain, gzip or deflate coded) comes back
//   whole and unchanged, and nothing after the reply is taken;
// - a header that frames its reply in no one way (a name holding a blank,
//   lengths that differ or are not digits alone) leaves it invalid, without
//   a body or an end of its own, and such a reply is never installed;
// - the parser judges the reader that read the reply, and a module it
//   installs is that reader's whole body, as many bytes as its length
//   says where the length framed it;
// - nothing is ever written beside the destination directory.
// The first input byte chooses: even, the rest is a reply as it is; odd,
// the rest is a body that the target frames and codes by that byte.
#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "installer/replies.h"
#include "installer/reply_reader.h"
#include "installer/state.h"
#include "installer/transport.h"

namespace {

std::string root;

void removeEntries(const std::string& dir, const char* keep) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == ".." || (keep && name == keep)) continue;
    std::string path = dir + "/" + name;
    if (unlink(path.c_str()) != 0) {
      std::string command = "rm -rf '" + path + "'";
      if (std::system(command.c_str()) != 0) std::abort();
    }
  }
  closedir(d);
}

// The scratch root holds only the destination directory.
void checkNothingOutside() {
  DIR* d = opendir(root.c_str());
  if (!d) std::abort();
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != ".." && name != "dest") {
      std::fprintf(stderr, "written outside the destination: %s\n", name.c_str());
      std::abort();
    }
  }
  closedir(d);
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
  }
}

struct Read {
  std::size_t used = 0;
  bool complete = false;
  bool headerDone = false;
  int status = 0;
  std::string headerBlock;
  std::string firstBlock;
  std::string body;
  ReplyReader::BodyState state = ReplyReader::BodyState::Cut;
  ReplyReader::Framing framing = ReplyReader::Framing::UntilClose;
  ReplyReader::HeaderFault fault = ReplyReader::HeaderFault::None;
  std::optional<std::uint64_t> length;
  bool operator==(const Read& o) const {
    return used == o.used && complete == o.complete && headerDone == o.headerDone && status == o.status &&
           headerBlock == o.headerBlock && firstBlock == o.firstBlock && body == o.body && state == o.state &&
           framing == o.framing && fault == o.fault && length == o.length;
  }
};

ReplyReader::Options options(bool bareLf) {
  ReplyReader::Options o;
  o.maxHeader = 4096;
  o.maxBody = 1 << 20;
  o.bareLf = bareLf;
  return o;
}

// The reply fed to `reader` in pieces that end at the given offsets, then
// its end; how many bytes it took.
std::size_t feedSplit(ReplyReader* reader, const std::string& reply, const std::vector<std::size_t>& cuts) {
  std::size_t used = 0, at = 0;
  for (std::size_t end : cuts) {
    if (end <= at || end > reply.size()) continue;
    used += reader->feed(reply.data() + at, end - at);
    at = end;
  }
  used += reader->feed(reply.data() + at, reply.size() - at);
  reader->finish();
  return used;
}

// Offsets drawn from the reply's own bytes.
std::vector<std::size_t> ownCuts(const std::string& reply) {
  std::vector<std::size_t> cuts;
  std::size_t at = 0;
  for (unsigned char c : reply) {
    at += 1 + c % 61;
    if (at >= reply.size()) break;
    cuts.push_back(at);
  }
  return cuts;
}

Read readSplit(const std::string& reply, const std::vector<std::size_t>& cuts, bool bareLf) {
  ReplyReader reader(options(bareLf));
  Read r;
  r.used = feedSplit(&reader, reply, cuts);
  r.complete = reader.complete();
  r.firstBlock = reader.firstBlock();
  r.framing = reader.framing();
  r.fault = reader.headerFault();
  r.length = reader.contentLength();
  r.headerDone = reader.headerDone();
  r.status = reader.status();
  r.headerBlock = reader.headerBlock();
  r.body = reader.body();
  r.state = reader.bodyState();
  return r;
}

// The same reply whole, cut at offsets drawn from its own bytes, and one
// byte at a time.
Read checkSplits(const std::string& reply, bool bareLf) {
  Read whole = readSplit(reply, {}, bareLf);
  check(readSplit(reply, ownCuts(reply), bareLf) == whole, "another reply when split at its own offsets");
  if (reply.size() <= 2048) {
    std::vector<std::size_t> bytes;
    for (std::size_t i = 1; i < reply.size(); ++i) bytes.push_back(i);
    check(readSplit(reply, bytes, bareLf) == whole, "another reply when read one byte at a time");
  }
  // A header that frames nothing leaves neither a body nor an end.
  if (whole.fault != ReplyReader::HeaderFault::None) {
    check(whole.headerDone && whole.framing == ReplyReader::Framing::Invalid, "a faulty header that frames a body");
    check(!whole.complete && whole.body.empty() && whole.state == ReplyReader::BodyState::Invalid,
          "a reply with a faulty header that has a body or an end");
  }
  check(whole.framing != ReplyReader::Framing::Invalid || whole.fault != ReplyReader::HeaderFault::None,
        "a reply without framing and without a fault");
  return whole;
}

std::string fileText(const std::string& path) {
  std::string text;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char piece[4096];
    for (std::size_t n; (n = std::fread(piece, 1, sizeof piece, f)) > 0;) text.append(piece, n);
    std::fclose(f);
  }
  return text;
}

// The one file the destination holds, or "" when it holds none.
std::string onlyFile() {
  std::string found;
  int count = 0;
  if (DIR* d = opendir(destDir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      found = destDir + "/" + name;
      ++count;
    }
    closedir(d);
  }
  check(count <= 1, "more than one file in the destination");
  return found;
}

std::string compressed(const std::string& data, int windowBits) {
  z_stream z{};
  if (deflateInit2(&z, 6, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
  std::string out(deflateBound(&z, data.size()) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) std::abort();
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// A reply framing and coding `body` as `how` says, followed by bytes that
// are not its own.
std::string framedReply(const std::string& body, unsigned char how, std::string* coding) {
  const int codings[] = {0, 31, 15, -15};  // none, gzip, zlib, raw deflate
  int windowBits = codings[(how >> 1) & 3];
  bool chunked = (how >> 3) & 1;
  std::string sent = windowBits == 0 ? body : compressed(body, windowBits);
  *coding = windowBits == 0 ? "" : windowBits == 31 ? "gzip" : "deflate";
  std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n";
  if (!coding->empty()) reply += "Content-Encoding: " + *coding + "\r\n";
  if (!chunked) return reply + "Content-Length: " + std::to_string(sent.size()) + "\r\n\r\n" + sent + "NEXT";
  reply += "Transfer-Encoding: chunked\r\n\r\n";
  std::size_t size = 1 + (how >> 4);
  for (std::size_t at = 0; at < sent.size(); at += size) {
    std::string piece = sent.substr(at, size);
    char line[32];
    std::snprintf(line, sizeof line, "%zx", piece.size());
    reply += line + std::string(at % 2 ? ";ext=\"v\"" : "") + "\r\n" + piece + "\r\n";
  }
  return reply + "0;end\r\nX-Trailer: t\r\n\r\nNEXT";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char dir[] = "/tmp/reply-fuzz.XXXXXX";
  if (!mkdtemp(dir)) std::abort();
  root = dir;
  destDir = root + "/dest";
  silentMode = 1;
  std::atexit([] { std::system(("rm -rf '" + root + "'").c_str()); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  unsigned char how = input.empty() ? 0 : static_cast<unsigned char>(input[0]);
  std::string rest = input.empty() ? input : input.substr(1);
  std::string reply = rest;
  if (how & 1) {
    std::string coding;
    reply = framedReply(rest, how, &coding);
    Read r = checkSplits(reply, false);
    check(r.headerDone && r.status == 200, "a framed reply without its header");
    check(r.complete && r.state == ReplyReader::BodyState::Whole, "a framed reply not whole");
    check(r.body == rest, "a framed body that did not come back unchanged");
    check(r.used == reply.size() - 4, "bytes after the reply taken as its own");
  } else {
    checkSplits(reply, false);
    checkSplits(reply, true);
  }
  spinnerState = 0;
  attachmentSaved = 0;
  // The parser judges the reader that read the reply, as a connection's
  // pieces brought it.
  ReplyReader reader(serviceReplyOptions());
  feedSplit(&reader, reply, ownCuts(reply));
  ReplyParse result = examineReply(reader);
  if (attachmentSaved) {
    check(result.fault == nullptr && result.status == 200, "a module installed from a refused reply");
    check(reader.headerFault() == ReplyReader::HeaderFault::None &&
              reader.bodyState() == ReplyReader::BodyState::Whole && !reader.body().empty(),
          "a module installed from a reply that is not whole");
    check(fileText(onlyFile()) == reader.body(), "a module that is not the reply's body");
    check(reader.contentLength() && *reader.contentLength() > 0, "a module installed without its size");
    if (reader.framing() == ReplyReader::Framing::Length && !reader.coded())
      check(*reader.contentLength() == reader.body().size(), "a module of another size than its length");
  } else {
    check(onlyFile().empty(), "a file installed without the parser saying so");
  }
  if (result.text && result.status == 200) {
    for (const char* marker : {"<!-- STATUS: ", "<!-- PERCENT: ", "<!-- AVGTIME: ", "<!-- URL: "})
      extractMarkerValue(*result.text, marker);
  }
  checkNothingOutside();
  removeEntries(destDir, nullptr);
  return 0;
}
