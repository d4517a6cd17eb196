#include "second_pass.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "aliasing.h"
#include "console.h"
#include "decode_ahead.h"
#include "mapping.h"
#include "platform.h"
#include "read_slice.h"
#include "slice_names.h"
#include "write_slice.h"

namespace {

// One slice from its decoding to its output.
struct PendingSlice {
  int number = 0;
  char name[32] = {};
  int outcome = kSliceNotOpened;
  const char *failure = nullptr;  // the reader's message when refused
  bool decoded = false;
  bool out_of_memory = false;     // the decoding ran out of memory
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
};

struct SecondPass {
  const RunParameters *parameters;
  const SeriesScaling *scaling;
  std::vector<PendingSlice> slices;  // decoded ahead: the slices that exist as the pass starts
  size_t next_slot = 0;              // the first of `slices` not yet taken
  DecodeAhead *ahead = nullptr;      // null: every slice is decoded right before it is written
  std::atomic<bool> write_ahead{false};  // workers write the outputs they can, unseen
  SliceReader *reader = nullptr;     // the main thread's, made when first needed
};

void free_slice_image(uint16_t **rows, int height) {
  if (rows == nullptr) return;
  for (int j = 0; j < height; ++j) free(rows[j]);
  free(rows);
}

void free_codes(PendingSlice *slice) {
  free(slice->codes16);
  free(slice->codes8);
  slice->codes16 = nullptr;
  slice->codes8 = nullptr;
}

// Frees what the slice holds; an output written ahead and not published
// vanishes.
void release(PendingSlice *slice) {
  free_slice_image(slice->rows, slice->height);
  free(slice->description);
  free_codes(slice);
  slice->rows = nullptr;
  slice->description = nullptr;
  if (slice->unpublished != -1) drop_unpublished_output(slice->unpublished);
  slice->unpublished = -1;
}

void form_name(PendingSlice *slice, int number) {
  slice->number = number;
  input_name_for(number, slice->name);
}

// Back to the state before decoding, with nothing held.
void forget(PendingSlice *slice) {
  release(slice);
  const int number = slice->number;
  *slice = PendingSlice{};
  form_name(slice, number);
}

bool map_pending(const SecondPass &pass, PendingSlice *slice, double scale, float offset) {
  const int bit = pass.parameters->bit;
  // Only the buffer that the output is written from is filled.
  return map_slice(slice->rows, slice->out_width, slice->out_height, scale, offset, *pass.scaling,
                   bit == 16 ? &slice->codes16 : nullptr, bit == 8 ? &slice->codes8 : nullptr);
}

OutputSlice output_of(const SecondPass &pass, const PendingSlice &slice, const char *line) {
  return {slice.number, slice.name,       pass.parameters->bit, slice.out_width,
          slice.out_height, slice.codes16, slice.codes8,        line};
}

// A line of all eight fields makes the same output line whatever the
// slices before it set: such a slice's output can be written ahead, unseen
// until its turn. Anything that keeps it from being written is left to
// finish_slice, which writes it in its turn.
void write_ahead(SecondPass *pass, OutputWriter *writer, PendingSlice *slice, const CalibrationRecord &own) {
  char *line = format_calibration(own, pass->scaling->div, pass->scaling->base);
  if (line == nullptr) return;
  int error = 0;
  if (write_slice_ahead(writer, output_of(*pass, *slice, line), &slice->unpublished, &error)) {
    free_codes(slice);
  } else {
    slice->unpublished = -1;
    // A file system without unseen files has none for any slice.
    if (error != EEXIST) pass->write_ahead.store(false, std::memory_order_relaxed);
  }
  free(line);
}

// A slice whose line sets its own scale and offset maps the same whatever
// the slices before it set: its rows are mapped as they are decoded, and
// no slice image is kept.
struct RowStream {
  const SecondPass *pass;
  PendingSlice *slice;
  CalibrationRecord own;
  int fields;
  RowMapping mapping;
  bool mapping_started;
};

bool wants_rows(void *context, int width, int height, const char *description) {
  auto *stream = static_cast<RowStream *>(context);
  const RunParameters &parameters = *stream->pass->parameters;
  PendingSlice *slice = stream->slice;
  if (description == nullptr) return false;
  stream->fields = parse_calibration(description, &stream->own);
  if (stream->fields < 4 || !crop_fits(parameters, width, height)) return false;
  slice->out_width = parameters.crop ? parameters.x2 - parameters.x1 + 1 : width;
  slice->out_height = parameters.crop ? parameters.y2 - parameters.y1 + 1 : height;
  const bool wide = parameters.bit == 16;
  if (!allocate_codes(slice->out_width, slice->out_height, wide ? &slice->codes16 : nullptr,
                      wide ? nullptr : &slice->codes8)) {
    return false;
  }
  stream->mapping_started =
      start_row_mapping(&stream->mapping, stream->own.scale, stream->own.offset, *stream->pass->scaling,
                        uint64_t{static_cast<uint32_t>(slice->out_width)} * static_cast<uint32_t>(slice->out_height));
  if (!stream->mapping_started) free_codes(slice);
  return stream->mapping_started;
}

void take_row(void *context, int j, const uint16_t *row) {
  auto *stream = static_cast<RowStream *>(context);
  const RunParameters &parameters = *stream->pass->parameters;
  PendingSlice *slice = stream->slice;
  if (parameters.crop) {
    if (j < parameters.y1 || j > parameters.y2) return;
    j -= parameters.y1;
    row += parameters.x1;
  }
  const size_t width = static_cast<size_t>(slice->out_width);
  const size_t at = static_cast<size_t>(j) * width;
  map_row_codes(stream->mapping, row, width, slice->codes16 != nullptr ? slice->codes16 + at : nullptr,
                slice->codes8 != nullptr ? slice->codes8 + at : nullptr);
}

void decode_and_crop(SliceReader *reader, OutputWriter *writer, SecondPass *pass, PendingSlice *slice) {
  const RunParameters &parameters = *pass->parameters;
  RowStream stream{pass, slice, {}, 0, {}, false};
  slice->outcome = read_slice_rows_with(reader, slice->name, &slice->width, &slice->height, &slice->rows,
                                        &slice->description, &slice->failure, {wants_rows, take_row, &stream});
  if (stream.mapping_started) {
    end_row_mapping(&stream.mapping);
    if (slice->outcome != kSliceRead) free_codes(slice);
  }
  if (slice->outcome == kSliceRefused && refused_for_memory(slice->failure)) slice->out_of_memory = true;
  if (slice->outcome != kSliceRead || !crop_fits(parameters, slice->width, slice->height) ||
      slice->description == nullptr) {
    return;
  }
  if (stream.mapping_started) {
    slice->mapped = true;
    if (stream.fields == 8 && writer != nullptr && pass->write_ahead.load(std::memory_order_relaxed)) {
      write_ahead(pass, writer, slice, stream.own);
    }
    return;
  }
  // Kept as an image: its line leaves the scale or the offset to the slices
  // before it, or its codes could not be allocated while it was read.
  // finish_slice maps it in its turn.
  slice->out_width = slice->width;
  slice->out_height = slice->height;
  if (parameters.crop) {
    crop_slice(slice->rows, parameters.x1, parameters.y1, parameters.x2, parameters.y2, &slice->out_width,
               &slice->out_height);
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
    slice->out_of_memory = true;
  }
  slice->decoded = true;
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
// ahead, to be decoded again when its turn comes. Memory and disk are then
// as when each slice is decoded right before it is written.
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

// The checks, the calibration line and the output of one slice, in slice
// order on the main thread: the same steps and messages as when the slice
// is decoded right before. Memory that runs out while other slices are
// decoded ahead stops the decoding ahead and the step is tried again, so
// only a shortage that one slice alone meets is the slice's failure.
bool finish_slice(SecondPass *pass, PendingSlice *slice, CalibrationRecord *calibration) {
  if (slice->out_of_memory && pass->ahead != nullptr) {
    stop_decoding_ahead(pass);
    forget(slice);
    return decode_here(pass, slice) && finish_slice(pass, slice, calibration);
  }
  const RunParameters &parameters = *pass->parameters;
  if (slice->outcome == kSliceNotOpened) return fail_on_file(slice->name, "cannot open file.");
  if (slice->outcome == kSliceRefused) return fail_on_file(slice->name, slice->failure);
  if (slice->out_of_memory) return fail_on_file(slice->name, "memory allocation error.");
  // The file may have changed since the first pass.
  if (!crop_fits(parameters, slice->width, slice->height)) {
    return fail_on_file(slice->name, "crop rectangle outside the slice.");
  }
  if (slice->description == nullptr) return fail_on_file(slice->name, "calibration line not found.");
  parse_calibration(slice->description, calibration);
  if (slice->unpublished != -1) {
    // Written ahead: complete, and now named.
    char output_name[32];
    output_name_for(slice->number, parameters.bit, output_name);
    int error = 0;
    const bool published = publish_output(output_name, slice->unpublished, &error);
    slice->unpublished = -1;
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
  if (!slice->mapped && !map_pending(*pass, slice, calibration->scale, calibration->offset)) {
    if (pass->ahead == nullptr) return fail_on_file(slice->name, "memory allocation error.");
    // Rows of slices decoded side by side lie interleaved in the heap: the
    // slice is decoded again, into a heap that holds nothing else, and its
    // line parsed again to the same values.
    stop_decoding_ahead(pass);
    forget(slice);
    return decode_here(pass, slice) && finish_slice(pass, slice, calibration);
  }
  char *line = format_calibration(*calibration, pass->scaling->div, pass->scaling->base);
  if (line == nullptr) return fail_on_file(slice->name, "memory allocation error.");
  // Outputs written ahead take room on the disk that the output may need:
  // when it fails beside them, they go and it is written again.
  const bool beside_others = pass->ahead != nullptr;
  bool written = write_slice(main_output_writer(), output_of(*pass, *slice, line), beside_others ? make_room : nullptr,
                             pass);
  free(line);
  return written;
}

// What one slice in flight may hold: its rows of 16-bit samples with their
// pointers, its output codes and its description.
uint64_t slice_bytes(const SeriesExtent &extent) {
  return extent.largest_samples * 4 + extent.largest_description + (uint64_t{1} << 20);
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
      if (!slice->decoded) ok = decode_here(pass, slice);
      ok = ok && finish_slice(pass, slice, calibration);
    }
    release(slice);
    if (!ok) return false;
  }
  return true;
}

}  // namespace

bool convert_series(const RunParameters &parameters, const SeriesScaling &scaling, CalibrationRecord *calibration,
                    const std::vector<int> &candidates, const SeriesExtent &extent) {
  SecondPass pass{&parameters, &scaling, {}, 0, nullptr, {false}, nullptr};
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
    for (int number : candidates) {
      PendingSlice slice;
      form_name(&slice, number);
      if (file_exists(slice.name)) pass.slices.push_back(slice);
    }
    const int count = static_cast<int>(pass.slices.size());
    const int workers = decode_workers(usable_cpu_count(), usable_memory_bytes(), slice_bytes(extent), count);
    pass.write_ahead.store(workers > 0);
    if (workers > 0) pass.ahead = start_decode_ahead(count, workers, decode_pending, &pass);
  }
  bool ok = convert_in_order(&pass, numbers, calibration);
  // Slices decoded ahead of a failed one are dropped unseen, and so are
  // their outputs.
  if (pass.ahead != nullptr) stop_decode_ahead(pass.ahead);
  if (pass.reader != nullptr) destroy_slice_reader(pass.reader);
  for (PendingSlice &slice : pass.slices) release(&slice);
  return ok;
}
