// Feeds arbitrary bytes, as a peer would send them, through a local socket
// pair into the framed readers, unpacks the messages read from a Buffer on
// the heap or in an mm pool, and packs every value read back into a fixed
// and a growable flat buffer.
//
// Input: one byte n, then n script bytes, then the stream. Each script byte
// names a step in its high four bits and a parameter p in its low four:
//   0 net_read_u16    1 net_read_u32    2 net_read_i32    3 net_read_u64
//   4 net_read_full of p bytes           5 net_read_full of -1 - p bytes
//   6 net_read_message (capacity kSizes[p]), kept in a heap Buffer
//   7 the same, kept in a Buffer in the mm pool
//   8 unpackMsgUint32  9 unpackMsgString (maximum kSizes[p])
//   10 unpackMsgBuf of p bytes  11 rewindBuffer  12 pack p bytes at the end
// The whole stream is written and the sending end closed before the first
// read, so a read never waits: it either finds its bytes or the end.
//
// Besides the sanitizers, each step is checked against a model of the
// stream and of the Buffer: what succeeds, what a step consumes, that out
// values are written only on success, and that packing reproduces the
// bytes that were read.
#include <fcntl.h>
#include <mm.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "productlib/buffer.h"
#include "productlib/framing.h"
#include "setup/log.h"
#include "setup/unique_fd.h"

namespace {

constexpr std::uint32_t kSizes[16] = {0, 1, 2, 3, 4, 5, 7, 8, 16, 31, 32, 64, 100, 255, 256, 4096};
constexpr std::uint32_t kFixedCapacity = 256;
constexpr std::uint32_t kSentinel32 = 0xA5A5A5A5u;
constexpr std::uint64_t kSentinel64 = 0xA5A5A5A5A5A5A5A5u;

// The mm pool keeps a lock file in /tmp for its life: it is destroyed when
// the fuzzer exits (libFuzzer ends a run with exit) and before a failed
// check aborts, so neither leaves the file behind.
struct Pool {
  MM* mm = nullptr;
  ~Pool() { destroy(); }
  void destroy() {
    if (mm) mm_destroy(mm);
    mm = nullptr;
  }
};
Pool pool;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "framing_fuzz: %s\n", what);
  pool.destroy();
  std::abort();
}

void check(bool holds, const char* what) {
  if (!holds) fail(what);
}

std::uint64_t bigEndian(const std::string& bytes, std::size_t at, std::size_t count) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < count; ++i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// The message last read, in its Buffer, and the model of that Buffer.
struct Message {
  Buffer* buffer = nullptr;
  bool shared = false;
  std::string bytes;    // what was packed
  std::size_t cursor = 0;

  void release() {
    if (!buffer) return;
    int freed = shared ? freeShmBuffer(pool.mm, buffer) : freeBuffer(buffer);
    check(freed == 0, "a Buffer could not be freed");
    buffer = nullptr;
  }
  void checkRecord() const {
    if (!buffer) return;
    check(buffer->used == bytes.size(), "Buffer used differs from what was packed");
    check(buffer->pos == buffer->data + cursor, "Buffer cursor differs from what was unpacked");
    check(buffer->used <= buffer->capacity, "Buffer holds more than its capacity");
    check(unreadBytes(buffer) == bytes.size() - cursor, "unread count differs");
    check(std::memcmp(buffer->data, bytes.data(), bytes.size()) == 0, "Buffer bytes differ from what was packed");
  }
};

// The two flat buffers receive every value read; the model is what the
// fixed one should hold (it refuses what no longer fits) and what the
// growable one should hold (everything).
struct FlatBuffers {
  unsigned char fixed[kFixedCapacity] = {};
  std::uint32_t fixedOffset = 0;
  std::string fixedModel;
  unsigned char* grown = nullptr;
  std::uint32_t grownCapacity = 0;
  std::uint32_t grownOffset = 0;
  std::string grownModel;

  ~FlatBuffers() { std::free(grown); }

  // The fixed buffer takes bytes only while they fit.
  void expectFixed(const std::string& bytes, int result) {
    bool fits = bytes.size() <= kFixedCapacity - fixedModel.size();
    check(result == (fits ? 0 : 1), "fixed flat buffer accepted or refused wrongly");
    if (fits) fixedModel += bytes;
  }
  void expectGrown(const std::string& bytes, int result) {
    check(result == 0, "growable flat buffer refused a small pack");
    grownModel += bytes;
  }

  void bytes(const std::string& data) {
    int f = packBuf(fixed, kFixedCapacity, &fixedOffset, data.data(), static_cast<std::uint32_t>(data.size()));
    int g = packBufGrow(&grown, &grownCapacity, &grownOffset, data.data(), static_cast<std::uint32_t>(data.size()));
    expectFixed(data, f);
    expectGrown(data, g);
  }

