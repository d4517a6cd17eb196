#include "vector_codes.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define SL_VECTOR_LOOKUPS 1
#if !defined(__clang__)
// GCC 12's intrinsics start some results from a deliberately undefined
// vector, which it then reports as maybe uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#endif

void build_code_steps(const uint16_t *codes, CodeSteps *steps) {
  steps->usable = false;
  for (size_t block = 0; block < 256; ++block) {
    const uint16_t *block_codes = codes + block * 256;
    const uint16_t base = block_codes[0];
    if (base > 255) return;
    size_t low = 1;
    while (low < 256 && block_codes[low] == base) ++low;
    steps->base[block] = static_cast<uint8_t>(base);
    steps->last_at_base[block] = static_cast<uint8_t>(low - 1);
    for (; low < 256; ++low) {
      if (block_codes[low] != base + 1 || base == 255) return;
    }
  }
  steps->usable = true;
}

#ifdef SL_VECTOR_LOOKUPS

namespace {

#define SL_TARGET_PERMUTES __attribute__((target("avx512f,avx512bw,avx512vbmi")))

// Where the low and the high bytes of 64 little-endian samples stand in
// the 128 bytes they take.
struct SampleBytes {
  alignas(64) uint8_t low[64];
  alignas(64) uint8_t high[64];
};

constexpr SampleBytes sample_bytes() {
  SampleBytes bytes{};
  for (int i = 0; i < 64; ++i) {
    bytes.low[i] = static_cast<uint8_t>(2 * i);
    bytes.high[i] = static_cast<uint8_t>(2 * i + 1);
  }
  return bytes;
}

constexpr SampleBytes kSampleBytes = sample_bytes();

// The byte of a 256-byte table at each index: two permutes of two halves of
// 128 bytes each, picked by the index's top bit.
SL_TARGET_PERMUTES inline __m512i look_up(const __m512i table[4], __m512i index) {
  const __m512i lower = _mm512_permutex2var_epi8(table[0], index, table[1]);
  const __m512i upper = _mm512_permutex2var_epi8(table[2], index, table[3]);
  return _mm512_mask_blend_epi8(_mm512_movepi8_mask(index), lower, upper);
}

SL_TARGET_PERMUTES size_t map_by_permutes(const CodeSteps &steps, const uint16_t *row, size_t width, uint8_t *out) {
  __m512i base[4], last_at_base[4];
  for (int i = 0; i < 4; ++i) {
    base[i] = _mm512_loadu_si512(steps.base + 64 * i);
    last_at_base[i] = _mm512_loadu_si512(steps.last_at_base + 64 * i);
  }
  const __m512i lows = _mm512_load_si512(kSampleBytes.low);
  const __m512i highs = _mm512_load_si512(kSampleBytes.high);
  const __m512i one = _mm512_set1_epi8(1);
  size_t j = 0;
  for (; j + 64 <= width; j += 64) {
    const __m512i first = _mm512_loadu_si512(row + j);
    const __m512i second = _mm512_loadu_si512(row + j + 32);
    const __m512i high = _mm512_permutex2var_epi8(first, highs, second);
    const __m512i low = _mm512_permutex2var_epi8(first, lows, second);
    const __m512i code = look_up(base, high);
    const __mmask64 stepped = _mm512_cmpgt_epu8_mask(low, look_up(last_at_base, high));
    _mm512_storeu_si512(out + j, _mm512_mask_add_epi8(code, stepped, code, one));
  }
  return j;
}

#define SL_TARGET_GATHERS __attribute__((target("avx512f,avx512bw")))

// Each code is loaded as the low half of four bytes.
SL_TARGET_GATHERS size_t map_by_gathers(const uint16_t *codes, const uint16_t *row, size_t width, uint16_t *out) {
  const auto *words = reinterpret_cast<const int *>(codes);
  size_t j = 0;
  for (; j + 32 <= width; j += 32) {
    const __m512i samples = _mm512_loadu_si512(row + j);
    const __m512i first = _mm512_cvtepu16_epi32(_mm512_castsi512_si256(samples));
    const __m512i second = _mm512_cvtepu16_epi32(_mm512_extracti64x4_epi64(samples, 1));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + j),
                        _mm512_cvtepi32_epi16(_mm512_i32gather_epi32(first, words, 2)));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + j + 16),
                        _mm512_cvtepi32_epi16(_mm512_i32gather_epi32(second, words, 2)));
  }
  return j;
}

bool has_byte_permutes() {
  static const bool has = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                          __builtin_cpu_supports("avx512vbmi");
  return has;
}

bool has_gathers() {
  static const bool has = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
  return has;
}

}  // namespace

size_t map_row_by_steps(const CodeSteps &steps, const uint16_t *row, size_t width, uint8_t *out) {
  if (!steps.usable || width < 64 || !has_byte_permutes()) return 0;
  return map_by_permutes(steps, row, width, out);
}

size_t map_row_by_gathers(const uint16_t *codes, const uint16_t *row, size_t width, uint16_t *out) {
  if (width < 32 || !has_gathers()) return 0;
  return map_by_gathers(codes, row, width, out);
}

#else

size_t map_row_by_steps(const CodeSteps &, const uint16_t *, size_t, uint8_t *) { return 0; }
size_t map_row_by_gathers(const uint16_t *, const uint16_t *, size_t, uint16_t *) { return 0; }

#endif
