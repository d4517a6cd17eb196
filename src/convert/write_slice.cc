#include "write_slice.h"

#include <tiffio.h>

#include "console.h"
#include "slice_names.h"

// The 16-bit codes go to the file unchanged as little-endian samples.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "16-bit rows are written as stored in memory");

namespace {

enum TiffOutcome { kTiffWritten, kTiffHeaderFailed, kTiffWriteFailed };

// The fields and the rows of one output, through libtiff, into `file`.
TiffOutcome write_tiff(OutputWriter *writer, const char *name, FileHandle file, const OutputSlice &slice,
                       bool quiet, int *error) {
  const bool wide = slice.bit == 16;
  const size_t sample_bytes = wide ? 2 : 1;
  const size_t bytes = static_cast<size_t>(slice.width) * static_cast<size_t>(slice.height) * sample_bytes;
  const void *codes = wide ? static_cast<const void *>(slice.codes16) : slice.codes8;
  TIFF *tiff = open_output_tiff(writer, name, file, codes, bytes, quiet);
  if (tiff == nullptr) return kTiffHeaderFailed;
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(slice.width));
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(slice.height));
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, slice.bit);
  TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 1);
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tiff, TIFFTAG_IMAGEDESCRIPTION, slice.calibration_line);
  TIFFSetField(tiff, TIFFTAG_ARTIST, "Tevrak");

  const tmsize_t row_bytes = static_cast<tmsize_t>(slice.width * sample_bytes);
  bool written = true;
  for (int32_t i = 0; i < slice.height && written; ++i) {
    const void *row = static_cast<const uint8_t *>(codes) + static_cast<size_t>(i) * static_cast<size_t>(row_bytes);
    // libtiff takes a non-const buffer but only reads it.
    written = TIFFWriteRawStrip(tiff, static_cast<uint32_t>(i), const_cast<void *>(row), row_bytes) == row_bytes;
  }
  bool finished = finish_output_tiff(writer, tiff, error);
  return written && finished ? kTiffWritten : kTiffWriteFailed;
}

bool report_create_failure(const char *name, int error) {
  TIFFErrorExt(nullptr, "TIFFOpen", "%s: %s", name, error_text(error));
  print_file_error(name, "cannot create output file.");
  return false;
}

// libtiff names the step that failed; the system says why.
bool report_write_failure(const char *name, int error) {
  if (error != 0) print_file_error(name, error_text(error));
  print_file_error(name, "cannot write output file.");
  return false;
}

}  // namespace

bool write_slice(OutputWriter *writer, const OutputSlice &slice, void (*make_room)(void *context),
                 void *context) {
  char name[32];
  output_name_for(slice.number, slice.bit, name);
  FileHandle file;
  int error = 0;
  if (!create_output_file(name, &file, &error)) {
    // Nothing on disk has changed.
    if (make_room == nullptr) return report_create_failure(name, error);
    make_room(context);
    return write_slice(writer, slice, nullptr, nullptr);
  }
  TiffOutcome outcome = write_tiff(writer, name, file, slice, make_room != nullptr, &error);
  if (outcome != kTiffWritten && make_room != nullptr) {
    make_room(context);
    // The same bytes go to the same places again; a device cannot be
    // emptied, and need not be.
    empty_output_file(file);
    error = 0;
    outcome = write_tiff(writer, name, file, slice, false, &error);
  }
  if (outcome == kTiffHeaderFailed) {
    // This run created or emptied the file; what its header left is removed.
    discard_output_file(name, file);
    print_file_error(name, "cannot create output file.");
    return false;
  }
  if (outcome == kTiffWriteFailed) {
    discard_output_file(name, file);
    return report_write_failure(name, error);
  }
  if (!close_output_file_handle(file, &error)) {
    // The file is closed already; only its name is left to remove.
    discard_output_file(name, -1);
    return report_write_failure(name, error);
  }
  print_progress(slice.input_name, name, slice.bit);
  return true;
}

bool write_slice_ahead(OutputWriter *writer, const OutputSlice &slice, FileHandle *file, int *error) {
  char name[32];
  output_name_for(slice.number, slice.bit, name);
  if (!create_unpublished_output(name, file, error)) return false;
  if (write_tiff(writer, name, *file, slice, true, error) == kTiffWritten) return true;
  drop_unpublished_output(*file);
  return false;
}
