#include "write_slice.h"

#include <tiffio.h>

#include <cstdio>

#include "console.h"
#include "output_file.h"
#include "platform.h"
#include "slice_names.h"

// The 16-bit codes go to the file unchanged as little-endian samples.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "16-bit rows are written as stored in memory");

bool write_slice(int number, const char *input_name, int bit, int32_t width, int32_t height,
                 const uint16_t *codes16, const uint8_t *codes8, const char *calibration_line) {
  char output_name[32];
  output_name_for(number, bit, output_name);

  const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * (bit == 16 ? 2 : 1);
  TIFF *tiff = open_output_file(output_name, bit == 16 ? static_cast<const void *>(codes16) : codes8, bytes);
  if (tiff == nullptr) {
    print_file_error(output_name, "cannot create output file.");
    return false;
  }
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(width));
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(height));
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, bit);
  TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 1);
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tiff, TIFFTAG_IMAGEDESCRIPTION, calibration_line);
  TIFFSetField(tiff, TIFFTAG_ARTIST, "Tevrak");

  const tmsize_t row_bytes = static_cast<tmsize_t>(width) * (bit == 16 ? 2 : 1);
  bool written = true;
  for (int32_t i = 0; i < height && written; ++i) {
    const void *row = bit == 16 ? static_cast<const void *>(codes16 + static_cast<size_t>(i) * width)
                                : static_cast<const void *>(codes8 + static_cast<size_t>(i) * width);
    // libtiff takes a non-const buffer but only reads it.
    written = TIFFWriteRawStrip(tiff, static_cast<uint32_t>(i), const_cast<void *>(row), row_bytes) == row_bytes;
  }
  int error = 0;
  bool closed = close_output_file(tiff, &error);
  if (!written || !closed) {
    // libtiff names the step that failed; the system says why.
    if (error != 0) print_file_error(output_name, error_text(error));
    print_file_error(output_name, "cannot write output file.");
    return false;
  }
  print_progress(input_name, output_name, bit);
  return true;
}
