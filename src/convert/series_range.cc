#include "series_range.h"

#include <cmath>

void extend_series_range(SeriesRange *range, double scale, float offset) {
  double low = offset;
  // 65536, not 65535: the top is one step above the largest sample.
  double top = 65536.0 / scale + low;
  if (low < range->low) range->low = low;
  if (top > range->high) range->high = top;
}

SeriesScaling compute_series_scaling(const SeriesRange &range, int bit) {
  SeriesScaling scaling;
  scaling.div = exp2(static_cast<double>(bit)) / (range.high - range.low);
  scaling.max_code = static_cast<int32_t>(exp2f(static_cast<float>(bit))) - 1;
  // low always holds a single-precision value, so base equals low.
  scaling.base = static_cast<double>(static_cast<float>(range.low));
  return scaling;
}
