// The byte source: one read's input record, the value readers for the
// header and directory, and the counted byte fetch through which every codec
// takes strip data. Every operation takes the source it works on first;
// nothing here is shared between sources.
//
// A codec is a triple of operations: start a strip (its offset and byte
// count), give the next decoded byte, check the strip end. Strip data must
// have exact length, so every strip byte is taken through take_byte, which
// counts it against the strip's byte count `remaining`.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform.h"
#include "reader_fail.h"

// LZW tables hold codes 0 to 4095 plus room for the one-code-early entries.
constexpr int kLzwTableSize = 4160;
// The LZW string window starts with the 256 single-byte strings, byte value
// b at index b; decoded strings follow from this index on.
constexpr uint32_t kLzwWindowStart = 256;
// The window's capacity never grows beyond this (lzw_copy.cc shows why).
constexpr uint32_t kLzwWindowLargest = uint32_t{1} << 23;

// Bytes a refill asks for: a few hundred bytes of header and directory are
// all that a slice's first reading needs, while decoding streams the strips.
constexpr uint32_t kDirectoryReadSize = 1 << 12;
constexpr uint32_t kStripReadSize = 1 << 18;

struct ByteSource {
  ByteSource() = default;
  ByteSource(const ByteSource &) = delete;
  ByteSource &operator=(const ByteSource &) = delete;
  ~ByteSource() { free(window); }

  int32_t string_stack[kLzwTableSize];  // LZW: current code's string, last byte at index 0
  // LZW tables, indexed by code, kept narrow so that they stay in the
  // fastest cache while strings are unwound.
  uint8_t suffix_table[kLzwTableSize];       // last byte of each code's string
  uint16_t prefix_table[kLzwTableSize];      // code of each code's string less its last byte
  uint8_t first_byte_table[kLzwTableSize];   // first byte of each code's string
  uint16_t length_table[kLzwTableSize];      // length of each code's string
  // LZW, copying strings: where in the window each code's string starts,
  // and its length.
  uint32_t string_start[kLzwTableSize];
  uint16_t string_length[kLzwTableSize];
  // The window: the single-byte strings, then every string decoded since
  // the last clear code, in order, on the heap (malloc) and grown as
  // strings arrive. Bytes window_read to window_end - 1 are decoded but not
  // yet handed out; last_string_start is where the previous code's string
  // starts (it ends at window_end).
  uint8_t *window = nullptr;
  uint32_t window_capacity = 0;
  uint32_t window_read;
  uint32_t window_end;
  uint32_t last_string_start;
  FileHandle file = -1;   // the open slice file, -1 when none
  uint64_t file_size;
  bool short_read;        // a read gave fewer bytes than file_size promised
  uint32_t (*read_long)(ByteSource &);  // read_long_le or read_long_be, from the byte order mark
  int (*read_short)(ByteSource &);      // read_short_le or read_short_be
  uint32_t remaining;  // bytes of the current strip not yet taken from the file
  int32_t next_code;   // LZW: next free table code, 258 after a clear code, at most 4096
  int32_t code_width;  // LZW: width of the next code in bits, 9 to 12
  int32_t code_mask;   // LZW: (1 << code_width) - 1
  int32_t bit_count;   // LZW: unconsumed bits at the low end of bit_buffer (read ahead
                       // within the strip: whole bytes of them count as not yet taken)
  uint64_t bit_buffer; // LZW: bytes last taken, the newest in the low 8 bits
  int32_t stack_depth; // LZW: bytes of the current string not yet handed out
  int32_t old_code;    // LZW: the previous code
  int32_t run_count;   // MPB: >0 literal bytes to copy, <0 minus the repeats left, 0 header next
  int32_t run_byte;    // MPB: the byte being repeated
  // The file is read through one buffer: bytes buffer_offset to
  // buffer_offset + buffer_length - 1 of the file are in `buffer`, and the
  // next byte read is buffer[buffer_position]. A seek inside the buffer
  // costs nothing.
  uint64_t buffer_offset;
  uint32_t buffer_position;
  uint32_t buffer_length;
  uint32_t read_size;  // bytes a refill asks for, kDirectoryReadSize or kStripReadSize
  uint8_t buffer[kStripReadSize];
};

// Opens `file_name` for reading: false, with nothing open, when it cannot be
// opened or is not a regular file. `read_size` is the refill size.
bool open_byte_source(ByteSource &source, const char *file_name, uint32_t read_size);
// Closes the file, if one is open.
void close_byte_source(ByteSource &source);

// Moves the buffer on and reads the next bytes of the file into it; returns
// how many (0 at the end of the file). Called with the buffer used up.
uint32_t fill_buffer(ByteSource &source);

// One byte of the header, the directory or the description; the end of the
// file there is "unexpected end of file.".
inline int read_byte(ByteSource &source) {
  if (source.buffer_position == source.buffer_length && fill_buffer(source) == 0) {
    reader_fail("unexpected end of file.");
  }
  return source.buffer[source.buffer_position++];
}

// `count` bytes in one block; the end of the file among them is
// "unexpected end of file.".
void read_bytes(ByteSource &source, uint8_t *destination, size_t count);

// The file offset of the next byte read.
inline uint64_t source_position(const ByteSource &source) { return source.buffer_offset + source.buffer_position; }

int read_short_le(ByteSource &source);
int read_short_be(ByteSource &source);
uint32_t read_long_le(ByteSource &source);
uint32_t read_long_be(ByteSource &source);

// Positions the reading at a byte offset from the start of the file.
void seek_to(ByteSource &source, uint32_t offset);
// Moves the reading forward by `count` bytes.
void skip_bytes(ByteSource &source, uint32_t count);

// Takes one byte of strip data. A strip that has run out of bytes reports the
// codec's own message; a file that ends before the strip's byte count says
// reports "unexpected end of file.".
inline int take_byte(ByteSource &source, const char *too_few_message) {
  if (source.remaining == 0) reader_fail(too_few_message);
  --source.remaining;
  if (source.buffer_position == source.buffer_length && fill_buffer(source) == 0) {
    reader_fail("unexpected end of file.");
  }
  return source.buffer[source.buffer_position++];
}

// Takes `count` bytes of strip data in one block; the same outcome, and the
// same message at the same byte, as `count` calls of take_byte.
void take_bytes(ByteSource &source, uint8_t *destination, size_t count, const char *too_few_message);

// The uncompressed codec. Every codec also decodes a block of bytes at once
// (`*_read_bytes`), with exactly the outcome of as many next-byte calls.
void raw_start_strip(ByteSource &source, uint32_t offset, uint32_t byte_count);
inline int raw_next_byte(ByteSource &source) { return take_byte(source, "too few codes."); }
inline void raw_read_bytes(ByteSource &source, uint8_t *destination, size_t count) {
  take_bytes(source, destination, count, "too few codes.");
}
void raw_end_strip(ByteSource &source);

// FillOrder 2: the bits of every decoded byte reversed, after the codec.
constexpr std::array<uint8_t, 256> make_reversed_bits() {
  std::array<uint8_t, 256> table{};
  for (int byte = 0; byte < 256; ++byte) {
    int result = 0;
    for (int k = 0; k < 8; ++k) result |= ((byte >> k) & 1) << (7 - k);
    table[static_cast<size_t>(byte)] = static_cast<uint8_t>(result);
  }
  return table;
}
inline constexpr std::array<uint8_t, 256> kReversedBits = make_reversed_bits();

inline int reverse_bits(int byte) { return kReversedBits[static_cast<size_t>(byte & 0xFF)]; }
