#include "write_slice.h"

#include <tiffio.h>

#include <cstdlib>
#include <cstring>

#include "console.h"
#include "slice_names.h"

// The 16-bit codes go to the file unchanged as little-endian samples.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "16-bit rows are written as stored in memory");

namespace {

enum TiffOutcome { kTiffWritten, kTiffHeaderFailed, kTiffWriteFailed };

FrameKey key_of(const OutputSlice &slice) { return {slice.width, slice.height, slice.bit, slice.calibration_line}; }

const void *codes_of(const OutputSlice &slice) {
  return slice.bit == 16 ? static_cast<const void *>(slice.codes16) : slice.codes8;
}

size_t code_bytes_of(const OutputSlice &slice) {
  return static_cast<size_t>(slice.width) * static_cast<size_t>(slice.height) * (slice.bit == 16 ? 2 : 1);
}

// The fields and the rows of one output, through libtiff, into `file` (-1:
// into the writer only). The frame libtiff wrote around the rows is kept.
TiffOutcome write_tiff(OutputWriter *writer, const char *name, FileHandle file, const OutputSlice &slice,
                       bool quiet, int *error) {
  const bool wide = slice.bit == 16;
  const size_t sample_bytes = wide ? 2 : 1;
  const void *codes = codes_of(slice);
  TIFF *tiff = open_output_tiff(writer, name, file, codes, code_bytes_of(slice), quiet);
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
  if (!written || !finished) return kTiffWriteFailed;
  keep_last_frame(writer, key_of(slice));
  return kTiffWritten;
}

// The output as its frame around its rows, in one call.
TiffOutcome write_framed(FileHandle file, const FrameBytes &frame, const OutputSlice &slice, int *error) {
  const FilePiece pieces[] = {{frame.head, frame.head_size}, {codes_of(slice), code_bytes_of(slice)},
                              {frame.tail, frame.tail_size}};
  return write_file_pieces(file, pieces, 3, 0, error) ? kTiffWritten : kTiffWriteFailed;
}

// The same over whatever the file held, which is cut to the output's size
// after.
TiffOutcome write_framed_over(FileHandle file, const FrameBytes &frame, const OutputSlice &slice, int *error) {
  const uint64_t size = uint64_t{frame.head_size} + code_bytes_of(slice) + frame.tail_size;
  return write_framed(file, frame, slice, error) == kTiffWritten && set_output_size(file, size, error)
             ? kTiffWritten
             : kTiffWriteFailed;
}

// The slice's own frame, or the writer's when it fits the slice.
bool frame_for(const OutputWriter *writer, const OutputSlice &slice, FrameBytes *frame) {
  if (slice.frame != nullptr) {
    *frame = *slice.frame;
    return true;
  }
  return kept_frame(writer, key_of(slice), frame);
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
  // An output written whole in one call goes over an existing file's bytes,
  // not into an emptied file: the system then neither frees the old pages
  // nor finds new ones. libtiff writes into an empty file.
  FrameBytes frame;
  const bool framed = frame_for(writer, slice, &frame);
  FileHandle file;
  int error = 0;
  if (!create_output_file(name, &file, &error, framed)) {
    // Nothing on disk has changed.
    if (make_room == nullptr) return report_create_failure(name, error);
    make_room(context);
    return write_slice(writer, slice, nullptr, nullptr);
  }
  TiffOutcome outcome = framed ? write_framed_over(file, frame, slice, &error)
                               : write_tiff(writer, name, file, slice, make_room != nullptr, &error);
  if (outcome != kTiffWritten && (framed || make_room != nullptr)) {
    if (make_room != nullptr) make_room(context);
    // The same bytes go to the same places again; a device cannot be
    // emptied, and need not be.
    set_output_size(file, 0, &error);
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
  FrameBytes frame;
  const TiffOutcome outcome = frame_for(writer, slice, &frame) ? write_framed(*file, frame, slice, error)
                                                               : write_tiff(writer, name, *file, slice, true, error);
  if (outcome == kTiffWritten) return true;
  drop_unpublished_output(*file);
  return false;
}

FrameBytes *prepare_output(OutputWriter *writer, const OutputSlice &slice) {
  FrameBytes frame;
  if (!kept_frame(writer, key_of(slice), &frame)) {
    char name[32];
    output_name_for(slice.number, slice.bit, name);
    int error = 0;
    if (write_tiff(writer, name, -1, slice, true, &error) != kTiffWritten) return nullptr;
    if (!kept_frame(writer, key_of(slice), &frame)) return nullptr;
  }
  auto *prepared = static_cast<FrameBytes *>(malloc(sizeof(FrameBytes) + frame.head_size + frame.tail_size));
  if (prepared == nullptr) return nullptr;
  auto *bytes = reinterpret_cast<uint8_t *>(prepared + 1);
  memcpy(bytes, frame.head, frame.head_size);
  memcpy(bytes + frame.head_size, frame.tail, frame.tail_size);
  *prepared = {bytes, frame.head_size, bytes + frame.head_size, frame.tail_size};
  return prepared;
}