  // A text without NUL goes through the string packers; the length goes in
  // even when the bytes then do not fit.
  void text(const std::string& data) {
    if (data.find('\0') != std::string::npos) return;
    std::string length;
    for (int shift = 24; shift >= 0; shift -= 8)
      length.push_back(static_cast<char>((data.size() >> shift) & 0xFF));
    int f = packString(fixed, kFixedCapacity, &fixedOffset, data.c_str());
    bool lengthFits = 4 <= kFixedCapacity - fixedModel.size();
    bool allFits = length.size() + data.size() <= kFixedCapacity - fixedModel.size();
    check(f == (allFits ? 0 : 1), "packString accepted or refused wrongly");
    if (lengthFits) fixedModel += length;
    if (allFits) fixedModel += data;
    int g = packStringGrow(&grown, &grownCapacity, &grownOffset, data.c_str());
    expectGrown(length + data, g);
  }

  void checkAll() const {
    check(fixedOffset == fixedModel.size(), "fixed flat offset differs");
    check(std::memcmp(fixed, fixedModel.data(), fixedModel.size()) == 0, "fixed flat bytes differ");
    check(grownOffset == grownModel.size(), "growable flat offset differs");
    check(grownOffset <= grownCapacity, "growable flat offset beyond capacity");
    check(grownCapacity == 0 || grownCapacity == 32 || grownCapacity / 2 < grownOffset,
          "growable flat buffer grew more than needed");
    if (grownOffset) check(std::memcmp(grown, grownModel.data(), grownModel.size()) == 0, "growable flat bytes differ");
  }
};

