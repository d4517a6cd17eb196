// What both faces of the LZW decoder share (lzw.cc hands out one byte at a
// time, lzw_copy.cc blocks of bytes): reading codes from the strip and the
// checks on each code and on the table. Internal to the reader.
//
// The hot loops work on a copy of the decoder's fields held in locals
// (LzwState), written back to the byte source when a call returns, so the
// compiler can keep them in registers: stores through the row pointer may
// alias the source, but never these locals.
#pragma once

#include <cstdint>
#include <cstring>

#include "byte_source.h"

#define LZW_INLINE inline __attribute__((always_inline))

constexpr int32_t kLzwClearCode = 256;
constexpr int32_t kLzwEndCode = 257;
constexpr int32_t kLzwFirstFreeCode = 258;
constexpr int32_t kLzwCodeLimit = 4096;  // 12-bit codes: entries 258 to 4095
constexpr int32_t kLzwMinWidth = 9;
constexpr int32_t kLzwMaxWidth = 12;
constexpr int32_t kLzwMinMask = (1 << kLzwMinWidth) - 1;
constexpr const char *kLzwTooFewCodes = "LZW too few codes.";

struct LzwState {
  uint64_t bit_buffer;
  int32_t bit_count;
  int32_t next_code;
  int32_t code_width;
  int32_t code_mask;
  int32_t old_code;
  uint32_t remaining;
  uint32_t buffer_position;
  uint32_t buffer_length;
};

LZW_INLINE LzwState load_lzw_state(const ByteSource &source) {
  return {source.bit_buffer,      source.bit_count, source.next_code,       source.code_width, source.code_mask,
          source.old_code,        source.remaining, source.buffer_position, source.buffer_length};
}

LZW_INLINE void save_lzw_state(ByteSource &source, const LzwState &state) {
  source.bit_buffer = state.bit_buffer;
  source.bit_count = state.bit_count;
  source.next_code = state.next_code;
  source.code_width = state.code_width;
  source.code_mask = state.code_mask;
  source.old_code = state.old_code;
  source.remaining = state.remaining;
  source.buffer_position = state.buffer_position;
  source.buffer_length = state.buffer_length;
}

// Makes sure the bit buffer holds at least `width` unconsumed bits. Bytes
// are loaded ahead of need, as many as the buffer holds, but never beyond
// the strip's byte count and never from beyond the bytes already in the
// buffer unless they are needed: so a strip runs short ("LZW too few
// codes.") or meets the end of the file exactly where taking one byte at a
// time, only when the buffer runs short, would. Whole bytes still in the
// buffer count as not yet taken.
LZW_INLINE void need_bits(ByteSource &source, LzwState &state, int32_t width) {
  if (state.bit_count >= width) return;
  const uint8_t *window = source.buffer;
  // Usually: as many whole bytes as the buffer has room for, in one load.
  const uint32_t room = static_cast<uint32_t>(63 - state.bit_count) >> 3;
  if (state.buffer_length - state.buffer_position >= 8 && state.remaining >= room) {
    uint64_t next;
    memcpy(&next, window + state.buffer_position, sizeof next);
    next = __builtin_bswap64(next);
    state.bit_buffer = (state.bit_buffer << (8 * room)) | (next >> (64 - 8 * room));
    state.buffer_position += room;
    state.remaining -= room;
    state.bit_count += static_cast<int32_t>(8 * room);
    return;
  }
  while (state.bit_count <= 56 && state.remaining > 0) {
    if (state.buffer_position == state.buffer_length) {
      if (state.bit_count >= width) return;
      source.remaining = state.remaining - 1;
      source.buffer_position = state.buffer_position;
      source.buffer_length = state.buffer_length;
      if (fill_buffer(source) == 0) reader_fail("unexpected end of file.");
      state.buffer_position = source.buffer_position;
      state.buffer_length = source.buffer_length;
    }
    state.bit_buffer = (state.bit_buffer << 8) | window[state.buffer_position++];
    --state.remaining;
    state.bit_count += 8;
  }
  if (state.bit_count < width) reader_fail(kLzwTooFewCodes);
}

// Consumes a code of `width` bits, most significant bit first.
LZW_INLINE int32_t read_code(ByteSource &source, LzwState &state, int32_t width, int32_t mask) {
  need_bits(source, state, width);
  state.bit_count -= width;
  return static_cast<int32_t>((state.bit_buffer >> state.bit_count) & static_cast<uint64_t>(mask));
}

// Strip bytes not yet taken: those still in the file and the whole bytes
// loaded ahead into the bit buffer.
LZW_INLINE uint32_t bytes_not_taken(const LzwState &state) {
  return state.remaining + static_cast<uint32_t>(state.bit_count / 8);
}

// After a clear code: a fresh table at 9 bits, and its first code, which
// must be a single byte and defines no entry, since there is no previous
// string to extend.
LZW_INLINE int32_t read_first_code(ByteSource &source, LzwState &state) {
  state.code_width = kLzwMinWidth;
  state.code_mask = kLzwMinMask;
  state.next_code = kLzwFirstFreeCode;
  const int32_t code = read_code(source, state, kLzwMinWidth, kLzwMinMask);
  if (code == kLzwEndCode) reader_fail("LZW unexpected end of code.");
  if (code >= kLzwClearCode) reader_fail("LZW unknown code after clear code.");
  state.old_code = code;
  return code;
}

// A data code other than the first after a clear code may name any defined
// entry or the one it defines itself (next_code), and the table must have
// room for that entry.
LZW_INLINE void check_data_code(const LzwState &state, int32_t code) {
  if (code > state.next_code) reader_fail("LZW too large code.");
  if (state.next_code == kLzwCodeLimit) reader_fail("LZW code table overflow.");
}

// After an entry is defined. Writers raise the width one code early: as
// soon as the next free code equals the largest code of the current width,
// not when it exceeds it.
LZW_INLINE void count_entry(LzwState &state) {
  ++state.next_code;
  if (state.next_code == state.code_mask && state.code_width < kLzwMaxWidth) {
    ++state.code_width;
    state.code_mask = (1 << state.code_width) - 1;
  }
}
