// The names of a series: inputs "rec0000.tif" to "rec9999.tif", and the
// output of each under the same number, "ro%04d.tif" at 8 bits and
// "rh%04d.tif" at 16.
#pragma once

#include <cstdio>

constexpr int kLastSliceNumber = 9999;

inline void input_name_for(int number, char (&name)[32]) { snprintf(name, sizeof name, "rec%04d.tif", number); }

inline void output_name_for(int number, int bit, char (&name)[32]) {
  snprintf(name, sizeof name, bit == 16 ? "rh%04d.tif" : "ro%04d.tif", number);
}
