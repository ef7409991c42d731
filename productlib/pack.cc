// Flat buffers: fixed and growable.
#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

#include "productlib/buffer.h"
#include "productlib/growth.h"
#include "setup/log.h"

int packBuf(unsigned char* area, std::uint32_t capacity, std::uint32_t* offset, const void* source,
            std::uint32_t n) {
  if (!area || !offset || (!source && n != 0)) {
    logMessage(0, "Null buffer given to packBuf");
    return 1;
  }
  if (*offset > capacity || n > capacity - *offset) {
    logMessage(0, "packing exceeded buffer size");
    return 1;
  }
  if (n) std::memcpy(area + *offset, source, n);
  *offset += n;
  return 0;
}

int packUint8(unsigned char* area, std::uint32_t capacity, std::uint32_t* offset, std::uint8_t value) {
  return packBuf(area, capacity, offset, &value, 1);
}

int packUint16(unsigned char* area, std::uint32_t capacity, std::uint32_t* offset, std::uint16_t value) {
  std::uint16_t wire = htons(value);
  return packBuf(area, capacity, offset, &wire, 2);
}

int packUint32(unsigned char* area, std::uint32_t capacity, std::uint32_t* offset, std::uint32_t value) {
  std::uint32_t wire = htonl(value);
  return packBuf(area, capacity, offset, &wire, 4);
}

int packUint64(unsigned char* area, std::uint32_t capacity, std::uint32_t* offset, std::uint64_t value) {
  std::uint64_t wire = htonll(value);
  return packBuf(area, capacity, offset, &wire, 8);
}

int packString(unsigned char* area, std::uint32_t capacity, std::uint32_t* offset, const char* text) {
  if (!text) {
    logMessage(0, "Null buffer given to packBuf");
    return 1;
  }
  std::uint32_t length = static_cast<std::uint32_t>(std::strlen(text));
  if (packUint32(area, capacity, offset, length)) return 1;
  return packBuf(area, capacity, offset, text, length);
}

int packBufGrow(unsigned char** area, std::uint32_t* capacity, std::uint32_t* offset, const void* source,
                std::uint32_t n) {
  if (!area || !capacity || !offset) {
    logMessage(0, "Null buffer given to packBuf");
    return 1;
  }
  std::uint32_t grown = 0;
  if (!grownCapacity(*capacity, *offset, n, &grown)) {
    logMessage(0, "could not allocate memory for new packed buffer.");
    return 1;
  }
  if (grown > *capacity) {
    void* larger = std::realloc(*area, grown);
    if (!larger) {
      logMessage(0, "could not allocate memory for new packed buffer.");
      return 1;
    }
    *area = static_cast<unsigned char*>(larger);
    *capacity = grown;
  }
  return packBuf(*area, *capacity, offset, source, n);
}

int packStringGrow(unsigned char** area, std::uint32_t* capacity, std::uint32_t* offset, const char* text) {
  if (!text) {
    logMessage(0, "Null buffer given to packBuf");
    return 1;
  }
  std::uint32_t length = static_cast<std::uint32_t>(std::strlen(text));
  std::uint32_t wire = htonl(length);
  if (packBufGrow(area, capacity, offset, &wire, 4)) return 1;
  return packBufGrow(area, capacity, offset, text, length);
}
