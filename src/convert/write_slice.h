// Output slices: uncompressed, single-channel, little-endian TIFF written
// through libtiff, one row per strip, with the rewritten calibration line as
// ImageDescription.
#pragma once

#include <cstdint>

// Names the output after the slice number ("rh%04d.tif" for bit 16,
// "ro%04d.tif" for bit 8), writes the rows of the matching buffer, closes the
// file and prints the progress line. On failure it prints the error line
// (after libtiff's own message), removes an incomplete file and returns
// false; a failed output is never reported as written.
bool write_slice(int number, const char *input_name, int bit, int32_t width, int32_t height,
                 const uint16_t *codes16, const uint8_t *codes8, const char *calibration_line);
