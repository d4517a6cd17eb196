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

void mpb_read_bytes(ByteSource &source, uint8_t *destination, size_t count) {
  while (count > 0) {
    size_t n;
    if (source.run_count > 0) {
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
