// Decoding one slice of the second pass, on whichever thread: its rows
// mapped as they are decoded, and its output perhaps written ahead.
#include "pending_slice.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "mapping.h"
#include "slice_names.h"
#include "streamed_output.h"

namespace {

bool same_number(const void *a, const void *b, size_t size) { return memcmp(a, b, size) == 0; }

// Equal bit for bit, field by field (padding aside).
bool same_record(const CalibrationRecord &a, const CalibrationRecord &b) {
  return a.field1 == b.field1 && same_number(&a.field2, &b.field2, sizeof a.field2) &&
         same_number(&a.scale, &b.scale, sizeof a.scale) && same_number(&a.offset, &b.offset, sizeof a.offset) &&
         same_number(&a.field5, &b.field5, sizeof a.field5) && a.field6 == b.field6 &&
         same_number(&a.field7, &b.field7, sizeof a.field7) && same_number(&a.field8, &b.field8, sizeof a.field8);
}

void free_slice_image(uint16_t **rows, int height) {
  if (rows == nullptr) return;
  for (int j = 0; j < height; ++j) free(rows[j]);
  free(rows);
}

void free_codes(DecodedSlice *got) {
  free(got->codes16);
  free(got->codes8);
  got->codes16 = nullptr;
  got->codes8 = nullptr;
}

}  // namespace

char *output_line(SecondPass *pass, const CalibrationRecord &record) {
  std::lock_guard<std::mutex> hold(pass->line_lock);
  if (pass->line == nullptr || !same_record(pass->line_record, record)) {
    char *line = format_calibration(record, pass->scaling->div, pass->scaling->base);
    if (line == nullptr) return nullptr;
    free(pass->line);
    pass->line = line;
    pass->line_record = record;
  }
  const size_t size = strlen(pass->line) + 1;
  auto *copy = static_cast<char *>(malloc(size));
  if (copy != nullptr) memcpy(copy, pass->line, size);
  return copy;
}

void release(DecodedSlice *got) {
  free_slice_image(got->rows, got->height);
  free(got->description);
  free_codes(got);
  free(got->frame);
  got->rows = nullptr;
  got->description = nullptr;
  got->frame = nullptr;
  if (got->unpublished != -1) drop_unpublished_output(got->unpublished);
  got->unpublished = -1;
}

void forget(PendingSlice *slice) {
  release(&slice->got);
  slice->got = DecodedSlice{};
}

OutputSlice output_of(const SecondPass &pass, const PendingSlice &slice, const char *line) {
  const DecodedSlice &got = slice.got;
  return {slice.number, slice.name, pass.parameters->bit, got.out_width, got.out_height, got.codes16, got.codes8, line,
          got.frame};
}

