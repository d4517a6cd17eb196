// The command line: "sl_depth bit" or "sl_depth bit x1 y1 x2 y2".
#pragma once

#include <cstdint>

struct RunParameters {
  int32_t bit;   // 8 or 16 convert; 0 reports the series range only
  bool crop;     // the crop rectangle was given
  int32_t x1, y1, x2, y2;  // crop rectangle, corners inclusive; x counts columns, y rows
};

// A decimal integer by the leading-digits rule: leading white space and one
// sign accepted, reading stops at the first non-digit, text without digits
// reads as 0, values beyond the signed 32-bit range become the nearest limit.
int32_t read_number(const char *text);

// Reads the parameters; false when the argument count is wrong.
bool read_parameters(int argc, const char *const *argv, RunParameters *parameters);

// The crop rectangle must lie within every slice: no sample outside a slice
// image may be read.
inline bool crop_fits(const RunParameters &parameters, int width, int height) {
  return !parameters.crop || (parameters.x2 < width && parameters.y2 < height);
}
