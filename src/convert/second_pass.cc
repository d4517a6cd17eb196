#include "second_pass.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "aliasing.h"
#include "code_tables.h"
#include "console.h"
#include "decode_ahead.h"
#include "mapping.h"
#include "platform.h"
#include "read_slice.h"
#include "slice_names.h"
#include "streamed_output.h"
#include "write_slice.h"

namespace {

// What decoding one slice gave, up to its output. A worker fills it in;
// the main thread takes it over once the slice is decoded.
struct DecodedSlice {
  int outcome = kSliceNotOpened;
  const char *failure = nullptr;  // the reader's message when refused
  bool decoded = false;
  bool retry_alone = false;  // failed for a cause that may be gone when tried again alone
  int width = 0;
  int height = 0;
  uint16_t **rows = nullptr;  // freed once the slice is mapped
  char *description = nullptr;
  int32_t out_width = 0;  // after the crop
  int32_t out_height = 0;
  bool mapped = false;
  uint16_t *codes16 = nullptr;
  uint8_t *codes8 = nullptr;
  FileHandle unpublished = -1;  // the output written ahead, until it is published
  FrameBytes *frame = nullptr;  // what libtiff writes around the codes, when a worker made it (prepare_output)
  bool decode_again = false;    // read, but its output streamed ahead could not be written: no codes kept
  int fields = 0;               // of its line, when parsed while its rows were read: then `own` holds them
  CalibrationRecord own{};
};

// One slice of the pass. Its number and name are set before any worker
// starts and never change: the main thread reads them while a worker may
// still be decoding the slice.
struct PendingSlice {
  int number = 0;
  char name[32] = {};
  DecodedSlice got;
};

struct SecondPass {
  const RunParameters *parameters = nullptr;
  const SeriesScaling *scaling = nullptr;
  std::vector<PendingSlice> slices;  // decoded ahead: the candidates as the pass starts
  size_t next_slot = 0;              // the first of `slices` not yet taken
  DecodeAhead *ahead = nullptr;      // null: every slice is decoded right before it is written
  std::atomic<bool> write_ahead{false};  // workers write the outputs they can, unseen
  SliceReader *reader = nullptr;     // the main thread's, made when first needed
  TableStore *tables = nullptr;      // the code tables shared by the slices; null: none shared
  // The output line last formed, and the line it was formed from: slices
  // of a series mostly share their line.
  std::mutex line_lock;
  CalibrationRecord line_record{};
  char *line = nullptr;
};

bool same_number(const void *a, const void *b, size_t size) { return memcmp(a, b, size) == 0; }

// Equal bit for bit, field by field (padding aside).
bool same_record(const CalibrationRecord &a, const CalibrationRecord &b) {
  return a.field1 == b.field1 && same_number(&a.field2, &b.field2, sizeof a.field2) &&
         same_number(&a.scale, &b.scale, sizeof a.scale) && same_number(&a.offset, &b.offset, sizeof a.offset) &&
         same_number(&a.field5, &b.field5, sizeof a.field5) && a.field6 == b.field6 &&
         same_number(&a.field7, &b.field7, sizeof a.field7) && same_number(&a.field8, &b.field8, sizeof a.field8);
}

// format_calibration of the pass's scaling, from the line formed last when
// the record is the same: a malloc'd copy, or null without memory.
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

// Frees what the slice holds; an output written ahead and not published
// vanishes.
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

void form_name(PendingSlice *slice, int number) {
  slice->number = number;
  input_name_for(number, slice->name);
}

// Back to the state before decoding, with nothing held.
void forget(PendingSlice *slice) {
  release(&slice->got);
  slice->got = DecodedSlice{};
}

bool map_pending(const SecondPass &pass, DecodedSlice *got, double scale, float offset) {
  const int bit = pass.parameters->bit;
  // Only the buffer that the output is written from is filled.
  return map_slice(got->rows, got->out_width, got->out_height, scale, offset, *pass.scaling,
                   bit == 16 ? &got->codes16 : nullptr, bit == 8 ? &got->codes8 : nullptr, pass.tables);
}

OutputSlice output_of(const SecondPass &pass, const PendingSlice &slice, const char *line) {
  const DecodedSlice &got = slice.got;
  return {slice.number, slice.name, pass.parameters->bit, got.out_width, got.out_height, got.codes16, got.codes8, line,
          got.frame};
}

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

// Decodes and crops a slice, and with a writer perhaps writes it ahead, on
// whichever thread. Every check is left to finish_slice, which makes them
// in order.
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

// A worker's part: slice `index` of those decoded ahead.
void decode_pending(SliceReader *reader, OutputWriter *writer, int index, void *context) {
  auto *pass = static_cast<SecondPass *>(context);
  decode_slice(reader, writer, pass, &pass->slices[static_cast<size_t>(index)]);
}

bool fail_on_file(const char *name, const char *message) {
  print_file_error(name, message);
  return false;
}

// Decoding ahead ends for the rest of the run: the workers stop, and every
// slice not yet taken that they decoded is dropped, with its output written
// ahead, to be decoded again when its turn comes. Memory, descriptors and
// disk are then as when each slice is decoded right before it is written.
void stop_decoding_ahead(SecondPass *pass) {
  if (pass->ahead == nullptr) return;
  stop_decode_ahead(pass->ahead);
  pass->ahead = nullptr;
  for (size_t i = pass->next_slot; i < pass->slices.size(); ++i) forget(&pass->slices[i]);
}

void make_room(void *context) { stop_decoding_ahead(static_cast<SecondPass *>(context)); }

// Decodes the slice on the main thread. False when not even a reader can be
// allocated.
bool decode_here(SecondPass *pass, PendingSlice *slice) {
  if (pass->reader == nullptr) pass->reader = create_slice_reader();
  if (pass->reader == nullptr) return fail_on_file(slice->name, "memory allocation error.");
  decode_slice(pass->reader, nullptr, pass, slice);
  return true;
}

bool finish_slice(SecondPass *pass, PendingSlice *slice, CalibrationRecord *calibration);

// The slice is decoded again on the main thread once nothing else is in
// flight, and finished from there.
bool retry_alone(SecondPass *pass, PendingSlice *slice, CalibrationRecord *calibration) {
  stop_decoding_ahead(pass);
  forget(slice);
  return decode_here(pass, slice) && finish_slice(pass, slice, calibration);
}

// The checks, the calibration line and the output of one slice, in slice
// order on the main thread: the same steps and messages as when the slice
// is decoded right before. A read that failed while other slices were in
// flight (too many open files, memory, a short read) stops the decoding
// ahead and is made again, so only a failure that one slice alone meets is
// the slice's failure.
bool finish_slice(SecondPass *pass, PendingSlice *slice, CalibrationRecord *calibration) {
  DecodedSlice &got = slice->got;
  if (got.retry_alone && pass->ahead != nullptr) return retry_alone(pass, slice, calibration);
  const RunParameters &parameters = *pass->parameters;
  if (got.outcome == kSliceNotOpened) return fail_on_file(slice->name, "cannot open file.");
  if (got.outcome == kSliceRefused) return fail_on_file(slice->name, got.failure);
  // The file may have changed since the first pass.
  if (!crop_fits(parameters, got.width, got.height)) {
    return fail_on_file(slice->name, "crop rectangle outside the slice.");
  }
  if (got.description == nullptr) return fail_on_file(slice->name, "calibration line not found.");
  // A line of all eight fields sets the whole record, as the worker that
  // read it found.
  if (got.fields == 8) {
    *calibration = got.own;
  } else {
    parse_calibration(got.description, calibration);
  }
  if (got.decode_again) {
    forget(slice);
    return decode_here(pass, slice) && finish_slice(pass, slice, calibration);
  }
  if (got.unpublished != -1) {
    // Written ahead: complete, and now named.
    char output_name[32];
    output_name_for(slice->number, parameters.bit, output_name);
    int error = 0;
    const bool published = publish_output(output_name, got.unpublished, &error);
    got.unpublished = -1;
    if (published) {
      print_progress(slice->name, output_name, parameters.bit);
      return true;
    }
    // The name has come to exist, or cannot be given: the output is written
    // in its place, from the slice decoded again.
    if (error != EEXIST) pass->write_ahead.store(false, std::memory_order_relaxed);
    forget(slice);
    return decode_here(pass, slice) && finish_slice(pass, slice, calibration);
  }
  if (!got.mapped && !map_pending(*pass, &got, calibration->scale, calibration->offset)) {
    if (pass->ahead == nullptr) return fail_on_file(slice->name, "memory allocation error.");
    // Rows of slices decoded side by side lie interleaved in the heap: the
    // slice is decoded again, into a heap that holds nothing else, and its
    // line parsed again to the same values.
    return retry_alone(pass, slice, calibration);
  }
  char *line = output_line(pass, *calibration);
  if (line == nullptr) return fail_on_file(slice->name, "memory allocation error.");
  // Outputs written ahead take room on the disk, and descriptors, that the
  // output may need: when it fails beside them, they go and it is written
  // again.
  const bool beside_others = pass->ahead != nullptr;
  bool written = write_slice(main_output_writer(), output_of(*pass, *slice, line), beside_others ? make_room : nullptr,
                             pass);
  free(line);
  return written;
}

// Converts the slices in ascending number; false after the first failure.
bool convert_in_order(SecondPass *pass, const std::vector<int> &numbers, CalibrationRecord *calibration) {
  for (int number : numbers) {
    // The slice that the workers were given for this number, or one of its
    // own for a name that did not exist as the pass started.
    PendingSlice own;
    PendingSlice *slice = &own;
    if (pass->next_slot < pass->slices.size() && pass->slices[pass->next_slot].number == number) {
      if (pass->ahead != nullptr) wait_decoded(pass->ahead, static_cast<int>(pass->next_slot));
      slice = &pass->slices[pass->next_slot++];
    } else {
      form_name(&own, number);
    }
    bool ok = true;
    if (file_exists(slice->name)) {
      if (!slice->got.decoded) ok = decode_here(pass, slice);
      ok = ok && finish_slice(pass, slice, calibration);
    }
    release(&slice->got);
    if (!ok) return false;
  }
  return true;
}

}  // namespace