namespace {

// A line of all eight fields makes the same output line whatever the
// slices before it set: such a slice's output can be written ahead, unseen
// until its turn. Anything that keeps it from being written is left to
// finish_slice, which writes it in its turn; for an output that exists (or
// a file system without unseen files) what libtiff writes around the codes
// is made here, so that in its turn the main thread only writes.
void write_ahead(SecondPass *pass, OutputWriter *writer, PendingSlice *slice, const CalibrationRecord &own,
                 bool name_taken) {
  char *line = output_line(pass, own);
  if (line == nullptr) return;
  DecodedSlice &got = slice->got;
  int error = 0;
  bool written = false;
  if (!name_taken && pass->write_ahead.load(std::memory_order_relaxed)) {
    written = write_slice_ahead(writer, output_of(*pass, *slice, line), &got.unpublished, &error);
    if (written) {
      free_codes(&got);
    } else {
      got.unpublished = -1;
      // A file system without unseen files has none for any slice.
      if (error != EEXIST) pass->write_ahead.store(false, std::memory_order_relaxed);
    }
  }
  if (!written) got.frame = prepare_output(writer, output_of(*pass, *slice, line));
  free(line);
}

// A slice whose line sets its own scale and offset maps the same whatever
// the slices before it set: its rows are mapped as they are decoded, and
// no slice image is kept. With a line of all eight fields and a writer that
// keeps the frame of its output, they are mapped into the output itself,
// written ahead as they come (streamed_output.h), and no codes are kept
// either.
struct RowStream {
  SecondPass *pass;
  PendingSlice *slice;
  OutputWriter *writer;  // null on the main thread
  CalibrationRecord own;
  int fields;
  RowMapping mapping;
  bool mapping_started;
  StreamedOutput streamed;
  bool streaming;
  bool name_taken;  // its output's name exists: nothing is written ahead
  ~RowStream() { abandon_streamed_output(&streamed); }
};

bool start_streaming(RowStream *stream) {
  SecondPass &pass = *stream->pass;
  const DecodedSlice &got = stream->slice->got;
  char *line = output_line(&pass, stream->own);
  if (line == nullptr) return false;
  const int bit = pass.parameters->bit;
  char name[32];
  output_name_for(stream->slice->number, bit, name);
  const size_t row_bytes = static_cast<size_t>(got.out_width) * (bit == 16 ? 2 : 1);
  int error = 0;
  stream->streaming = start_streamed_output(stream->writer, {got.out_width, got.out_height, bit, line}, name,
                                            row_bytes, &stream->streamed, &error);
  free(line);
  stream->name_taken = error == EEXIST;
  // A file system without unseen files has none for any slice.
  if (error != 0 && error != EEXIST) pass.write_ahead.store(false, std::memory_order_relaxed);
  return stream->streaming;
}

bool wants_rows(void *context, int width, int height, const char *description) {
  auto *stream = static_cast<RowStream *>(context);
  const RunParameters &parameters = *stream->pass->parameters;
  DecodedSlice *got = &stream->slice->got;
  if (description == nullptr) return false;
  stream->fields = parse_calibration(description, &stream->own);
  if (stream->fields < 4 || !crop_fits(parameters, width, height)) return false;
  got->out_width = parameters.crop ? parameters.x2 - parameters.x1 + 1 : width;
  got->out_height = parameters.crop ? parameters.y2 - parameters.y1 + 1 : height;
  const bool wide = parameters.bit == 16;
  const bool streamed = stream->fields == 8 && stream->writer != nullptr &&
                        stream->pass->write_ahead.load(std::memory_order_relaxed) && start_streaming(stream);
  if (!streamed && !allocate_codes(got->out_width, got->out_height, wide ? &got->codes16 : nullptr,
                                   wide ? nullptr : &got->codes8)) {
    return false;
  }
  stream->mapping_started =
      start_row_mapping(&stream->mapping, stream->own.scale, stream->own.offset, *stream->pass->scaling,
                        uint64_t{static_cast<uint32_t>(got->out_width)} * static_cast<uint32_t>(got->out_height),
                        stream->pass->tables);
  if (!stream->mapping_started) {
    free_codes(got);
    abandon_streamed_output(&stream->streamed);
    stream->streaming = false;
  }
  return stream->mapping_started;
}

void take_row(void *context, int j, const uint16_t *row) {
  auto *stream = static_cast<RowStream *>(context);
  const RunParameters &parameters = *stream->pass->parameters;
  DecodedSlice *got = &stream->slice->got;
  if (parameters.crop) {
    if (j < parameters.y1 || j > parameters.y2) return;
    j -= parameters.y1;
    row += parameters.x1;
  }
  const size_t width = static_cast<size_t>(got->out_width);
  if (stream->streaming) {
    const bool wide = parameters.bit == 16;
    // The piece is malloc'd and its rows start at even offsets.
    uint8_t *codes = next_streamed_row(&stream->streamed, width * (wide ? 2 : 1));
    map_row_codes(stream->mapping, row, width, wide ? reinterpret_cast<uint16_t *>(codes) : nullptr,
                  wide ? nullptr : codes);
    return;
  }
  const size_t at = static_cast<size_t>(j) * width;
  map_row_codes(stream->mapping, row, width, got->codes16 != nullptr ? got->codes16 + at : nullptr,
                got->codes8 != nullptr ? got->codes8 + at : nullptr);
}

void decode_and_crop(SliceReader *reader, OutputWriter *writer, SecondPass *pass, PendingSlice *slice) {
  const RunParameters &parameters = *pass->parameters;
  DecodedSlice &got = slice->got;
  RowStream stream{pass, slice, writer, {}, 0, {}, false, {}, false, false};
  got.outcome = read_slice_rows_with(reader, slice->name, &got.width, &got.height, &got.rows, &got.description,
                                     &got.failure, {wants_rows, take_row, &stream});
  got.fields = stream.fields;
  got.own = stream.own;
  if (stream.mapping_started) {
    end_row_mapping(&stream.mapping);
    if (got.outcome != kSliceRead) free_codes(&got);
  }
  // A file that could not be opened, memory that ran out, a read that came
  // back short: the process or the system may have stood in the way.
  if (got.outcome != kSliceRead) got.retry_alone = read_may_succeed_later(reader);
  if (got.outcome != kSliceRead || !crop_fits(parameters, got.width, got.height) || got.description == nullptr) {
    return;
  }
  if (stream.streaming) {
    int error = 0;
    if (finish_streamed_output(&stream.streamed, &got.unpublished, &error)) {
      got.mapped = true;
    } else {
      got.unpublished = -1;
      got.decode_again = true;
      if (error != EEXIST) pass->write_ahead.store(false, std::memory_order_relaxed);
    }
    return;
  }
  if (stream.mapping_started) {
    got.mapped = true;
    if (stream.fields == 8 && writer != nullptr) write_ahead(pass, writer, slice, stream.own, stream.name_taken);
    return;
  }
  // Kept as an image: its line leaves the scale or the offset to the slices
  // before it, or its codes could not be allocated while it was read.
  // finish_slice maps it in its turn.
  got.out_width = got.width;
  got.out_height = got.height;
  if (parameters.crop) {
    crop_slice(got.rows, parameters.x1, parameters.y1, parameters.x2, parameters.y2, &got.out_width,
               &got.out_height);
  }
}

}  // namespace

void decode_slice(SliceReader *reader, OutputWriter *writer, SecondPass *pass, PendingSlice *slice) {
  try {
    decode_and_crop(reader, writer, pass, slice);
  } catch (const std::bad_alloc &) {
    forget(slice);
    slice->got.outcome = kSliceRefused;
    slice->got.failure = "memory allocation error.";
    slice->got.retry_alone = true;
  }
  slice->got.decoded = true;
}
