// The MPB run decoder. A run is opened when its first byte is asked for and
// handed out over as many calls as it lasts, across rows if need be; a
// repeat run costs one strip byte, a literal run is copied one byte a call.
#include "mpb.h"

#include "byte_source.h"

namespace {

constexpr int kNoOperation = 128;
constexpr const char *kTooFewCodes = "MPB too few codes.";

}  // namespace

void mpb_start_strip(uint32_t offset, uint32_t byte_count) {
  seek_to(offset);
  byte_source.remaining = byte_count;
  byte_source.run_count = 0;
}

int mpb_next_byte() {
  ByteSource &source = byte_source;
  if (source.run_count > 0) {
    --source.run_count;
    return take_byte(kTooFewCodes);
  }
  if (source.run_count < 0) {
    ++source.run_count;
    return source.run_byte;
  }

  int header = take_byte(kTooFewCodes);
  while (header == kNoOperation) header = take_byte(kTooFewCodes);
  if (header < kNoOperation) {
    // Literal run of header + 1 bytes; this call hands out the first.
    source.run_count = header;
    return take_byte(kTooFewCodes);
  }
  // Repeat run of 257 - header copies; this call hands out the first, and
  // run_count holds minus the copies still owed.
  source.run_count = header - 256;
  source.run_byte = take_byte(kTooFewCodes);
  return source.run_byte;
}

// A strip ends exactly with the last byte of its last run.
void mpb_end_strip() {
  if (byte_source.run_count != 0 || byte_source.remaining != 0) reader_fail("MPB too many codes.");
}
