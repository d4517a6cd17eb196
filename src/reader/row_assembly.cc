#include "row_assembly.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "byte_source.h"
#include "lzw.h"
#include "mpb.h"

namespace {

// A codec's operations, each on the byte source it is given; the row
// assembler is instantiated once per codec, so the calls are direct.
using StartStripFn = void (*)(ByteSource &, uint32_t offset, uint32_t byte_count);
using NextByteFn = int (*)(ByteSource &);
using ReadBytesFn = void (*)(ByteSource &, uint8_t *destination, size_t count);
using EndStripFn = void (*)(ByteSource &);

// Room for this many row pointers is allocated at first, then doubled as
// rows arrive.
constexpr int32_t kFirstRowCapacity = 4096;

void grow_row_array(SliceImage *image, int32_t capacity) {
  auto rows = static_cast<uint16_t **>(realloc(image->rows, static_cast<size_t>(capacity) * sizeof(uint16_t *)));
  if (rows == nullptr) reader_fail("cell memory allocation error.");
  image->rows = rows;
  image->capacity = capacity;
}

// Allocates row j, growing the row array first when it is full; with a
// handler, every row is the one buffer.
uint16_t *allocate_row(SliceImage *image, int32_t height, int32_t width) {
  if (image->handler != nullptr) return image->row_buffer;
  if (image->allocated == image->capacity) {
    grow_row_array(image, image->capacity > height / 2 ? height : 2 * image->capacity);
  }
  auto row = static_cast<uint16_t *>(malloc(static_cast<size_t>(width) * sizeof(uint16_t)));
  if (row == nullptr) reader_fail("cell memory allocation error.");
  image->rows[image->allocated++] = row;
  return row;
}

// 8- and 16-bit rows are decoded as one block of bytes into the row's own
// storage, then widened or byte-swapped in place. 8-bit rows are decoded
// into the upper half of the row and widened upwards from sample 0: sample
// x is written over bytes 2x and 2x + 1, which lie below the byte width + x
// it is read from, or are that byte itself.
template <ReadBytesFn ReadBytes, bool kReversed>
void decode_byte_row(ByteSource &source, uint16_t *row, const StripLayout &layout) {
  const size_t width = static_cast<size_t>(layout.width);
  const size_t row_bytes = layout.bits == 16 ? 2 * width : width;
  uint8_t *bytes = reinterpret_cast<uint8_t *>(row) + (2 * width - row_bytes);
  ReadBytes(source, bytes, row_bytes);
  if (kReversed) {
    for (size_t i = 0; i < row_bytes; ++i) bytes[i] = kReversedBits[bytes[i]];
  }
  if (layout.bits == 8) {
    for (size_t x = 0; x < width; ++x) row[x] = bytes[x];
  } else if (layout.little_endian != (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__)) {
    for (size_t x = 0; x < width; ++x) row[x] = static_cast<uint16_t>(__builtin_bswap16(row[x]));
  }
}

// One decoded byte through the codec, bit-reversed for FillOrder 2.
template <NextByteFn NextByte, bool kReversed>
inline int fetch_byte(ByteSource &source) {
  int byte = NextByte(source);
  return kReversed ? reverse_bits(byte) : byte;
}

// Samples of 1 to 7 and 9 to 15 bits: a bit stream, most significant bit
// first in either byte order, each row starting on a byte boundary. A byte is
// fetched only when one of its bits is needed, so a row consumes exactly
// ceil(width * bits / 8) bytes.
template <NextByteFn NextByte, bool kReversed>
void assemble_bit_row(ByteSource &source, uint16_t *row, int32_t width, int bits) {
  int byte = 0;
  int mask = 0;
  for (int32_t x = 0; x < width; ++x) {
    uint32_t value = 0;
    for (int k = 0; k < bits; ++k) {
      if (mask == 0) {
        byte = fetch_byte<NextByte, kReversed>(source);
        mask = 0x80;
      }
      value = (value << 1) | ((byte & mask) != 0 ? 1u : 0u);
      mask >>= 1;
    }
    row[x] = static_cast<uint16_t>(value);
  }
}

template <NextByteFn NextByte, bool kReversed>
void assemble_row(ByteSource &source, uint16_t *row, const StripLayout &layout) {
  const int32_t width = layout.width;
  switch (layout.bits) {
    case 8:
      for (int32_t x = 0; x < width; ++x) row[x] = static_cast<uint16_t>(fetch_byte<NextByte, kReversed>(source));
      break;
    case 16:
      for (int32_t x = 0; x < width; ++x) {
        int b0 = fetch_byte<NextByte, kReversed>(source);
        int b1 = fetch_byte<NextByte, kReversed>(source);
        row[x] = static_cast<uint16_t>(layout.little_endian ? b0 | (b1 << 8) : (b0 << 8) | b1);
      }
      break;
    default:
      assemble_bit_row<NextByte, kReversed>(source, row, width, layout.bits);
  }
}

// Predictor 2: each sample was stored as its difference from the sample on
// its left, modulo 2^bits; the differencing never crosses rows. The running
// sum is kept whole and reduced only where stored (2^bits divides 2^32), so
// each sample waits for one addition, not for an addition and the mask.
void undo_differencing(uint16_t *row, int32_t width, uint16_t mask) {
  uint32_t sum = row[0];
  for (int32_t m = 1; m < width; ++m) {
    sum += row[m];
    row[m] = static_cast<uint16_t>(sum & mask);
  }
}

// Rows of 0 bits per sample take no strip bytes, so every strip is started
// and end-checked before any row is allocated: a file with broken strips is
// refused without first filling a slice of zeros of whatever size it claims.
// The checks meet the strips in the same order as row by row, so the outcome
// is the same.
template <StartStripFn StartStrip, EndStripFn EndStrip>
void decode_zero_bit_rows(ByteSource &source, const StripLayout &layout, SliceImage *image) {
  const uint32_t height = static_cast<uint32_t>(layout.height);
  const uint32_t per_strip = layout.rows_per_strip;
  const uint32_t strip_count = height / per_strip + (height % per_strip != 0 ? 1 : 0);
  for (uint32_t strip = 0; strip < strip_count; ++strip) {
    StartStrip(source, layout.strip_offsets[strip], layout.strip_byte_counts[strip]);
    EndStrip(source);
  }
  for (uint32_t j = 0; j < height; ++j) {
    uint16_t *row = allocate_row(image, layout.height, layout.width);
    memset(row, 0, static_cast<size_t>(layout.width) * sizeof(uint16_t));
    if (image->handler != nullptr) image->handler(image->handler_context, static_cast<int>(j), row);
  }
}

template <StartStripFn StartStrip, NextByteFn NextByte, ReadBytesFn ReadBytes, EndStripFn EndStrip, bool kReversed>
void decode_rows_with(ByteSource &source, const StripLayout &layout, SliceImage *image) {
  if (layout.bits == 0) {
    decode_zero_bit_rows<StartStrip, EndStrip>(source, layout, image);
    return;
  }
  const bool byte_rows = layout.bits == 8 || layout.bits == 16;
  // Uncompressed little-endian 16-bit rows handed to a handler are its
  // samples as they stand in the read buffer, when they lie there whole and
  // aligned: taken there, as take_bytes would take them, but not copied.
  const bool lend_rows = ReadBytes == raw_read_bytes && !kReversed && image->handler != nullptr &&
                         layout.bits == 16 && layout.little_endian && layout.difference_mask == 0;
  const size_t row_bytes = static_cast<size_t>(layout.width) * sizeof(uint16_t);
  const uint32_t height = static_cast<uint32_t>(layout.height);
  const uint32_t per_strip = layout.rows_per_strip;
  for (uint32_t j = 0; j < height; ++j) {
    if (j % per_strip == 0) {
      uint32_t strip = j / per_strip;
      StartStrip(source, layout.strip_offsets[strip], layout.strip_byte_counts[strip]);
    }
    uint8_t *in_buffer = source.buffer + source.buffer_position;
    if (lend_rows && source.remaining >= row_bytes && source.buffer_length - source.buffer_position >= row_bytes &&
        reinterpret_cast<uintptr_t>(in_buffer) % alignof(uint16_t) == 0) {
      source.buffer_position += static_cast<uint32_t>(row_bytes);
      source.remaining -= static_cast<uint32_t>(row_bytes);
      if (j + 1 == height || (j + 1) % per_strip == 0) EndStrip(source);
      image->handler(image->handler_context, static_cast<int>(j), reinterpret_cast<const uint16_t *>(in_buffer));
      continue;
    }
    uint16_t *row = allocate_row(image, layout.height, layout.width);
    if (byte_rows) {
      decode_byte_row<ReadBytes, kReversed>(source, row, layout);
    } else {
      assemble_row<NextByte, kReversed>(source, row, layout);
    }
    // The strip must end exactly where its last row ends.
    if (j + 1 == height || (j + 1) % per_strip == 0) EndStrip(source);
    if (layout.difference_mask != 0) undo_differencing(row, layout.width, layout.difference_mask);
    if (image->handler != nullptr) image->handler(image->handler_context, static_cast<int>(j), row);
  }
}

template <StartStripFn StartStrip, NextByteFn NextByte, ReadBytesFn ReadBytes, EndStripFn EndStrip>
void decode_rows_in_fill_order(ByteSource &source, const StripLayout &layout, SliceImage *image) {
  if (layout.reversed) {
    decode_rows_with<StartStrip, NextByte, ReadBytes, EndStrip, true>(source, layout, image);
  } else {
    decode_rows_with<StartStrip, NextByte, ReadBytes, EndStrip, false>(source, layout, image);
  }
}


}  // namespace

