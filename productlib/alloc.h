// Memory filling and instance allocation.
//
// - An instance is a block allocated under a name that only the failure line
//   uses ("Buffer", "LogBuffer", "input buffer", "read buffer").
// - alloc_instance and alloc_shm_instance give zeroed blocks; alloc_raw_instance
//   leaves the bytes as the allocator gives them.
// - A failure returns null after one log line at level 0. A heap block is
//   released with free, a pool block with mm_free on its pool.
// - A size of 0 still gives a distinct block, so null always means failure.
#pragma once

#include <mm.h>

#include <cstddef>

void zero_memory(void* area, std::size_t size);
void fill_ones(void* area, std::size_t size);

void* alloc_instance(std::size_t size, const char* name);
void* alloc_shm_instance(MM* pool, std::size_t size, const char* name);
void* alloc_raw_instance(std::size_t size, const char* name);
