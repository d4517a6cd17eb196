// Runs one codec of the reader over a strip held in memory, the way the row
// assembler drives it: start the strip, take a given number of bytes, check
// the strip end. The runner reads through a byte source of its own, reused
// from run to run as a reader's is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "strip_writers.h"

struct ByteSource;

struct StripCodec {
  void (*start_strip)(ByteSource &source, uint32_t offset, uint32_t byte_count);
  int (*next_byte)(ByteSource &source);
  void (*end_strip)(ByteSource &source);
  void (*read_bytes)(ByteSource &source, uint8_t *destination, size_t count);
};

extern const StripCodec kLzwCodec;
extern const StripCodec kMpbCodec;

struct StripResult {
  Bytes decoded;        // the bytes handed out before the end or the failure
  std::string failure;  // the reader's message, empty when the strip passed
};

// The strip sits in an in-memory file behind a few bytes of other data and is
// followed by a few more, so the codec has to seek to it and a strip that
// runs short is found by its byte count, not by the end of the file.
// `before_byte`, when given, runs before each byte is asked for, with the
// runner's byte source and the count of bytes handed out so far.
StripResult decode_strip(const StripCodec &codec, const Bytes &strip, size_t bytes_needed,
                         const std::function<void(ByteSource &, size_t)> &before_byte = nullptr);

// The same through the codec's block read, `block` bytes a call (the last
// call takes what is left).
StripResult decode_strip_in_blocks(const StripCodec &codec, const Bytes &strip, size_t bytes_needed, size_t block,
                                   uint32_t read_size = 16);

// "" when the two agree, else where they first differ (long strips would
// make a full dump unreadable).
std::string first_difference(const Bytes &decoded, const Bytes &expected);

// One row of a codec table: a strip, the bytes its rows need, and either
// the bytes it decodes to or the message it is refused with.
struct StripCase {
  const char *name;
  Bytes strip;
  size_t bytes_needed;
  Bytes decoded;        // expected when the strip passes
  std::string failure;  // expected message; empty when the strip passes
};

// Runs the row byte by byte and in blocks of several sizes, and records a
// test failure when the codec disagrees.
void expect_strip_case(const StripCodec &codec, const StripCase &row);