uint64_t slice_in_flight_bytes(const RunParameters &parameters, int width, int height, uint64_t description_bytes,
                               int fields) {
  const uint64_t columns = static_cast<uint32_t>(width);
  const uint64_t rows = static_cast<uint32_t>(height);
  const uint64_t out_samples = parameters.crop ? uint64_t{static_cast<uint32_t>(parameters.x2 - parameters.x1 + 1)} *
                                                     static_cast<uint32_t>(parameters.y2 - parameters.y1 + 1)
                                               : columns * rows;
  const uint64_t codes = (out_samples + 1) * (parameters.bit == 16 ? 2 : 1) + row_mapping_bytes(out_samples);
  // The strip tables (a strip holds one row at least) and the description.
  const uint64_t decoding = rows * 2 * sizeof(uint32_t) + description_bytes;
  if (fields >= 4) return codes + decoding + columns * sizeof(uint16_t);  // one row at a time
  return slice_image_bytes(static_cast<uint32_t>(width), static_cast<uint32_t>(height)) + codes + decoding;
}

bool convert_series(const RunParameters &parameters, const SeriesScaling &scaling, CalibrationRecord *calibration,
                    const std::vector<int> &candidates, const SeriesExtent &extent) {
  SecondPass pass;
  pass.parameters = &parameters;
  pass.scaling = &scaling;
  pass.tables = create_table_store();
  // Each name is tested as its number is reached: a slice gone by then is
  // passed over, and a name that has come to exist (a link completed by an
  // earlier output of this run) is converted.
  std::vector<int> numbers = candidates;
  if (inputs_may_alias_outputs(candidates, parameters.bit)) {
    // Every input is read after every earlier output is complete, and every
    // number is tested, since an output may bring an input into being.
    numbers.clear();
    for (int number = 0; number <= kLastSliceNumber; ++number) numbers.push_back(number);
  } else {
    // The listing has just named them; each is tested again in its turn.
    for (int number : candidates) {
      PendingSlice slice;
      form_name(&slice, number);
      pass.slices.push_back(slice);
    }
    const int count = static_cast<int>(pass.slices.size());
    const uint64_t memory = usable_memory_bytes();
    const int workers = decode_workers(usable_cpu_count(), memory, extent.slice_bytes, count);
    pass.write_ahead.store(workers > 0);
    if (workers > 0) {
      const int window = decode_window(workers, memory, extent.slice_bytes);
      pass.ahead = start_decode_ahead(count, workers, window, decode_pending, &pass);
    }
  }
  bool ok = convert_in_order(&pass, numbers, calibration);
  // Slices decoded ahead of a failed one are dropped unseen, and so are
  // their outputs.
  if (pass.ahead != nullptr) stop_decode_ahead(pass.ahead);
  if (pass.reader != nullptr) destroy_slice_reader(pass.reader);
  for (PendingSlice &slice : pass.slices) release(&slice.got);
  destroy_table_store(pass.tables);
  free(pass.line);
  return ok;
}
