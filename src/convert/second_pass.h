// The second pass: every slice decoded, cropped, mapped and written, in
// ascending number. Slices are decoded ahead on worker threads when the
// machine has more than one CPU for this process and memory for more than
// one slice; what the console and the directory show is the same either way.
#pragma once

#include <cstdint>
#include <vector>

#include "calibration.h"
#include "command_line.h"
#include "series_range.h"

// `numbers` are the existing slices in ascending order; `largest_samples`
// is the most samples a slice of the first pass had. Returns false after
// the error line of the first slice that fails: every output below it is
// complete, and none of it or above exists.
bool convert_series(const RunParameters &parameters, const SeriesScaling &scaling, CalibrationRecord *calibration,
                    const std::vector<int> &numbers, uint64_t largest_samples);
