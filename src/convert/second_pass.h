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
  uint64_t slice_bytes = 0;  // the most slice_in_flight_bytes of any slice
};

// The memory a slice of width × height samples, whose description takes
// `description_bytes` and whose line matches `fields` fields, holds while
// it is in flight, on the path it takes: its codes and what decoding holds
// when its rows are mapped as they are decoded (the line sets its own scale
// and offset), its rows and then its codes when it is kept as an image.
uint64_t slice_in_flight_bytes(const RunParameters &parameters, int width, int height, uint64_t description_bytes,
                               int fields);

// `candidates` are the numbers whose names may exist, ascending (from a
// listing of the directory). Returns false after the error line of the
// first slice that fails: every output below it is complete, and none of it
// or above exists.
bool convert_series(const RunParameters &parameters, const SeriesScaling &scaling, CalibrationRecord *calibration,
                    const std::vector<int> &candidates, const SeriesExtent &extent);
