#include "memory_limit.h"

#include "platform.h"

uint64_t reader_memory_limit = 0;

uint64_t slice_image_bytes(uint32_t width, uint32_t height) {
  // Each row is one heap block of 2 × width bytes with a header of 8 bytes,
  // rounded up to 16 and at least 32, and one pointer in the row array.
  uint64_t block = (2ull * width + 8 + 15) & ~uint64_t{15};
  if (block < 32) block = 32;
  return static_cast<uint64_t>(height) * (block + sizeof(void *));
}

uint64_t effective_memory_limit() {
  if (reader_memory_limit != 0) return reader_memory_limit;
  return usable_memory_bytes();
}
