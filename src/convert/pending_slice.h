// One slice of the second pass, from its decoding, on whichever thread,
// to the output it may write ahead: what second_pass.cc and the decoding
// share. A slice's number and name are set before any worker starts; a
// worker fills in what its decoding gave, which the main thread takes over
// once the slice is decoded.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "calibration.h"
#include "code_tables.h"
#include "command_line.h"
#include "decode_ahead.h"
#include "output_file.h"
#include "platform.h"
#include "read_slice.h"
#include "series_range.h"
#include "write_slice.h"

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
  // The main thread writes outputs in their turn beside the workers (over
  // existing files, say): the run then waits for those writes, and the
  // workers let the main thread go first.
  std::atomic<bool> main_writes{false};
  SliceReader *reader = nullptr;     // the main thread's, made when first needed
  TableStore *tables = nullptr;      // the code tables shared by the slices; null: none shared
  // The output line last formed, and the line it was formed from: slices
  // of a series mostly share their line.
  std::mutex line_lock;
  CalibrationRecord line_record{};
  char *line = nullptr;
};

// format_calibration of the pass's scaling, from the line formed last when
// the record is the same: a malloc'd copy, or null without memory.
char *output_line(SecondPass *pass, const CalibrationRecord &record);

// Frees what the slice holds; an output written ahead and not published
// vanishes.
void release(DecodedSlice *got);

// Back to the state before decoding, with nothing held.
void forget(PendingSlice *slice);

OutputSlice output_of(const SecondPass &pass, const PendingSlice &slice, const char *line);

// Decodes and crops a slice, and with a writer perhaps writes it ahead, on
// whichever thread. Every check is left to the main thread, which makes
// them in order.
void decode_slice(SliceReader *reader, OutputWriter *writer, SecondPass *pass, PendingSlice *slice);
