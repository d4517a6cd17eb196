#include "byte_source.h"

#include <cstring>

#include "platform.h"

int read_short_le(ByteSource &source) {
  int b0 = read_byte(source);
  int b1 = read_byte(source);
  return b0 | (b1 << 8);
}

int read_short_be(ByteSource &source) {
  int b0 = read_byte(source);
  int b1 = read_byte(source);
  return (b0 << 8) | b1;
}

// A byte of the stream, widened for combining into a LONG.
static uint32_t read_byte_u32(ByteSource &source) { return static_cast<uint32_t>(read_byte(source)); }

uint32_t read_long_le(ByteSource &source) {
  uint32_t b0 = read_byte_u32(source), b1 = read_byte_u32(source), b2 = read_byte_u32(source),
           b3 = read_byte_u32(source);
  return b0 | (b1 << 8) | (b2 << 16) | (b3 << 24);
}

uint32_t read_long_be(ByteSource &source) {
  uint32_t b0 = read_byte_u32(source), b1 = read_byte_u32(source), b2 = read_byte_u32(source),
           b3 = read_byte_u32(source);
  return (b0 << 24) | (b1 << 16) | (b2 << 8) | b3;
}

// Offsets are 32-bit unsigned; an offset past the end of the file is found
// out by the next read, which reports "unexpected end of file.".
bool open_byte_source(ByteSource &source, const char *file_name, uint32_t read_size) {
  // A directory, a FIFO or a device holds no slice.
  if (!open_input_file(file_name, &source.file, &source.file_size)) return false;
  source.read_size = read_size;
  source.short_read = false;
  source.buffer_offset = 0;
  source.buffer_position = source.buffer_length = 0;
  return true;
}

void close_byte_source(ByteSource &source) {
  if (source.file >= 0) close_input_file(source.file);
  source.file = -1;
}

// Reads up to `count` bytes at `offset`; fewer at the end of the file, or
// where the system failed the read or the file shrank since it was opened,
// which the source notes: such a read may succeed when tried again.
static size_t read_at(ByteSource &source, uint8_t *destination, size_t count, uint64_t offset) {
  size_t got = read_file_at(source.file, destination, count, offset);
  if (got < count && offset + got < source.file_size) source.short_read = true;
  return got;
}

uint32_t fill_buffer(ByteSource &source) {
  source.buffer_offset += source.buffer_length;
  source.buffer_position = 0;
  // No more than the file holds: a request past its end costs a second
  // call that only finds the end. A file grown since it was opened is read
  // on by the next refill.
  uint32_t count = source.read_size;
  if (source.buffer_offset < source.file_size && source.file_size - source.buffer_offset < count) {
    count = static_cast<uint32_t>(source.file_size - source.buffer_offset);
  }
  source.buffer_length = static_cast<uint32_t>(read_at(source, source.buffer, count, source.buffer_offset));
  return source.buffer_length;
}

void read_bytes(ByteSource &source, uint8_t *destination, size_t count) {
  size_t buffered = source.buffer_length - source.buffer_position;
  size_t from_buffer = buffered < count ? buffered : count;
  memcpy(destination, source.buffer + source.buffer_position, from_buffer);
  source.buffer_position += static_cast<uint32_t>(from_buffer);
  size_t rest = count - from_buffer;
  if (rest == 0) return;
  if (rest >= source.read_size) {
    // A large block goes straight to its place; the buffer starts after it.
    uint64_t offset = source_position(source);
    if (read_at(source, destination + from_buffer, rest, offset) != rest) reader_fail("unexpected end of file.");
    source.buffer_offset = offset + rest;
    source.buffer_position = source.buffer_length = 0;
    return;
  }
  if (fill_buffer(source) < rest) reader_fail("unexpected end of file.");
  memcpy(destination + from_buffer, source.buffer, rest);
  source.buffer_position = static_cast<uint32_t>(rest);
}

// A seek inside the buffer only moves the position; any other empties the
// buffer, which the next read fills from the new offset.
static void seek_to_offset(ByteSource &source, uint64_t offset) {
  if (offset >= source.buffer_offset && offset <= source.buffer_offset + source.buffer_length) {
    source.buffer_position = static_cast<uint32_t>(offset - source.buffer_offset);
  } else {
    source.buffer_offset = offset;
    source.buffer_position = source.buffer_length = 0;
  }
}

void seek_to(ByteSource &source, uint32_t offset) { seek_to_offset(source, offset); }

void skip_bytes(ByteSource &source, uint32_t count) { seek_to_offset(source, source_position(source) + count); }

void take_bytes(ByteSource &source, uint8_t *destination, size_t count, const char *too_few_message) {
  // The strip's own bytes first: the end of the file among them is found
  // before the strip's count runs out.
  size_t available = count < source.remaining ? count : source.remaining;
  read_bytes(source, destination, available);
  source.remaining -= static_cast<uint32_t>(available);
  if (available < count) reader_fail(too_few_message);
}

void raw_start_strip(ByteSource &source, uint32_t offset, uint32_t byte_count) {
  seek_to(source, offset);
  source.remaining = byte_count;
}

// An uncompressed strip holds exactly the bytes its rows consume.
void raw_end_strip(ByteSource &source) {
  if (source.remaining != 0) reader_fail("too many codes.");
}
