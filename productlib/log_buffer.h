// The shared-memory log buffer: log lines queued in an OSSP mm pool and
// forwarded to one peer connection as typed messages.
//
// - createLogBuffer(socket, directory) makes the pool "%s/logbuffer.%d.shm"
//   (directory, process id), the record and its 307200-byte area, binds the
//   buffer to the socket, activates it and lets the logger hand lines over
//   (never level 3, no more once 200 lines were queued in its life, and then
//   one suppression notice).
// - appendLogBuffer queues a line under the pool's lock, or counts it lost
//   once the area is full; flushLogBuffer sends the queue (and a report of the
//   lost lines) to the buffer's own socket and empties it.
// - The flushing senders cork, flush, send their code or message, uncork: the
//   queued lines precede the payload in the stream. A message length that
//   cannot be sent is refused first, with nothing sent at all.
// - While an append or flush runs the buffer counts as inactive, so lines
//   logged meanwhile are printed but not queued and no flush nests.
// - 0 is success, 1 failure. Only one log buffer exists at a time.
#pragma once

#include <mm.h>

#include <cstdint>
#include <string>

#include "productlib/buffer.h"

// Fields in this order: the record lives in the pool and is shared by every
// process that inherited it.
struct LogBuffer {
  std::int32_t destination;
  std::uint32_t appended;  // lines queued in the buffer's life
  std::uint32_t queued;    // records in the area now
  std::uint32_t lost;      // lines refused since the last flush
  std::uint8_t full;       // set once a line did not fit, until the next flush
  Buffer* records;
};

constexpr std::uint32_t kLogRecordType = 0xE1E7EFEE;  // plus the line's level
constexpr std::uint32_t kLogRecordAreaSize = 307200;
constexpr std::size_t kLogPoolSize = 807264;
constexpr std::uint32_t kLogBufferLineLimit = 200;
constexpr int kUnbufferedLogLevel = 3;  // the logger never hands these lines over
extern const char kLogSuppressedText[];

extern MM* logBufferPool;
extern LogBuffer* logBufferRecord;
extern std::uint8_t logBufferActive;

// The pool's locking, replaceable by tests. Both return non-zero on success.
struct LogBufferLockCalls {
  int (*lock)(MM* pool);
  int (*unlock)(MM* pool);
};
extern LogBufferLockCalls logBufferLockCalls;

// "%s/logbuffer.%d.shm", cut to 20479 characters like the name buffer.
std::string logBufferPoolName(const char* directory, int pid);

int createLogBuffer(int socket, const char* directory);
int destroyLogBuffer();
int appendLogBuffer(std::uint32_t level, const char* text);
int flushLogBuffer(int socket);

int send_code_flushing_log(int socket, std::uint32_t code);
int send_message_flushing_log(int socket, std::uint32_t code, const void* data, std::uint32_t length);
