// Crop and pixel mapping of one slice of the second pass.
#pragma once

#include <cstddef>
#include <cstdint>

#include "series_range.h"

// Moves the rectangle x1..x2 × y1..y2 (corners inclusive) to the top-left of
// the slice image, in place, and sets *width and *height to its size. The
// caller has checked 0 <= x1 <= x2 < width and 0 <= y1 <= y2 < height.
void crop_slice(uint16_t *const *rows, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                int32_t *width, int32_t *height);

// The code of one sample: t = (v / scale + (offset - base)) * div truncated
// toward zero, clamped to 0..max_code. A NaN t or one whose truncation falls
// outside the signed 32-bit range gives 0.
inline int32_t code_of_product(double t, int32_t max_code) {
  if (!(t >= 0.0 && t < 2147483648.0)) return 0;
  int32_t n = static_cast<int32_t>(t);
  return n >= max_code ? max_code : n;
}

// The mapping of one slice's samples, row by row. A slice maps through a
// table of the code of every sample value when the pass has one for its
// scale and offset, or when it has more samples than there are sample
// values; either way each sample gets exactly the code of the
// one-at-a-time rule.
struct CodeTable;
struct TableStore;
struct RowMapping {
  double scale;
  double shift;  // offset - base, formed once per slice
  double div;
  int32_t max_code;
  const CodeTable *table;  // null: every sample is computed
  TableStore *store;       // the table's store; null when the table is the slice's own
};

// t of the one-at-a-time rule for sample value v, and the code it gives.
inline double product_of(uint16_t v, const RowMapping &mapping) {
  return (v / mapping.scale + mapping.shift) * mapping.div;
}
inline int32_t sample_code(uint16_t v, const RowMapping &mapping) {
  return code_of_product(product_of(v, mapping), mapping.max_code);
}

// What start_row_mapping may allocate for a slice of `samples` samples.
uint64_t row_mapping_bytes(uint64_t samples);

// Prepares the mapping of a slice of `samples` samples, through a table of
// `store` (null: none) when it has or builds one. False, with nothing
// allocated, when a table of the slice's own cannot be allocated.
bool start_row_mapping(RowMapping *mapping, double scale, float offset, const SeriesScaling &scaling,
                       uint64_t samples, TableStore *store = nullptr);

// Maps `width` samples into whichever of `out16` (the codes) and `out8`
// (their low bytes) is not null.
void map_row_codes(const RowMapping &mapping, const uint16_t *row, size_t width, uint16_t *out16, uint8_t *out8);

void end_row_mapping(RowMapping *mapping);

// Allocates the output buffers of a width × height slice: *codes16 when not
// null, and *codes8 when not null. False, with nothing allocated, when one
// cannot be.
bool allocate_codes(int32_t width, int32_t height, uint16_t **codes16, uint8_t **codes8);

// Maps the width × height samples at the top-left of the slice image through
// the series scaling into new row-major buffers: *codes16 receives the
// codes, *codes8 their low bytes. Either may be null when that buffer is not
// wanted (an 8-bit output needs only the low bytes, a 16-bit one only the
// codes). Returns false, with nothing allocated, when a wanted buffer cannot
// be allocated. `store` as for start_row_mapping.
bool map_slice(const uint16_t *const *rows, int32_t width, int32_t height, double scale, float offset,
               const SeriesScaling &scaling, uint16_t **codes16, uint8_t **codes8, TableStore *store = nullptr);
