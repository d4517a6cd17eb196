// The slice reader of an earlier commit (SL_BENCH_BASELINE), compiled next
// to the current one so that codec_bench can time both in one run. Every
// source of that reader is compiled inside namespace sl_baseline (see
// bench/CMakeLists.txt), after the standard headers and the platform layer
// it includes, which stay outside and are shared.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform.h"

namespace sl_baseline {
// The earlier platform layer's name for the memory a slice may take.
inline uint64_t physical_memory_bytes() { return usable_memory_bytes(); }
}  // namespace sl_baseline

#ifdef SL_BASELINE_API
// codec_bench's view of the earlier reader: its public face.
namespace sl_baseline {
#include SL_BASELINE_API
}  // namespace sl_baseline
#endif
