// The Buffer record, on the heap or in an OSSP mm pool.
#include "productlib/buffer.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

#include "productlib/alloc.h"
#include "productlib/growth.h"
#include "setup/log.h"

namespace {
constexpr const char kNullBuffer[] = "Null buffer given to packBuf";

int cursorOffset(const Buffer* buffer) { return static_cast<int>(buffer->pos - buffer->data); }

}  // namespace

std::uint32_t unreadBytes(const Buffer* buffer) {
  const unsigned char* end = buffer->data + buffer->used;
  return buffer->pos < end ? static_cast<std::uint32_t>(end - buffer->pos) : 0;
}

int createBuffer(Buffer** buffer, std::uint32_t capacity) {
  *buffer = static_cast<Buffer*>(alloc_instance(sizeof(Buffer), "Buffer"));
  if (!*buffer) return 1;
  Buffer* b = *buffer;
  b->data = static_cast<unsigned char*>(alloc_instance(capacity, "Buffer"));
  if (!b->data) return 1;
  b->capacity = capacity;
  b->pos = b->data;
  b->used = 0;
  return 0;
}

int createShmBuffer(MM* pool, Buffer** buffer, std::uint32_t capacity) {
  *buffer = pool ? static_cast<Buffer*>(mm_malloc(pool, sizeof(Buffer))) : nullptr;
  if (!*buffer) {
    logMessage(0, "error allocating shared memory buffer struct");
    return 1;
  }
  Buffer* b = *buffer;
  std::memset(b, 0, sizeof *b);
  // mm refuses a request for 0 bytes; one byte keeps the area distinct.
  std::size_t size = capacity ? capacity : 1;
  b->data = static_cast<unsigned char*>(mm_malloc(pool, size));
  if (!b->data) {
    logMessage(0, "error allocating shared memory buffer of size (%u)", capacity);
    return 1;
  }
  std::memset(b->data, 0, size);
  b->capacity = capacity;
  b->pos = b->data;
  b->used = 0;
  return 0;
}

int freeBuffer(Buffer* buffer) {
  if (!buffer) return 1;
  std::free(buffer->data);
  std::free(buffer);
  return 0;
}

int freeShmBuffer(MM* pool, Buffer* buffer) {
  if (!buffer) return 1;
  if (buffer->data) mm_free(pool, buffer->data);
  mm_free(pool, buffer);
  return 0;
}

void clearBuffer(Buffer* buffer) {
  buffer->pos = buffer->data;
  buffer->used = 0;
}

void resetBuffer(Buffer* buffer) { clearBuffer(buffer); }

void rewindBuffer(Buffer* buffer) { buffer->pos = buffer->data; }

int packMsgBuf(Buffer* buffer, const void* source, std::uint32_t n) {
  if (!buffer || !buffer->data || !source) {
    logMessage(0, "%s", kNullBuffer);
    return 1;
  }
  if (buffer->used > buffer->capacity || n > buffer->capacity - buffer->used) {
    logMessage(0, "packing exceeded buffer size");
    return 1;
  }
  if (buffer->pos != buffer->data + buffer->used) {
    logMessage(0, "Buffer is not at the end when packing (pos=%d used=%d)", cursorOffset(buffer),
               static_cast<int>(buffer->used));
    return 1;
  }
  if (n) std::memcpy(buffer->pos, source, n);
  buffer->pos += n;
  buffer->used += n;
  return 0;
}

int packMsgBufGrow(Buffer* buffer, const void* source, std::uint32_t n) {
  if (!buffer || !source) {
    logMessage(0, "%s", kNullBuffer);
    return 1;
  }
  std::uint32_t grown = 0;
  if (!grownCapacity(buffer->capacity, buffer->used, n, &grown)) {
    logMessage(0, "could not allocate memory for message buffer.");
    return 1;
  }
  if (grown > buffer->capacity || !buffer->data) {
    std::ptrdiff_t cursor = buffer->pos - buffer->data;
    void* larger = std::realloc(buffer->data, grown);
    if (!larger) {
      logMessage(0, "could not allocate memory for message buffer.");
      return 1;
    }
    buffer->data = static_cast<unsigned char*>(larger);
    buffer->pos = buffer->data + cursor;
    buffer->capacity = grown;
  }
  return packMsgBuf(buffer, source, n);
}

int packMsgUint32(Buffer* buffer, std::uint32_t value) {
  std::uint32_t wire = htonl(value);
  return packMsgBuf(buffer, &wire, 4);
}

int packMsgString(Buffer* buffer, const char* text) {
  if (!text) {
    logMessage(0, "%s", kNullBuffer);
    return 1;
  }
  std::uint32_t length = static_cast<std::uint32_t>(std::strlen(text));
  if (packMsgUint32(buffer, length)) return 1;
  return packMsgBuf(buffer, text, length);
}

int unpackMsgBuf(Buffer* buffer, void* destination, std::uint32_t n) {
  if (!buffer || !buffer->data || !destination) {
    logMessage(0, "%s", kNullBuffer);
    return 1;
  }
  if (unreadBytes(buffer) < n) {
    logMessage(0, "buffer underrun during unpacking %d bytes (used=%d pos=%d)", static_cast<int>(n),
               static_cast<int>(buffer->used), cursorOffset(buffer));
    return 1;
  }
  if (n) std::memcpy(destination, buffer->pos, n);
  buffer->pos += n;
  return 0;
}

int unpackMsgUint32(Buffer* buffer, std::uint32_t* value) {
  std::uint32_t wire;
  if (unpackMsgBuf(buffer, &wire, 4)) return 1;
  *value = ntohl(wire);
  return 0;
}

int unpackMsgString(Buffer* buffer, char* destination, std::uint32_t maxLength) {
  std::uint32_t length = 0;
  if (unpackMsgUint32(buffer, &length)) return 1;
  if (length > maxLength) {
    logMessage(0, "buffer exceeded while unpacking string");
    return 1;
  }
  return unpackMsgBuf(buffer, destination, length);
}
