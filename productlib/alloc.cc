#include "productlib/alloc.h"

#include <cstdlib>
#include <cstring>

#include "setup/log.h"

void zero_memory(void* area, std::size_t size) {
  if (size) std::memset(area, 0, size);
}

void fill_ones(void* area, std::size_t size) {
  if (size) std::memset(area, 0xFF, size);
}

// Allocators may answer a request for 0 bytes with null; ask for one byte
// so that null keeps meaning "out of memory".
static std::size_t atLeastOne(std::size_t size) { return size ? size : 1; }

void* alloc_instance(std::size_t size, const char* name) {
  void* block = std::calloc(1, atLeastOne(size));
  if (!block) logMessage(0, "couldn't allocate instance of %s", name);
  return block;
}

void* alloc_shm_instance(MM* pool, std::size_t size, const char* name) {
  void* block = pool ? mm_malloc(pool, atLeastOne(size)) : nullptr;
  if (!block) {
    logMessage(0, "error allocating shared memory instance of %s", name);
    return nullptr;
  }
  std::memset(block, 0, atLeastOne(size));
  return block;
}

void* alloc_raw_instance(std::size_t size, const char* name) {
  void* block = std::malloc(atLeastOne(size));
  if (!block) logMessage(0, "couldn't allocate instance of %s", name);
  return block;
}
