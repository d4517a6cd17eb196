// Output slices: uncompressed, single-channel, little-endian TIFF written
// through libtiff, one row per strip, with the rewritten calibration line as
// ImageDescription.
#pragma once

#include <cstdint>

#include "output_file.h"
#include "platform.h"

// What one output holds, named after the slice number: "rh%04d.tif" for
// bit 16 from `codes16`, "ro%04d.tif" for bit 8 from `codes8`.
struct OutputSlice {
  int number;
  const char *input_name;
  int bit;
  int32_t width;
  int32_t height;
  const uint16_t *codes16;
  const uint8_t *codes8;
  const char *calibration_line;
  const FrameBytes *frame = nullptr;  // what libtiff writes around these rows, when known (prepare_output)
};

// Writes the output in place of its name (created, or an existing file
// emptied), closes it and prints the progress line. An output whose frame
// is known (the slice's own or the writer's kept one) is written as the
// frame around its rows, quietly, over an existing file's bytes, which is
// then cut to size; should that fail, the file is emptied and written
// through libtiff as below. On failure it prints
// the error lines (after libtiff's own message), removes an incomplete file
// and returns false; a failed output is never reported as written.
//
// With `make_room`, the file is written quietly first: when that fails,
// make_room(context) is called (to free what others hold) and the same file
// is written again, now as above. So only a failure that the output meets
// on its own is told.
bool write_slice(OutputWriter *writer, const OutputSlice &slice, void (*make_room)(void *context),
                 void *context);

// Writes the output unseen (create_unpublished_output) and quietly. True
// with *file holding the complete output, for publish_output; false with
// nothing left behind.
bool write_slice_ahead(OutputWriter *writer, const OutputSlice &slice, FileHandle *file, int *error);

// The frame of an output to be written in its turn (by write_slice, from
// another thread): from the writer's kept frame, or from libtiff writing
// the output into memory. A malloc'd block: the FrameBytes, then its bytes.
// Null when it cannot be made (no memory, or libtiff wrote the file
// otherwise); write_slice then runs libtiff itself.
FrameBytes *prepare_output(OutputWriter *writer, const OutputSlice &slice);
