#include "second_pass.h"

#include <cstdio>
#include <cstdlib>

#include "console.h"
#include "decode_ahead.h"
#include "mapping.h"
#include "platform.h"
#include "read_slice.h"
#include "write_slice.h"

namespace {

// One slice from its decoding to its output.
struct PendingSlice {
  int number = 0;
  char name[32] = {};
  int outcome = kSliceNotOpened;
  const char *failure = nullptr;  // the reader's message when refused
  int width = 0;
  int height = 0;
  uint16_t **rows = nullptr;  // freed once the slice is mapped
  char *description = nullptr;
  int32_t out_width = 0;  // after the crop
  int32_t out_height = 0;
  bool mapped = false;
  uint16_t *codes16 = nullptr;
  uint8_t *codes8 = nullptr;
};

struct SecondPass {
  const RunParameters *parameters;
  const SeriesScaling *scaling;
  std::vector<PendingSlice> slices;
};

void free_slice_image(uint16_t **rows, int height) {
  if (rows == nullptr) return;
  for (int j = 0; j < height; ++j) free(rows[j]);
  free(rows);
}

void release(PendingSlice *slice) {
  free_slice_image(slice->rows, slice->height);
  free(slice->description);
  free(slice->codes16);
  free(slice->codes8);
  slice->rows = nullptr;
  slice->description = nullptr;
  slice->codes16 = nullptr;
  slice->codes8 = nullptr;
}

bool map_pending(const SecondPass &pass, PendingSlice *slice, double scale, float offset) {
  const int bit = pass.parameters->bit;
  // Only the buffer that the output is written from is filled.
  return map_slice(slice->rows, slice->out_width, slice->out_height, scale, offset, *pass.scaling,
                   bit == 16 ? &slice->codes16 : nullptr, bit == 8 ? &slice->codes8 : nullptr);
}

// Decodes and crops a slice, on whichever thread. Every check is left to
// finish_slice, which makes them in order.
void decode_pending(SliceReader *reader, int index, void *context) {
  auto *pass = static_cast<SecondPass *>(context);
  const RunParameters &parameters = *pass->parameters;
  PendingSlice &slice = pass->slices[static_cast<size_t>(index)];
  slice.outcome = read_slice_with(reader, slice.name, &slice.width, &slice.height, nullptr, &slice.rows,
                                  &slice.description, &slice.failure);
  if (slice.outcome != kSliceRead || !crop_fits(parameters, slice.width, slice.height) ||
      slice.description == nullptr) {
    return;
  }
  slice.out_width = slice.width;
  slice.out_height = slice.height;
  if (parameters.crop) {
    crop_slice(slice.rows, parameters.x1, parameters.y1, parameters.x2, parameters.y2, &slice.out_width,
               &slice.out_height);
  }
  // A line that sets the scale and the offset itself maps its slice the same
  // whatever the slices before it set, so that slice is mapped here already;
  // finish_slice parses the same text to the same two values.
  CalibrationRecord own{};
  if (parse_calibration(slice.description, &own) >= 4 && map_pending(*pass, &slice, own.scale, own.offset)) {
    slice.mapped = true;
    free_slice_image(slice.rows, slice.height);
    slice.rows = nullptr;
  }
}

bool fail_on_file(const char *name, const char *message) {
  print_file_error(name, message);
  return false;
}

// The checks, the calibration line and the output of one slice, in slice
// order on the main thread: the same steps and messages as when the slice
// is decoded right before.
bool finish_slice(const SecondPass &pass, PendingSlice *slice, CalibrationRecord *calibration) {
  const RunParameters &parameters = *pass.parameters;
  if (slice->outcome == kSliceNotOpened) return fail_on_file(slice->name, "cannot open file.");
  if (slice->outcome == kSliceRefused) return fail_on_file(slice->name, slice->failure);
  // The file may have changed since the first pass.
  if (!crop_fits(parameters, slice->width, slice->height)) {
    return fail_on_file(slice->name, "crop rectangle outside the slice.");
  }
  if (slice->description == nullptr) return fail_on_file(slice->name, "calibration line not found.");
  parse_calibration(slice->description, calibration);
  if (!slice->mapped && !map_pending(pass, slice, calibration->scale, calibration->offset)) {
    return fail_on_file(slice->name, "memory allocation error.");
  }
  char *line = format_calibration(*calibration, pass.scaling->div, pass.scaling->base);
  if (line == nullptr) return fail_on_file(slice->name, "memory allocation error.");
  bool written = write_slice(slice->number, slice->name, parameters.bit, slice->out_width, slice->out_height,
                             slice->codes16, slice->codes8, line);
  free(line);
  return written;
}

// Slices decoded ahead, besides the one being written: one per CPU this
// process may use, never more than the slices, and never more than half
// the machine's memory holds. 0 on one CPU, or with memory for one slice
// only: each slice is then decoded right before it is written.
int decode_workers(int slices, uint64_t largest_samples) {
  const int cpus = static_cast<int>(usable_cpu_count());
  if (cpus < 2) return 0;
  int workers = cpus < slices ? cpus : slices;
  // Rows of 16-bit samples with their pointers, and the output codes.
  const uint64_t slice_bytes = largest_samples * 4 + (uint64_t{1} << 20);
  const uint64_t memory = physical_memory_bytes();
  if (memory != 0) {
    const uint64_t in_flight = memory / 2 / slice_bytes;
    if (in_flight < static_cast<uint64_t>(workers) + 1) workers = static_cast<int>(in_flight) - 1;
  }
  return workers > 0 ? workers : 0;
}

}  // namespace

bool convert_series(const RunParameters &parameters, const SeriesScaling &scaling, CalibrationRecord *calibration,
                    const std::vector<int> &numbers, uint64_t largest_samples) {
  SecondPass pass{&parameters, &scaling, std::vector<PendingSlice>(numbers.size())};
  const int count = static_cast<int>(numbers.size());
  for (int i = 0; i < count; ++i) {
    PendingSlice &slice = pass.slices[static_cast<size_t>(i)];
    slice.number = numbers[static_cast<size_t>(i)];
    snprintf(slice.name, sizeof slice.name, "rec%04d.tif", slice.number);
  }
  int workers = decode_workers(count, largest_samples);
  DecodeAhead *ahead = workers > 0 ? start_decode_ahead(count, workers, decode_pending, &pass) : nullptr;
  SliceReader *reader = nullptr;
  if (ahead == nullptr && count > 0) {
    reader = create_slice_reader();
    if (reader == nullptr) return fail_on_file(pass.slices[0].name, "memory allocation error.");
  }
  bool ok = true;
  for (int i = 0; i < count && ok; ++i) {
    PendingSlice &slice = pass.slices[static_cast<size_t>(i)];
    if (ahead != nullptr) {
      wait_decoded(ahead, i);
    } else {
      decode_pending(reader, i, &pass);
    }
    ok = finish_slice(pass, &slice, calibration);
    release(&slice);
  }
  // Slices decoded ahead of a failed one are dropped unseen.
  if (ahead != nullptr) stop_decode_ahead(ahead);
  if (reader != nullptr) destroy_slice_reader(reader);
  for (PendingSlice &slice : pass.slices) release(&slice);
  return ok;
}
