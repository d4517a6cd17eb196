// The MPB run decoder. A run is opened when its first byte is asked for and
// handed out over as many calls as it lasts, across rows if need be; a
// repeat run costs one strip byte, a literal run is copied one byte a call.
#include "mpb.h"

#include <cstring>

#include "byte_source.h"

namespace {

constexpr int kNoOperation = 128;
constexpr const char *kTooFewCodes = "MPB too few codes.";

}  // namespace

void mpb_start_strip(ByteSource &source, uint32_t offset, uint32_t byte_count) {
  seek_to(source, offset);
  source.remaining = byte_count;
  source.run_count = 0;
}

int mpb_next_byte(ByteSource &source) {
  if (source.run_count > 0) {
    --source.run_count;
    return take_byte(source, kTooFewCodes);
  }
  if (source.run_count < 0) {
    ++source.run_count;
    return source.run_byte;
  }

  int header = take_byte(source, kTooFewCodes);
  while (header == kNoOperation) header = take_byte(source, kTooFewCodes);
  if (header < kNoOperation) {
    // Literal run of header + 1 bytes; this call hands out the first.
    source.run_count = header;
    return take_byte(source, kTooFewCodes);
  }
  // Repeat run of 257 - header copies; this call hands out the first, and
  // run_count holds minus the copies still owed.
  source.run_count = header - 256;
  source.run_byte = take_byte(source, kTooFewCodes);
  return source.run_byte;
}

namespace {

// Opens the run whose header is next and hands out as much of it as
// `count` asks for, straight from the buffer, when the header and the
// longest run's bytes are all there and within the strip: nothing can run
// short then. Returns the bytes handed out, or -1 to go the careful way.
inline long open_buffered_run(ByteSource &source, uint8_t *destination, size_t count) {
  constexpr uint32_t kLongestRunBytes = 1 + 128;
  const uint32_t buffered = source.buffer_length - source.buffer_position;
  if (buffered < kLongestRunBytes || source.remaining < kLongestRunBytes) return -1;
  const uint8_t *bytes = source.buffer + source.buffer_position;
  const int header = bytes[0];
  if (header == kNoOperation) {
    source.buffer_position += 1;
    source.remaining -= 1;
    return 0;
  }
  if (header < kNoOperation) {
    const size_t run = static_cast<size_t>(header) + 1;
    const size_t n = run < count ? run : count;
    memcpy(destination, bytes + 1, n);
    source.run_count = static_cast<int32_t>(run - n);
    source.buffer_position += static_cast<uint32_t>(1 + n);
    source.remaining -= static_cast<uint32_t>(1 + n);
    return static_cast<long>(n);
  }
  const size_t run = static_cast<size_t>(257 - header);
  const size_t n = run < count ? run : count;
  source.run_byte = bytes[1];
  memset(destination, bytes[1], n);
  source.run_count = -static_cast<int32_t>(run - n);
  source.buffer_position += 2;
  source.remaining -= 2;
  return static_cast<long>(n);
}

}  // namespace

void mpb_read_bytes(ByteSource &source, uint8_t *destination, size_t count) {
  while (count > 0) {
    size_t n;
    long opened;
    if (source.run_count == 0 && (opened = open_buffered_run(source, destination, count)) >= 0) {
      n = static_cast<size_t>(opened);
    } else if (source.run_count > 0) {
      // The rest of a literal run, straight from the strip.
      size_t left = static_cast<size_t>(source.run_count);
      n = left < count ? left : count;
      source.run_count -= static_cast<int32_t>(n);
      take_bytes(source, destination, n, kTooFewCodes);
    } else if (source.run_count < 0) {
      size_t left = static_cast<size_t>(-source.run_count);
      n = left < count ? left : count;
      source.run_count += static_cast<int32_t>(n);
      memset(destination, source.run_byte, n);
    } else {
      n = 1;
      *destination = static_cast<uint8_t>(mpb_next_byte(source));
    }
    destination += n;
    count -= n;
  }
}

// A strip ends exactly with the last byte of its last run.
void mpb_end_strip(ByteSource &source) {
  if (source.run_count != 0 || source.remaining != 0) reader_fail("MPB too many codes.");
}
