// Packing values into byte areas in network order, and unpacking them.
//
// Wire encodings: integers big-endian (64-bit: high 32 bits first); a string
// is its 32-bit length without terminator, then its bytes, no terminator.
//
// Every operation returns 0 on success and 1 on failure, after one log line
// at level 0. A refused check writes nothing and moves nothing, except that a
// string packer whose length fits but whose bytes do not leaves the length
// packed. Room is checked without sums that could wrap.
//
// Flat buffers: the caller holds an area, its capacity and a write offset.
// - Fixed: area and capacity by value, offset by address; never resized.
// - Growable: area, capacity and offset by address; starts as a null area of
//   capacity 0, lives on the heap (released with free), and doubles from 32
//   until the data fits. It never grows past 2^31 bytes.
//
// Buffer: data area with capacity, a cursor `pos` and the count `used`.
// - data <= pos <= data + used <= data + capacity.
// - Packing appends at data + used and is allowed only while pos is there;
//   unpacking reads from pos up to data + used and moves pos only.
// - Heap Buffers (createBuffer) are released with freeBuffer and may grow
//   with packMsgBufGrow; pool Buffers (createShmBuffer) with freeShmBuffer,
//   and never grow. Nothing here locks: whoever shares a pool Buffer does.
#pragma once

#include <mm.h>

#include <cstdint>

#include "productlib/byte_order.h"

int packBuf(unsigned char* area, std::uint32_t capacity, std::uint32_t* offset, const void* source,
            std::uint32_t n);
int packUint8(unsigned char* area, std::uint32_t capacity, std::uint32_t* offset, std::uint8_t value);
int packUint16(unsigned char* area, std::uint32_t capacity, std::uint32_t* offset, std::uint16_t value);
int packUint32(unsigned char* area, std::uint32_t capacity, std::uint32_t* offset, std::uint32_t value);
int packUint64(unsigned char* area, std::uint32_t capacity, std::uint32_t* offset, std::uint64_t value);
int packString(unsigned char* area, std::uint32_t capacity, std::uint32_t* offset, const char* text);

int packBufGrow(unsigned char** area, std::uint32_t* capacity, std::uint32_t* offset, const void* source,
                std::uint32_t n);
int packStringGrow(unsigned char** area, std::uint32_t* capacity, std::uint32_t* offset, const char* text);

struct Buffer {
  unsigned char* data;
  std::uint32_t capacity;
  unsigned char* pos;
  std::uint32_t used;
};

// Both leave *buffer null when the record cannot be had, and the zeroed
// record with a null data area when only the area failed.
int createBuffer(Buffer** buffer, std::uint32_t capacity);
int createShmBuffer(MM* pool, Buffer** buffer, std::uint32_t capacity);
int freeBuffer(Buffer* buffer);
int freeShmBuffer(MM* pool, Buffer* buffer);

// Empty the Buffer (two names for one operation).
void clearBuffer(Buffer* buffer);
void resetBuffer(Buffer* buffer);
// Start unpacking again from the first byte; the packed count stays.
void rewindBuffer(Buffer* buffer);
// Bytes between the cursor and the end of the packed data; 0 if the cursor
// was ever moved past it.
std::uint32_t unreadBytes(const Buffer* buffer);

int packMsgBuf(Buffer* buffer, const void* source, std::uint32_t n);
int packMsgBufGrow(Buffer* buffer, const void* source, std::uint32_t n);
int packMsgUint32(Buffer* buffer, std::uint32_t value);
int packMsgString(Buffer* buffer, const char* text);

int unpackMsgBuf(Buffer* buffer, void* destination, std::uint32_t n);
// The value is written only on success.
int unpackMsgUint32(Buffer* buffer, std::uint32_t* value);
// Copies exactly the text's bytes (no terminator) when its length is at most
// maxLength; a longer one is refused with its 4 length bytes consumed.
int unpackMsgString(Buffer* buffer, char* destination, std::uint32_t maxLength);