// Writes the whole stream into a socket pair and closes the sending end.
// What the pair cannot hold is left out of the stream.
UniqueFd streamOf(std::string* stream) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) fail("no socket pair");
  UniqueFd reader(fds[0]);
  UniqueFd writer(fds[1]);
  ::fcntl(writer.get(), F_SETFL, O_NONBLOCK);
  std::size_t sent = 0;
  while (sent < stream->size()) {
    ssize_t n = ::send(writer.get(), stream->data() + sent, stream->size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  stream->resize(sent);
  return reader;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Every refused read logs a line; the formatting still runs.
  logToStdout = 0;
  set_net_timeout(5);
  pool.mm = mm_create(1 << 20, nullptr);
  if (!pool.mm) fail("no mm pool");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::size_t scriptLength = data[0];
  if (scriptLength > size - 1) scriptLength = size - 1;
  const std::uint8_t* script = data + 1;
  std::string stream(reinterpret_cast<const char*>(data + 1 + scriptLength), size - 1 - scriptLength);
  UniqueFd peer = streamOf(&stream);
  int fd = peer.get();

  std::size_t offset = 0;  // how far the readers have consumed the stream
  Message message;
  FlatBuffers flat;
  for (std::size_t i = 0; i < scriptLength; ++i) {
    unsigned step = script[i] >> 4;
    unsigned p = script[i] & 0x0F;
    std::size_t left = stream.size() - offset;
    switch (step) {
      case 0: case 1: case 2: case 3: {
        static const std::size_t widths[4] = {2, 4, 4, 8};
        std::size_t width = widths[step];
        // Each out value starts as a sentinel that a failed read must keep.
        std::uint16_t v16 = 0xA5A5;
        std::uint32_t v32 = kSentinel32;
        std::int32_t i32 = static_cast<std::int32_t>(kSentinel32);
        std::uint64_t v64 = kSentinel64;
        int result = step == 0   ? net_read_u16(fd, &v16)
                     : step == 1 ? net_read_u32(fd, &v32)
                     : step == 2 ? net_read_i32(fd, &i32)
                                 : net_read_u64(fd, &v64);
        std::uint64_t value = step == 0   ? v16
                              : step == 1 ? v32
                              : step == 2 ? static_cast<std::uint32_t>(i32)
                                          : v64;
        if (left < width) {
          check(result == 1, "a read past the end succeeded");
          check(v16 == 0xA5A5 && v32 == kSentinel32 && static_cast<std::uint32_t>(i32) == kSentinel32 &&
                    v64 == kSentinel64,
                "a failed read wrote its value");
          offset = stream.size();
          break;
        }
        check(result == 0, "a read of bytes at hand failed");
        check(value == bigEndian(stream, offset, width), "a value was read in the wrong byte order");
        std::string wire = stream.substr(offset, width);
        int f = step == 0   ? packUint16(flat.fixed, kFixedCapacity, &flat.fixedOffset, v16)
                : step == 3 ? packUint64(flat.fixed, kFixedCapacity, &flat.fixedOffset, v64)
                            : packUint32(flat.fixed, kFixedCapacity, &flat.fixedOffset, static_cast<std::uint32_t>(value));
        int g = packBufGrow(&flat.grown, &flat.grownCapacity, &flat.grownOffset, wire.data(),
                            static_cast<std::uint32_t>(width));
        flat.expectFixed(wire, f);
        flat.expectGrown(wire, g);
        offset += width;
        break;
      }
      case 4: {
        std::vector<char> area(p);
        int result = net_read_full(fd, area.data(), static_cast<int>(p));
        if (left < p) {
          check(result == 1, "a full read past the end succeeded");
          offset = stream.size();
          break;
        }
        check(result == 0, "a full read of bytes at hand failed");
        std::string got(area.begin(), area.end());
        check(got == stream.substr(offset, p), "a full read gave other bytes");
        flat.bytes(got);
        offset += p;
        break;
      }
      case 5: {
        char area[1] = {'x'};
        check(net_read_full(fd, area, -1 - static_cast<int>(p)) == 1, "a negative read count was taken");
        check(area[0] == 'x', "a negative read count wrote data");
        break;
      }
      case 6: case 7: {
        std::uint32_t capacity = kSizes[p];
        std::vector<char> area(capacity);
        std::uint32_t length = kSentinel32;
        int result = net_read_message(fd, area.data(), capacity, &length);
        if (left < 4) {
          check(result == 1 && length == kSentinel32, "a message without its length was read");
          offset = stream.size();
          break;
        }
        std::uint32_t announced = static_cast<std::uint32_t>(bigEndian(stream, offset, 4));
        if (announced > capacity) {
          // Refused with its data left in the stream.
          check(result == 1 && length == kSentinel32, "a message beyond the capacity was read");
          offset += 4;
          break;
        }
        if (left - 4 < announced) {
          check(result == 1 && length == kSentinel32, "a cut message was read");
          offset = stream.size();
          break;
        }
        check(result == 0 && length == announced, "a whole message was not read");
        std::string got(area.data(), announced);
        check(got == stream.substr(offset + 4, announced), "a message gave other bytes");
        flat.text(got);
        offset += 4 + announced;

        message.release();
        message.shared = step == 7;
        int created = message.shared ? createShmBuffer(pool.mm, &message.buffer, announced)
                                     : createBuffer(&message.buffer, announced);
        check(created == 0 && message.buffer, "no Buffer for a message");
        check(packMsgBuf(message.buffer, got.data(), announced) == 0, "a message does not fit its own Buffer");
        rewindBuffer(message.buffer);
        message.bytes = got;
        message.cursor = 0;
        break;
      }
      case 8: {
        if (!message.buffer) break;
        std::uint32_t value = kSentinel32;
        int result = unpackMsgUint32(message.buffer, &value);
        if (message.bytes.size() - message.cursor < 4) {
          check(result == 1 && value == kSentinel32, "an underrun unpacked a value");
          break;
        }
        check(result == 0, "a value at hand was not unpacked");
        check(value == bigEndian(message.bytes, message.cursor, 4), "a value was unpacked in the wrong byte order");
        flat.bytes(message.bytes.substr(message.cursor, 4));
        message.cursor += 4;
        break;
      }
      case 9: {
        if (!message.buffer) break;
        std::uint32_t maximum = kSizes[p];
        // One more byte than the maximum, cleared: the text always ends.
        std::vector<char> area(maximum + 1, '\0');
        int result = unpackMsgString(message.buffer, area.data(), maximum);
        std::size_t unread = message.bytes.size() - message.cursor;
        if (unread < 4) {
          check(result == 1, "a string without its length was unpacked");
          break;
        }
        std::uint32_t length = static_cast<std::uint32_t>(bigEndian(message.bytes, message.cursor, 4));
        if (length > maximum || unread - 4 < length) {
          // The length stays consumed.
          check(result == 1, "a string beyond its maximum or the data was unpacked");
          message.cursor += 4;
          break;
        }
        check(result == 0, "a string at hand was not unpacked");
        std::string text = message.bytes.substr(message.cursor + 4, length);
        check(std::memcmp(area.data(), text.data(), length) == 0, "a string gave other bytes");
        for (std::uint32_t k = length; k <= maximum; ++k) check(area[k] == '\0', "a string wrote past its bytes");
        flat.text(text);
        message.cursor += 4 + length;
        break;
      }
      case 10: {
        if (!message.buffer) break;
        std::vector<char> area(p);
        int result = unpackMsgBuf(message.buffer, area.empty() ? nullptr : area.data(), p);
        if (p == 0) {
          check(result == 1, "a null destination was taken");
          break;
        }
        if (message.bytes.size() - message.cursor < p) {
          check(result == 1, "an underrun unpacked bytes");
          break;
        }
        check(result == 0, "bytes at hand were not unpacked");
        std::string got(area.begin(), area.end());
        check(got == message.bytes.substr(message.cursor, p), "unpacked bytes differ");
        flat.bytes(got);
        message.cursor += p;
        break;
      }
      case 11:
        if (!message.buffer) break;
        rewindBuffer(message.buffer);
        message.cursor = 0;
        break;
      case 12: {
        if (!message.buffer) break;
        std::string more(p, static_cast<char>(0x5A));
        bool atEnd = message.cursor == message.bytes.size();
        int result;
        bool room;
        if (message.shared) {
          result = packMsgBuf(message.buffer, more.data(), p);
          room = message.buffer->capacity - message.bytes.size() >= p;
        } else {
          result = packMsgBufGrow(message.buffer, more.data(), p);
          room = true;
        }
        if (!(atEnd && room)) {
          check(result == 1, "packing was taken away from the end or beyond the room");
          break;
        }
        check(result == 0, "packing at the end was refused");
        message.bytes += more;
        message.cursor = message.bytes.size();
        break;
      }
      default:
        break;
    }
    message.checkRecord();
    flat.checkAll();
  }
  message.release();
  return 0;
}
