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

// Four samples at a time, then the rest of the row one at a time.
void map_row(const uint16_t *row, int32_t width, const SampleMap &map, uint16_t *out16, uint8_t *out8) {
  int32_t j = 0;
  for (; j + 4 <= width; j += 4) {
    int32_t c0 = map_sample(row[j], map);
    int32_t c1 = map_sample(row[j + 1], map);
    int32_t c2 = map_sample(row[j + 2], map);
    int32_t c3 = map_sample(row[j + 3], map);
    out16[j] = static_cast<uint16_t>(c0);
    out16[j + 1] = static_cast<uint16_t>(c1);
    out16[j + 2] = static_cast<uint16_t>(c2);
    out16[j + 3] = static_cast<uint16_t>(c3);
    out8[j] = static_cast<uint8_t>(c0);
    out8[j + 1] = static_cast<uint8_t>(c1);
    out8[j + 2] = static_cast<uint8_t>(c2);
    out8[j + 3] = static_cast<uint8_t>(c3);
  }
  for (; j < width; ++j) {
    int32_t c = map_sample(row[j], map);
    out16[j] = static_cast<uint16_t>(c);
    out8[j] = static_cast<uint8_t>(c);
  }
}

}  // namespace

bool map_slice(const uint16_t *const *rows, int32_t width, int32_t height, double scale, float offset,
               const SeriesScaling &scaling, uint16_t **codes16, uint8_t **codes8) {
  size_t count = width > 0 && height > 0 ? static_cast<size_t>(width) * static_cast<size_t>(height) : 0;
  auto buffer16 = static_cast<uint16_t *>(malloc(count * sizeof(uint16_t) + 1));
  auto buffer8 = static_cast<uint8_t *>(malloc(count + 1));
  if (buffer16 == nullptr || buffer8 == nullptr) {
    free(buffer16);
    free(buffer8);
    return false;
  }
  SampleMap map{scale, static_cast<double>(offset) - scaling.base, scaling.div, scaling.max_code};
  for (int32_t i = 0; i < height; ++i) {
    size_t start = static_cast<size_t>(i) * static_cast<size_t>(width);
    map_row(rows[i], width, map, buffer16 + start, buffer8 + start);
  }
  *codes16 = buffer16;
  *codes8 = buffer8;
  return true;
}
