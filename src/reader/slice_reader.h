// One reader's state, inside the reader: the byte source and what a read in
// progress owns. read_slice.cc reads into it; slice_reader.cc owns its
// lifetime and turns refusals into results.
#pragma once

#include <cstdint>

#include "byte_source.h"
#include "read_slice.h"
#include "row_assembly.h"

// What a read owns until it returns: the image and the description go to
// the caller, the strip tables are freed. A refusal frees all of it.
struct ReadInProgress {
  SliceImage image;
  uint32_t *strip_offsets = nullptr;
  uint32_t *strip_byte_counts = nullptr;
  char *description = nullptr;
};

struct SliceReader {
  ByteSource source;
  ReadInProgress in_progress;
  uint32_t first_directory = 0;  // offset of the first image file directory
  bool may_succeed_later = false;  // read_may_succeed_later of the last read
};

// The read itself, with read_slice_with's out arguments: kSliceRead or
// kSliceNotOpened. A refusal leaves through reader_fail, possibly with the
// file open and `in_progress` holding allocations.
int read_slice_or_fail(SliceReader &reader, const char *file_name, int *width, int *height, int *bits,
                       uint16_t ***image, char **description, const RowConsumer *consumer);
