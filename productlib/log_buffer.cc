#include "productlib/log_buffer.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "productlib/alloc.h"
#include "productlib/framing.h"
#include "productlib/sockets.h"
#include "setup/log.h"
#include "setup/output.h"

const char kLogSuppressedText[] =
    "Further agent log messages are being suppressed.  Please check the agent's log file for further logs.";

MM* logBufferPool = nullptr;
LogBuffer* logBufferRecord = nullptr;
std::uint8_t logBufferActive = 0;

LogBufferLockCalls logBufferLockCalls = {[](MM* pool) { return mm_lock(pool, MM_LOCK_RW); },
                                         [](MM* pool) { return mm_unlock(pool); }};

namespace {

constexpr std::size_t kPoolNameSize = 20480;
constexpr std::size_t kRecordHeaderSize = 8;  // level and length

// Lines the logger finishes while the buffer is active.
void handOverLine(int level, const char* line) {
  if (!logBufferActive || !logBufferRecord) return;
  if (level == kUnbufferedLogLevel) return;
  if (logBufferRecord->appended >= kLogBufferLineLimit) return;
  appendLogBuffer(static_cast<std::uint32_t>(level), line);
  if (logBufferRecord && logBufferRecord->appended >= kLogBufferLineLimit)
    appendLogBuffer(static_cast<std::uint32_t>(level), kLogSuppressedText);
}

void forgetLogBuffer() {
  logBufferPool = nullptr;
  logBufferRecord = nullptr;
  logBufferActive = 0;
  if (logBufferSink == handOverLine) logBufferSink = nullptr;
}

}  // namespace

std::string logBufferPoolName(const char* directory, int pid) {
  std::string name = formatNarrow("%s/logbuffer.%d.shm", directory, pid);
  if (name.size() > kPoolNameSize - 1) name.resize(kPoolNameSize - 1);
  return name;
}

int createLogBuffer(int socket, const char* directory) {
  if (logBufferPool) {
    logMessage(0, "A log buffer exists already");
    return 1;
  }
  std::string name = logBufferPoolName(directory, static_cast<int>(getpid()));
  MM* pool = mm_create(kLogPoolSize, name.c_str());
  if (!pool) {
    logMessage(0, "Was unable to create shared memory for log buffer");
    return 1;
  }
  auto* record = static_cast<LogBuffer*>(alloc_shm_instance(pool, sizeof(LogBuffer), "LogBuffer"));
  Buffer* area = nullptr;
  if (!record || createShmBuffer(pool, &area, kLogRecordAreaSize) != 0 || !area) {
    logMessage(0, "Was unable to allocate the log buffer in shared memory");
    mm_destroy(pool);
    return 1;
  }
  record->records = area;
  record->appended = 0;
  record->queued = 0;
  record->lost = 0;
  record->full = 0;
  record->destination = socket;
  logBufferPool = pool;
  logBufferRecord = record;
  logBufferSink = handOverLine;
  logBufferActive = 1;
  return 0;
}

int destroyLogBuffer() {
  if (!logBufferActive || !logBufferPool || !logBufferRecord) return 0;
  MM* pool = logBufferPool;
  if (!logBufferLockCalls.lock(pool)) return 1;
  freeShmBuffer(pool, logBufferRecord->records);
  logBufferRecord->records = nullptr;
  forgetLogBuffer();
  // The lock goes with the pool.
  mm_destroy(pool);
  return 0;
}

int appendLogBuffer(std::uint32_t level, const char* text) {
  if (!logBufferActive) return 0;
  logBufferActive = 0;
  int result = 0;
  LogBuffer* record = logBufferRecord;
  if (!record || !record->records || !logBufferPool) {
    result = 1;
  } else if (!logBufferLockCalls.lock(logBufferPool)) {
    result = 1;
  } else {
    Buffer* area = record->records;
    std::uint64_t length = std::strlen(text);
    if (area->used + length + kRecordHeaderSize > area->capacity) record->full = 1;
    if (record->full) {
      ++record->lost;
    } else {
      // A pack that fails halfway must not leave a record without its text.
      unsigned char* savedPos = area->pos;
      std::uint32_t savedUsed = area->used;
      if (packMsgUint32(area, level) != 0 || packMsgString(area, text) != 0) {
        area->pos = savedPos;
        area->used = savedUsed;
        ++record->lost;
        result = 1;
      } else {
        ++record->queued;
        ++record->appended;
      }
    }
    logBufferLockCalls.unlock(logBufferPool);
  }
  logBufferActive = 1;
  return result;
}

int flushLogBuffer(int socket) {
  if (!logBufferActive) return 0;
  logBufferActive = 0;
  int result = 0;
  LogBuffer* record = logBufferRecord;
  if (!record || !logBufferPool || !record->records || record->destination != socket ||
      (record->queued == 0 && record->lost == 0)) {
    // nothing to send to this socket
  } else if (!logBufferLockCalls.lock(logBufferPool)) {
    result = 1;
  } else {
    Buffer* area = record->records;
    rewindBuffer(area);
    std::uint32_t lost = record->lost;
    std::uint32_t start = 0;
    if (area->used > area->capacity) {
      logMessage(0, "Bad record in the log buffer; (%u) log message(s) dropped", record->queued);
      lost += record->queued;
      start = record->queued;
    }
    for (std::uint32_t i = start; i < record->queued; ++i) {
      std::uint32_t level = 0;
      std::uint32_t length = 0;
      // The area is shared with other processes: a record that does not
      // hold together ends the flush, and what is left counts as lost.
      bool sound = unreadBytes(area) >= kRecordHeaderSize && unpackMsgUint32(area, &level) == 0 &&
                   unpackMsgUint32(area, &length) == 0 && length <= unreadBytes(area);
      if (!sound) {
        logMessage(0, "Bad record in the log buffer; (%u) log message(s) dropped", record->queued - i);
        lost += record->queued - i;
        break;
      }
      send_message_flushing_log(record->destination, kLogRecordType + level, area->pos, length);
      area->pos += length;
    }
    if (lost != 0) {
      char report[1024];
      int n = std::snprintf(report, sizeof report, "Lost (%u) log message(s) due to the log buffer being full", lost);
      send_message_flushing_log(record->destination, kLogRecordType, report, static_cast<std::uint32_t>(n));
    }
    resetBuffer(area);
    record->queued = 0;
    record->lost = 0;
    record->full = 0;
    logBufferLockCalls.unlock(logBufferPool);
  }
  logBufferActive = 1;
  return result;
}

namespace {

struct FlushingPayload {
  std::uint32_t code;
  const void* data;
  std::uint32_t length;
  bool withMessage;
};

int flushThenSend(int socket, void* context) {
  const auto* payload = static_cast<const FlushingPayload*>(context);
  if (logBufferActive && flushLogBuffer(socket) != 0) {
    logMessage(0, "Error sending log messages to host");
    return 1;
  }
  if (send_code(socket, payload->code) != 0) return 1;
  if (payload->withMessage) return send_message(socket, payload->data, payload->length);
  return 0;
}

}  // namespace

int send_code_flushing_log(int socket, std::uint32_t code) {
  FlushingPayload payload{code, nullptr, 0, false};
  return sendCorked(socket, flushThenSend, &payload);
}

int send_message_flushing_log(int socket, std::uint32_t code, const void* data, std::uint32_t length) {
  // A length that cannot be sent is refused before the code, or any queued
  // line, goes out: the peer would read the stream out of step.
  if (checkMessageLength(length)) return 1;
  FlushingPayload payload{code, data, length, true};
  return sendCorked(socket, flushThenSend, &payload);
}
