// The LZW strip decoder. Each code's string is unwound through the prefix
// table, straight into the row when it fits there and onto the byte
// source's string stack otherwise, from where it is handed out in order.
// Strip bytes are taken only when the bit buffer runs short.
//
// The hot loop works on a copy of the decoder's fields held in locals
// (LzwState), written back to the byte source when a call returns, so the
// compiler can keep them in registers: stores through the row pointer may
// alias the source, but never these locals.
#include "lzw.h"

#include <cstring>

#include "byte_source.h"

namespace {

constexpr int32_t kClearCode = 256;
constexpr int32_t kEndCode = 257;
constexpr int32_t kFirstFreeCode = 258;
constexpr int32_t kCodeLimit = 4096;  // 12-bit codes: entries 258 to 4095
constexpr int32_t kMinWidth = 9;
constexpr int32_t kMaxWidth = 12;
constexpr int32_t kMinMask = (1 << kMinWidth) - 1;
// No string of a well-formed table reaches this length; the bound keeps a
// corrupt table from running the unwinding past the end of the stack.
constexpr int32_t kLongestString = 4097;
constexpr const char *kTooFewCodes = "LZW too few codes.";

#define LZW_INLINE inline __attribute__((always_inline))

struct LzwState {
  uint64_t bit_buffer;
  int32_t bit_count;
  int32_t next_code;
  int32_t code_width;
  int32_t code_mask;
  int32_t old_code;
  int32_t old_first_byte;  // first byte of the string of old_code
  int32_t old_length;      // length of the string of old_code
  uint32_t remaining;
  uint32_t buffer_position;
  uint32_t buffer_length;
};

LZW_INLINE LzwState load_state(const ByteSource &source) {
  return {source.bit_buffer,
          source.bit_count,
          source.next_code,
          source.code_width,
          source.code_mask,
          source.old_code,
          source.first_byte_table[source.old_code],
          source.length_table[source.old_code],
          source.remaining,
          source.buffer_position,
          source.buffer_length};
}

LZW_INLINE void save_state(ByteSource &source, const LzwState &state) {
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
  if (state.bit_count < width) reader_fail(kTooFewCodes);
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

// Pushes the string of `code` onto the string stack, its last byte at index
// 0, and returns its length.
int32_t push_string(ByteSource &source, int32_t code) {
  int32_t depth = 0;
  while (code >= kFirstFreeCode) {
    if (depth >= kLongestString) reader_fail("LZW too long string.");
    source.string_stack[depth++] = source.suffix_table[code];
    code = source.prefix_table[code];
  }
  if (depth >= kLongestString) reader_fail("LZW too long string.");
  source.string_stack[depth++] = code;
  return depth;
}

// After a clear code: a fresh table at 9 bits. The first code of the new
// table must be a single byte and defines no entry, since there is no
// previous string to extend.
LZW_INLINE int32_t restart_table(ByteSource &source, LzwState &state) {
  state.code_width = kMinWidth;
  state.code_mask = kMinMask;
  state.next_code = kFirstFreeCode;
  const int32_t code = read_code(source, state, kMinWidth, kMinMask);
  if (code == kEndCode) reader_fail("LZW unexpected end of code.");
  if (code >= kClearCode) reader_fail("LZW unknown code after clear code.");
  state.old_code = code;
  state.old_first_byte = code;
  state.old_length = 1;
  return code;
}

// Reads the next code and defines the table entry it implies. Returns the
// code whose string is handed out next; by then that string is in the
// table, also for the code that this very step defines (the previous string
// followed by its own first byte).
LZW_INLINE int32_t read_string_code(ByteSource &source, LzwState &state) {
  const int32_t width = state.code_width;
  const int32_t mask = state.code_mask;
  const int32_t code = read_code(source, state, width, mask);
  if (static_cast<uint32_t>(code - kClearCode) < 2) {
    if (code == kEndCode) reader_fail("LZW unexpected end of code.");
    return restart_table(source, state);
  }

  const int32_t entry = state.next_code;
  int32_t first_byte;
  int32_t length;
  if (code < entry) {
    first_byte = source.first_byte_table[code];
    length = source.length_table[code];
  } else if (code == entry) {
    first_byte = state.old_first_byte;
    length = state.old_length + 1;
  } else {
    reader_fail("LZW too large code.");
  }

  if (entry == kCodeLimit) reader_fail("LZW code table overflow.");
  source.prefix_table[entry] = static_cast<uint16_t>(state.old_code);
  source.suffix_table[entry] = static_cast<uint8_t>(first_byte);
  source.first_byte_table[entry] = static_cast<uint8_t>(state.old_first_byte);
  source.length_table[entry] = static_cast<uint16_t>(state.old_length + 1);
  state.next_code = entry + 1;

  // Writers raise the width one code early: as soon as the next free code
  // equals the largest code of the current width, not when it exceeds it.
  if (state.next_code == mask && width < kMaxWidth) {
    state.code_width = width + 1;
    state.code_mask = (1 << (width + 1)) - 1;
  }
  state.old_code = code;
  state.old_first_byte = first_byte;
  state.old_length = length;
  return code;
}

}  // namespace

void lzw_start_strip(ByteSource &source, uint32_t offset, uint32_t byte_count) {
  // Single-byte codes are their own first and last byte and have length 1.
  if (source.length_table[0] != 1) {
    for (int32_t code = 0; code < kClearCode; ++code) {
      source.first_byte_table[code] = static_cast<uint8_t>(code);
      source.suffix_table[code] = static_cast<uint8_t>(code);
      source.length_table[code] = 1;
    }
  }
  seek_to(source, offset);
  source.remaining = byte_count;
  source.bit_count = 0;
  source.bit_buffer = 0;
  // The clear code is only looked at here; the first lzw_next_byte reads it
  // again and sets up the table as for any clear code.
  LzwState state = load_state(source);
  if (read_code(source, state, kMinWidth, kMinMask) != kClearCode) reader_fail("LZW missing first clear code.");
  state.bit_count += kMinWidth;
  save_state(source, state);
  source.code_width = kMinWidth;
  source.code_mask = kMinMask;
  source.next_code = kFirstFreeCode;
  source.stack_depth = 0;
}

int lzw_next_byte(ByteSource &source) {
  if (source.stack_depth > 0) {
    --source.stack_depth;
    return source.string_stack[source.stack_depth];
  }
  LzwState state = load_state(source);
  const int32_t code = read_string_code(source, state);
  save_state(source, state);
  const int32_t length = push_string(source, code);
  source.stack_depth = length - 1;
  return source.string_stack[length - 1];
}

void lzw_read_bytes(ByteSource &source, uint8_t *destination, size_t count) {
  // The rest of the current string first, in order.
  if (source.stack_depth > 0) {
    size_t pending = static_cast<size_t>(source.stack_depth);
    size_t n = pending < count ? pending : count;
    const int32_t *next = source.string_stack + source.stack_depth;
    for (size_t i = 0; i < n; ++i) destination[i] = static_cast<uint8_t>(*--next);
    source.stack_depth -= static_cast<int32_t>(n);
    destination += n;
    count -= n;
  }
  if (count == 0) return;

  LzwState state = load_state(source);
  const uint16_t *prefixes = source.prefix_table;
  const uint8_t *suffixes = source.suffix_table;
  for (;;) {
    int32_t code = read_string_code(source, state);
    const size_t length = static_cast<size_t>(state.old_length);
    if (length > count) {
      // The string runs past the block: the rest waits on the stack.
      save_state(source, state);
      const int32_t pushed = push_string(source, code);
      const int32_t *next = source.string_stack + pushed;
      for (size_t i = 0; i < count; ++i) destination[i] = static_cast<uint8_t>(*--next);
      source.stack_depth = pushed - static_cast<int32_t>(count);
      return;
    }
    // The whole string fits: unwound straight into place. Most strings of
    // noisy slices are one or two bytes long, so the first two bytes are
    // written without asking which: the first byte is known, and the
    // second is the code's last byte when the string has two (a one-byte
    // string's "second byte" is overwritten by the next string). Longer
    // strings walk the table from their last byte down.
    destination[0] = static_cast<uint8_t>(state.old_first_byte);
    if (count >= 2) destination[1] = suffixes[code];
    if (length > 2) {
      uint8_t *byte = destination + length;
      do {
        *--byte = suffixes[code];
        code = prefixes[code];
      } while (byte != destination + 1);
    }
    destination += length;
    count -= length;
    if (count == 0) break;
  }
  save_state(source, state);
}

void lzw_end_strip(ByteSource &source) {
  LzwState state = load_state(source);
  // When the last data code raised the width, the end code may stand at
  // either width: the decoder's own rule puts it at the width before the
  // change, while the common writers put it at the raised width, as if the
  // end code had defined one more entry. The narrow reading comes first;
  // 256 or 257 there settles it, anything else is given back and read again
  // at the raised width.
  const int32_t raised_width = state.code_width;
  const int32_t raised_mask = state.code_mask;
  const bool last_code_raised_width = state.next_code == (1 << (raised_width - 1)) - 1;
  const int32_t end_width = last_code_raised_width ? raised_width - 1 : raised_width;
  const int32_t end_mask = last_code_raised_width ? state.next_code : raised_mask;

  int32_t code = read_code(source, state, end_width, end_mask);
  if (last_code_raised_width && code != kEndCode && code != kClearCode) {
    state.bit_count += end_width;
    code = read_code(source, state, raised_width, raised_mask);
  }
  if (code == kClearCode) code = read_code(source, state, kMinWidth, kMinMask);
  if (code != kEndCode) reader_fail("LZW missing end of codes.");

  // The rows must have taken the whole last string, and the strip must end
  // in the byte that holds the end code.
  if (source.stack_depth != 0 || bytes_not_taken(state) != 0) reader_fail("LZW too many codes.");
  save_state(source, state);
}
