#include "second_pass.h"

#include <cerrno>
#include <cstdlib>

#include "aliasing.h"
#include "console.h"
#include "mapping.h"
#include "pending_slice.h"
#include "slice_names.h"

namespace {

void form_name(PendingSlice *slice, int number) {
  slice->number = number;
  input_name_for(number, slice->name);
}

bool map_pending(const SecondPass &pass, DecodedSlice *got, double scale, float offset) {
  const int bit = pass.parameters->bit;
  // Only the buffer that the output is written from is filled.
  return map_slice(got->rows, got->out_width, got->out_height, scale, offset, *pass.scaling,
                   bit == 16 ? &got->codes16 : nullptr, bit == 8 ? &got->codes8 : nullptr, pass.tables);
}

// A worker's part: slice `index` of those decoded ahead.
void decode_pending(SliceReader *reader, OutputWriter *writer, int index, void *context) {
  auto *pass = static_cast<SecondPass *>(context);
  static thread_local bool gave_way = false;
  if (!gave_way && pass->main_writes.load(std::memory_order_relaxed)) {
    lower_this_thread_priority();
    gave_way = true;
  }
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

// What the slice held is dropped; it is decoded again on the main thread
// and finished from there.
bool decode_again_here(SecondPass *pass, PendingSlice *slice, CalibrationRecord *calibration) {
  forget(slice);
  return decode_here(pass, slice) && finish_slice(pass, slice, calibration);
}

// The same once nothing else is in flight.
bool retry_alone(SecondPass *pass, PendingSlice *slice, CalibrationRecord *calibration) {
  stop_decoding_ahead(pass);
  return decode_again_here(pass, slice, calibration);
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
  if (got.decode_again) return decode_again_here(pass, slice, calibration);
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
    return decode_again_here(pass, slice, calibration);
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
  if (beside_others) pass->main_writes.store(true, std::memory_order_relaxed);
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
