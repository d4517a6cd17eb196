// The most memory one slice image may take. A slice that cannot fit in the
// memory this run may use would otherwise end the process through the system's
// out-of-memory handling instead of with one line naming the file; it is
// refused up front with "cell memory allocation error.", the reader's
// message for a slice image that cannot be allocated.
#pragma once

#include <cstdint>

#include "read_slice.h"  // slice_image_bytes

// In bytes; 0, the default, stands for usable_memory_bytes() (platform.h). Tests
// and the fuzz target set a lower limit.
extern uint64_t reader_memory_limit;

// reader_memory_limit, or usable_memory_bytes() when it is 0.
uint64_t effective_memory_limit();
