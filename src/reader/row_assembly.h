// Row assembly: the slice image is allocated, then filled row by row from
// the codec's decoded bytes, with the bit reversal of FillOrder 2 applied
// after the codec and the horizontal differencing of Predictor 2 undone in
// place, row by row.
#pragma once

#include <cstdint>

struct ByteSource;

// Which codec decodes the strips, from the Compression field.
enum StripCoding { kCodingNone = 1, kCodingLzw = 5, kCodingMpb = 32773 };

// Everything the row assembler needs to know about one slice's strips.
struct StripLayout {
  int32_t width;
  int32_t height;
  int bits;                   // bits per sample, 0 to 16
  bool little_endian;         // byte order of 16-bit samples
  StripCoding coding;
  bool reversed;              // FillOrder 2
  uint16_t difference_mask;   // 2^bits - 1 with Predictor 2, else 0
  uint32_t rows_per_strip;    // at least 1
  const uint32_t *strip_offsets;
  const uint32_t *strip_byte_counts;
};

// Where rows go once decoded, when no slice image keeps them: row j, valid
// during the call only (RowConsumer::take_row).
using RowHandler = void (*)(void *context, int j, const uint16_t *row);

// A slice image under construction. Rows, and room for their pointers, are
// allocated as the rows are decoded, so a file that declares a slice far
// larger than its data costs memory only for the rows it really holds.
// With a row handler, no image is kept: every row is decoded into one
// buffer and handed over once complete.
struct SliceImage {
  uint16_t **rows = nullptr;
  int32_t capacity = 0;   // entries of `rows`
  int32_t allocated = 0;  // rows 0 to allocated - 1 are allocated
  RowHandler handler = nullptr;
  void *handler_context = nullptr;
  uint16_t *row_buffer = nullptr;  // with a handler: the one row
};

// Allocates the first part of the row-pointer array. Fails with
// "cell memory allocation error.".
void allocate_rows(int32_t height, SliceImage *image);

// Hands every row to `handler` instead, through one buffer of `width`
// samples. Fails with "cell memory allocation error.".
void stream_rows(int32_t width, RowHandler handler, void *context, SliceImage *image);

// Decodes every row from the strips described by `layout`, read through
// `source`; afterwards the row array holds exactly `height` rows.
void decode_rows(ByteSource &source, const StripLayout &layout, SliceImage *image);

// Frees the rows allocated so far and the row array, or the one row.
void free_rows(SliceImage *image);
