// The phantom: a reconstructed CT slice in miniature, deterministic from the
// seed and the slice index with its own generator (std:: distributions may
// differ between library versions).
#include <algorithm>
#include <cmath>

#include "series_gen.h"

namespace {

uint64_t next_random(uint64_t* state) {  // splitmix64
  uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// An ellipse in field-of-view coordinates (the field of view is the unit
// circle) and its level as a fraction of the top sample value.
struct Ellipse {
  double centre_x, centre_y, half_x, half_y, level;
};

bool inside(const Ellipse& e, double x, double y) {
  const double dx = (x - e.centre_x) / e.half_x;
  const double dy = (y - e.centre_y) / e.half_y;
  return dx * dx + dy * dy <= 1.0;
}

}  // namespace

std::vector<uint16_t> phantom_samples(const SeriesOptions& o,
                                      int slice_index) {
  std::vector<uint16_t> samples(size_t{o.width} * o.height, 0);
  if (o.bits_per_sample < 1 || o.bits_per_sample > 16) return samples;
  const int64_t top = (int64_t{1} << o.bits_per_sample) - 1;
  if (o.pattern != SamplePattern::phantom) {
    for (size_t i = 0; i < samples.size(); ++i) {
      samples[i] = static_cast<uint16_t>(o.pattern == SamplePattern::ramp ? (i % o.width) & top : (top + 1) / 2);
    }
    return samples;
  }
  // Noise of about 2% of the range, at least one step where a step is not
  // the whole range.
  const int64_t noise =
      top < 3 ? 0 : std::max<int64_t>(1, std::llround(0.02 * static_cast<double>(top)));

  // The lungs breathe and the bone and insert sway along the series.
  const double phase = static_cast<double>(o.seed % 1000) * 0.01 +
                       0.13 * slice_index;
  const double sway = std::sin(phase);
  const double breath = 1.0 + 0.1 * std::cos(phase);
  // Later ellipses are painted over earlier ones.
  const Ellipse shapes[] = {
      {0.0, 0.0, 0.85, 0.7, 0.35},                     // body
      {-0.38, 0.05 + 0.03 * sway, 0.22, 0.35 * breath, 0.12},  // lungs
      {0.38, 0.05 - 0.03 * sway, 0.22, 0.35 * breath, 0.12},
      {0.0, -0.4, 0.25, 0.15, 0.5},                    // soft tissue
      {0.0, 0.42 + 0.02 * sway, 0.12, 0.1, 0.8},       // bone
      {0.15 * sway, -0.1, 0.07, 0.07, 1.0},            // metal insert
  };

  uint64_t state = o.seed ^ (0xD1B54A32D192ED03ull *
                             (static_cast<uint64_t>(slice_index) + 1));
  const double half = 0.5 * static_cast<double>(std::min(o.width, o.height));
  for (uint32_t row = 0; row < o.height; ++row) {
    const double y = (row + 0.5 - 0.5 * o.height) / half;
    for (uint32_t column = 0; column < o.width; ++column) {
      const double x = (column + 0.5 - 0.5 * o.width) / half;
      // Outside the reconstructed field of view a slice holds plain 0.
      if (x * x + y * y > 0.98 * 0.98) continue;
      double level = 0.04;  // air
      for (const Ellipse& shape : shapes)
        if (inside(shape, x, y)) level = shape.level;
      int64_t value = std::llround(level * static_cast<double>(top));
      // The metal insert saturates the reconstruction: the top value, exact.
      if (level < 1.0 && noise > 0)
        value += static_cast<int64_t>(next_random(&state) %
                                      static_cast<uint64_t>(2 * noise + 1)) -
                 noise;
      if (value < 0) value = 0;
      if (value > top) value = top;
      samples[size_t{row} * o.width + column] = static_cast<uint16_t>(value);
    }
  }
  return samples;
}
