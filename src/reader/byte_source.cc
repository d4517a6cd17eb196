#include "byte_source.h"

#include <cstring>

#include "platform.h"

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
bool open_byte_source(const char *file_name, uint32_t read_size) {
  ByteSource &source = byte_source;
  // A directory, a FIFO or a device holds no slice.
  if (!open_input_file(file_name, &source.file, &source.file_size)) return false;
  source.read_size = read_size;
  source.buffer_offset = 0;
  source.buffer_position = source.buffer_length = 0;
  return true;
}

void close_byte_source() {
  if (byte_source.file >= 0) close_input_file(byte_source.file);
  byte_source.file = -1;
}

// Reads up to `count` bytes at `offset`; fewer only at the end of the file.
static size_t read_at(uint8_t *destination, size_t count, uint64_t offset) {
  return read_file_at(byte_source.file, destination, count, offset);
}

uint32_t fill_buffer() {
  ByteSource &source = byte_source;
  source.buffer_offset += source.buffer_length;
  source.buffer_position = 0;
  source.buffer_length = static_cast<uint32_t>(read_at(source.buffer, source.read_size, source.buffer_offset));
  return source.buffer_length;
}

void read_bytes(uint8_t *destination, size_t count) {
  ByteSource &source = byte_source;
  size_t buffered = source.buffer_length - source.buffer_position;
  size_t from_buffer = buffered < count ? buffered : count;
  memcpy(destination, source.buffer + source.buffer_position, from_buffer);
  source.buffer_position += static_cast<uint32_t>(from_buffer);
  size_t rest = count - from_buffer;
  if (rest == 0) return;
  if (rest >= source.read_size) {
    // A large block goes straight to its place; the buffer starts after it.
    uint64_t offset = source_position();
    if (read_at(destination + from_buffer, rest, offset) != rest) reader_fail("unexpected end of file.");
    source.buffer_offset = offset + rest;
    source.buffer_position = source.buffer_length = 0;
    return;
  }
  if (fill_buffer() < rest) reader_fail("unexpected end of file.");
  memcpy(destination + from_buffer, source.buffer, rest);
  source.buffer_position = static_cast<uint32_t>(rest);
}

// A seek inside the buffer only moves the position; any other empties the
// buffer, which the next read fills from the new offset.
static void seek_to_offset(uint64_t offset) {
  ByteSource &source = byte_source;
  if (offset >= source.buffer_offset && offset <= source.buffer_offset + source.buffer_length) {
    source.buffer_position = static_cast<uint32_t>(offset - source.buffer_offset);
  } else {
    source.buffer_offset = offset;
    source.buffer_position = source.buffer_length = 0;
  }
}

void seek_to(uint32_t offset) { seek_to_offset(offset); }

void skip_bytes(uint32_t count) { seek_to_offset(source_position() + count); }

void take_bytes(uint8_t *destination, size_t count, const char *too_few_message) {
  // The strip's own bytes first: the end of the file among them is found
  // before the strip's count runs out.
  size_t available = count < byte_source.remaining ? count : byte_source.remaining;
  read_bytes(destination, available);
  byte_source.remaining -= static_cast<uint32_t>(available);
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
