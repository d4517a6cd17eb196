// The second pass: every slice decoded, cropped, mapped and written, in
// ascending number. Slices are decoded ahead on worker threads when this
// process may use more than one CPU and has memory for more than one slice;
// what the console and the directory show is the same either way.
#pragma once

#include <cstdint>
#include <vector>

#include "calibration.h"
#include "command_line.h"
#include "series_range.h"

// What the first pass found of the slices' sizes.
struct SeriesExtent {
  uint64_t largest_samples = 0;      // the most samples one slice has
  uint64_t largest_description = 0;  // the longest description, in bytes
};

// `candidates` are the numbers whose names may exist, ascending (from a
// listing of the directory). Returns false after the error line of the
// first slice that fails: every output below it is complete, and none of it
// or above exists.
bool convert_series(const RunParameters &parameters, const SeriesScaling &scaling, CalibrationRecord *calibration,
                    const std::vector<int> &candidates, const SeriesExtent &extent);
