#include "mapping.h"

#include <cstdlib>
#include <cstring>

#include "code_tables.h"

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

// Stores one code into whichever buffers are wanted.
inline void store_code(int32_t code, uint16_t *out16, uint8_t *out8, size_t j) {
  if (out16 != nullptr) out16[j] = static_cast<uint16_t>(code);
  if (out8 != nullptr) out8[j] = static_cast<uint8_t>(code);
}

// Four samples at a time, then the rest of the row one at a time.
void map_row(const uint16_t *row, size_t width, const RowMapping &map, uint16_t *out16, uint8_t *out8) {
  size_t j = 0;
  for (; j + 4 <= width; j += 4) {
    int32_t c0 = sample_code(row[j], map);
    int32_t c1 = sample_code(row[j + 1], map);
    int32_t c2 = sample_code(row[j + 2], map);
    int32_t c3 = sample_code(row[j + 3], map);
    store_code(c0, out16, out8, j);
    store_code(c1, out16, out8, j + 1);
    store_code(c2, out16, out8, j + 2);
    store_code(c3, out16, out8, j + 3);
  }
  for (; j < width; ++j) store_code(sample_code(row[j], map), out16, out8, j);
}

// A lookup is a load of the sample, a load of its code and a store: the
// codes of 8 bytes' worth of samples are gathered into one word and stored
// at once, which spares the stores the load ports wait on.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the first code of a word is its low byte");

template <typename Code>
void map_row_through(const Code *table, const uint16_t *row, size_t width, Code *out) {
  constexpr size_t kPerWord = sizeof(uint64_t) / sizeof(Code);
  size_t j = 0;
  for (; j + kPerWord <= width; j += kPerWord) {
    uint64_t word = 0;
#pragma GCC unroll 8
    for (size_t k = 0; k < kPerWord; ++k) word |= uint64_t{table[row[j + k]]} << (8 * sizeof(Code) * k);
    memcpy(out + j, &word, sizeof word);
  }
  for (; j < width; ++j) out[j] = table[row[j]];
}

}  // namespace

uint64_t row_mapping_bytes(uint64_t) { return sizeof(CodeTable); }

bool start_row_mapping(RowMapping *mapping, double scale, float offset, const SeriesScaling &scaling,
                       uint64_t samples, TableStore *store) {
  *mapping = {scale, static_cast<double>(offset) - scaling.base, scaling.div, scaling.max_code, nullptr, nullptr};
  // A table of the slice's own costs 65536 evaluations instead of one per
  // sample; a shared one costs nothing more.
  const bool worth_building = samples > kSampleValues;
  if (store != nullptr) {
    mapping->table = acquire_code_table(store, *mapping, worth_building);
    if (mapping->table != nullptr) {
      mapping->store = store;
      return true;
    }
  }
  if (!worth_building) return true;
  auto *table = static_cast<CodeTable *>(malloc(sizeof(CodeTable)));
  if (table == nullptr) return false;
  build_code_table(*mapping, table);
  mapping->table = table;
  return true;
}

void map_row_codes(const RowMapping &mapping, const uint16_t *row, size_t width, uint16_t *out16, uint8_t *out8) {
  if (mapping.table == nullptr) {
    map_row(row, width, mapping, out16, out8);
    return;
  }
  if (out16 != nullptr) {
    const size_t done = map_row_by_gathers(mapping.table->codes, row, width, out16);
    map_row_through(mapping.table->codes, row + done, width - done, out16 + done);
  }
  if (out8 != nullptr) {
    const size_t done = map_row_by_steps(mapping.table->steps, row, width, out8);
    map_row_through(mapping.table->low_bytes, row + done, width - done, out8 + done);
  }
}

void end_row_mapping(RowMapping *mapping) {
  if (mapping->store != nullptr) {
    release_code_table(mapping->store, mapping->table);
  } else {
    free(const_cast<CodeTable *>(mapping->table));
  }
  mapping->table = nullptr;
  mapping->store = nullptr;
}

bool allocate_codes(int32_t width, int32_t height, uint16_t **codes16, uint8_t **codes8) {
  const size_t count = static_cast<size_t>(width > 0 ? width : 0) * static_cast<size_t>(height > 0 ? height : 0);
  // One extra element keeps an empty slice's buffers distinct from a
  // failed allocation.
  uint16_t *buffer16 = codes16 != nullptr ? static_cast<uint16_t *>(malloc((count + 1) * sizeof(uint16_t))) : nullptr;
  uint8_t *buffer8 = codes8 != nullptr ? static_cast<uint8_t *>(malloc(count + 1)) : nullptr;
  if ((codes16 != nullptr && buffer16 == nullptr) || (codes8 != nullptr && buffer8 == nullptr)) {
    free(buffer16);
    free(buffer8);
    return false;
  }
  if (codes16 != nullptr) *codes16 = buffer16;
  if (codes8 != nullptr) *codes8 = buffer8;
  return true;
}

bool map_slice(const uint16_t *const *rows, int32_t width, int32_t height, double scale, float offset,
               const SeriesScaling &scaling, uint16_t **codes16, uint8_t **codes8, TableStore *store) {
  const size_t columns = width > 0 ? static_cast<size_t>(width) : 0;
  const size_t row_count = height > 0 ? static_cast<size_t>(height) : 0;
  uint16_t *buffer16 = nullptr;
  uint8_t *buffer8 = nullptr;
  if (!allocate_codes(width, height, codes16 != nullptr ? &buffer16 : nullptr, codes8 != nullptr ? &buffer8 : nullptr)) {
    return false;
  }
  RowMapping mapping;
  if (!start_row_mapping(&mapping, scale, offset, scaling, uint64_t{columns} * row_count, store)) {
    free(buffer16);
    free(buffer8);
    return false;
  }
  for (size_t i = 0; i < row_count; ++i) {
    map_row_codes(mapping, rows[i], columns, buffer16 != nullptr ? buffer16 + i * columns : nullptr,
                  buffer8 != nullptr ? buffer8 + i * columns : nullptr);
  }
  end_row_mapping(&mapping);
  if (codes16 != nullptr) *codes16 = buffer16;
  if (codes8 != nullptr) *codes8 = buffer8;
  return true;
}
