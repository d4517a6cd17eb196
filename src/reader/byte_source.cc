#include "byte_source.h"

#include <cstring>

ByteSource byte_source;


int read_short_le() {
  int b0 = read_byte();
  int b1 = read_byte();
  return b0 | (b1 << 8);
}

int read_short_be() {
  int b0 = read_byte();
  int b1 = read_byte();
  return (b0 << 8) | b1;
}

// A byte of the stream, widened for combining into a LONG.
static uint32_t read_byte_u32() { return static_cast<uint32_t>(read_byte()); }

uint32_t read_long_le() {
  uint32_t b0 = read_byte_u32(), b1 = read_byte_u32(), b2 = read_byte_u32(), b3 = read_byte_u32();
  return b0 | (b1 << 8) | (b2 << 16) | (b3 << 24);
}

uint32_t read_long_be() {
  uint32_t b0 = read_byte_u32(), b1 = read_byte_u32(), b2 = read_byte_u32(), b3 = read_byte_u32();
  return (b0 << 24) | (b1 << 16) | (b2 << 8) | b3;
}

// Offsets are 32-bit unsigned; an offset past the end of the file is found
// out by the next read, which reports "unexpected end of file.".
// Every seek leaves the window empty, so that window and stream agree.
void seek_to(uint32_t offset) {
  fseeko(byte_source.stream, static_cast<off_t>(offset), SEEK_SET);
  byte_source.window_position = byte_source.window_length = 0;
}

void skip_bytes(uint32_t count) {
  fseeko(byte_source.stream, static_cast<off_t>(count), SEEK_CUR);
  byte_source.window_position = byte_source.window_length = 0;
}

// Called with the window used up and at least one strip byte still owed
// (the byte being taken is already counted off `remaining`).
void refill_window() {
  ByteSource &source = byte_source;
  size_t wanted = static_cast<size_t>(source.remaining) + 1;
  if (wanted > sizeof source.window) wanted = sizeof source.window;
  size_t got = fread(source.window, 1, wanted, source.stream);
  if (got == 0) reader_fail("unexpected end of file.");
  source.window_position = 0;
  source.window_length = static_cast<uint32_t>(got);
}

void take_bytes(uint8_t *destination, size_t count, const char *too_few_message) {
  ByteSource &source = byte_source;
  // The strip's own bytes first: the end of the file among them is found
  // before the strip's count runs out.
  size_t available = count < source.remaining ? count : source.remaining;
  size_t from_window = source.window_length - source.window_position;
  if (from_window > available) from_window = available;
  memcpy(destination, source.window + source.window_position, from_window);
  source.window_position += static_cast<uint32_t>(from_window);
  size_t from_stream = available - from_window;
  if (fread(destination + from_window, 1, from_stream, source.stream) != from_stream) {
    reader_fail("unexpected end of file.");
  }
  source.remaining -= static_cast<uint32_t>(available);
  if (available < count) reader_fail(too_few_message);
}

void raw_start_strip(uint32_t offset, uint32_t byte_count) {
  seek_to(offset);
  byte_source.remaining = byte_count;
}

// An uncompressed strip holds exactly the bytes its rows consume.
void raw_end_strip() {
  if (byte_source.remaining != 0) reader_fail("too many codes.");
}