void allocate_rows(int32_t height, SliceImage *image) {
  *image = SliceImage{};
  grow_row_array(image, height < kFirstRowCapacity ? height : kFirstRowCapacity);
}

void stream_rows(int32_t width, RowHandler handler, void *context, SliceImage *image) {
  *image = SliceImage{};
  image->row_buffer = static_cast<uint16_t *>(malloc(static_cast<size_t>(width) * sizeof(uint16_t)));
  if (image->row_buffer == nullptr) reader_fail("cell memory allocation error.");
  image->handler = handler;
  image->handler_context = context;
}

void free_rows(SliceImage *image) {
  for (int32_t j = 0; j < image->allocated; ++j) free(image->rows[j]);
  free(image->rows);
  free(image->row_buffer);
  *image = SliceImage{};
}

void decode_rows(ByteSource &source, const StripLayout &layout, SliceImage *image) {
  switch (layout.coding) {
    case kCodingNone:
      decode_rows_in_fill_order<raw_start_strip, raw_next_byte, raw_read_bytes, raw_end_strip>(source, layout, image);
      break;
    case kCodingLzw:
      decode_rows_in_fill_order<lzw_start_strip, lzw_next_byte, lzw_read_bytes, lzw_end_strip>(source, layout, image);
      break;
    case kCodingMpb:
      decode_rows_in_fill_order<mpb_start_strip, mpb_next_byte, mpb_read_bytes, mpb_end_strip>(source, layout, image);
      break;
  }
}
