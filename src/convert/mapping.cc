#include "mapping.h"

#include <cstdlib>

void crop_slice(uint16_t *const *rows, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                int32_t *width, int32_t *height) {
  // Rows ascend and columns ascend, so in place no sample is overwritten
  // before it is read: a destination is an earlier row, or the same row at
  // or left of its source.
  for (int32_t y = y1; y <= y2; ++y) {
    uint16_t *destination = rows[y - y1];
    const uint16_t *source = rows[y];
    for (int32_t x = x1; x <= x2; ++x) destination[x - x1] = source[x];
  }
  *width = x2 - x1 + 1;
  *height = y2 - y1 + 1;
}

namespace {

struct SampleMap {
  double scale;
  double shift;  // offset - base, formed once per slice
  double div;
  int32_t max_code;
};

inline int32_t map_sample(uint16_t v, const SampleMap &map) {
  return code_of_product((v / map.scale + map.shift) * map.div, map.max_code);
}

// Stores one code into whichever buffers are wanted.
inline void store_code(int32_t code, uint16_t *out16, uint8_t *out8, size_t j) {
  if (out16 != nullptr) out16[j] = static_cast<uint16_t>(code);
  if (out8 != nullptr) out8[j] = static_cast<uint8_t>(code);
}

// Four samples at a time, then the rest of the row one at a time.
void map_row(const uint16_t *row, size_t width, const SampleMap &map, uint16_t *out16, uint8_t *out8) {
  size_t j = 0;
  for (; j + 4 <= width; j += 4) {
    int32_t c0 = map_sample(row[j], map);
    int32_t c1 = map_sample(row[j + 1], map);
    int32_t c2 = map_sample(row[j + 2], map);
    int32_t c3 = map_sample(row[j + 3], map);
    store_code(c0, out16, out8, j);
    store_code(c1, out16, out8, j + 1);
    store_code(c2, out16, out8, j + 2);
    store_code(c3, out16, out8, j + 3);
  }
  for (; j < width; ++j) store_code(map_sample(row[j], map), out16, out8, j);
}

// A slice of more samples than there are sample values maps through a table
// of the code of every value: each sample still gets exactly the code of the
// one-at-a-time rule, at the cost of 65536 evaluations instead of one per
// sample.
constexpr size_t kSampleValues = 65536;

template <typename Code>
void map_rows_through(const Code *table, const uint16_t *const *rows, size_t width, size_t height, Code *out) {
  for (size_t i = 0; i < height; ++i) {
    const uint16_t *row = rows[i];
    Code *out_row = out + i * width;
    for (size_t j = 0; j < width; ++j) out_row[j] = table[row[j]];
  }
}

// The table of one slice; its own, since slices are mapped on several
// threads at once.
struct CodeTable {
  uint16_t values[kSampleValues];
  uint16_t codes[kSampleValues];
  uint8_t low_bytes[kSampleValues];
};

void map_rows_through_table(CodeTable *table, const uint16_t *const *rows, size_t width, size_t height,
                            const SampleMap &map, uint16_t *buffer16, uint8_t *buffer8) {
  for (size_t v = 0; v < kSampleValues; ++v) table->values[v] = static_cast<uint16_t>(v);
  map_row(table->values, kSampleValues, map, table->codes, table->low_bytes);
  if (buffer16 != nullptr) map_rows_through(table->codes, rows, width, height, buffer16);
  if (buffer8 != nullptr) map_rows_through(table->low_bytes, rows, width, height, buffer8);
}

}  // namespace

bool map_slice(const uint16_t *const *rows, int32_t width, int32_t height, double scale, float offset,
               const SeriesScaling &scaling, uint16_t **codes16, uint8_t **codes8) {
  const size_t columns = width > 0 ? static_cast<size_t>(width) : 0;
  const size_t row_count = height > 0 ? static_cast<size_t>(height) : 0;
  const size_t count = columns * row_count;
  // One extra element keeps an empty slice's buffers distinct from a
  // failed allocation.
  uint16_t *buffer16 = codes16 != nullptr ? static_cast<uint16_t *>(malloc((count + 1) * sizeof(uint16_t))) : nullptr;
  uint8_t *buffer8 = codes8 != nullptr ? static_cast<uint8_t *>(malloc(count + 1)) : nullptr;
  auto *table = count > kSampleValues ? static_cast<CodeTable *>(malloc(sizeof(CodeTable))) : nullptr;
  if ((codes16 != nullptr && buffer16 == nullptr) || (codes8 != nullptr && buffer8 == nullptr) ||
      (count > kSampleValues && table == nullptr)) {
    free(buffer16);
    free(buffer8);
    free(table);
    return false;
  }
  SampleMap map{scale, static_cast<double>(offset) - scaling.base, scaling.div, scaling.max_code};
  if (table != nullptr) {
    map_rows_through_table(table, rows, columns, row_count, map, buffer16, buffer8);
    free(table);
  } else {
    for (size_t i = 0; i < row_count; ++i) {
      map_row(rows[i], columns, map, buffer16 != nullptr ? buffer16 + i * columns : nullptr,
              buffer8 != nullptr ? buffer8 + i * columns : nullptr);
    }
  }
  if (codes16 != nullptr) *codes16 = buffer16;
  if (codes8 != nullptr) *codes8 = buffer8;
  return true;
}
