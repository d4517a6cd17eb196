// The series range and the one linear scaling shared by every slice.
//
// Each slice's samples span the physical values from its offset up to
// offset + 65536 / scale. The series range is the lowest offset and the
// highest such top seen, starting from the fixed bounds low = 1000 and
// high = -1000. From it, `div` (codes per physical unit) and `base` (the
// physical value of code 0) give every output code p the value p / div + base.
#pragma once

#include <cstdint>

struct SeriesRange {
  double low = 1000.0;
  double high = -1000.0;
};

struct SeriesScaling {
  double div;
  double base;
  int32_t max_code;  // 2^bit - 1
};

// Widens the range by one slice's calibration. Strict comparisons: a NaN
// offset or top replaces nothing.
void extend_series_range(SeriesRange *range, double scale, float offset);

SeriesScaling compute_series_scaling(const SeriesRange &range, int bit);
