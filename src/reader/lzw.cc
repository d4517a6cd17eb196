// The LZW strip decoder: starting and ending a strip, and the byte-at-a-time
// face, through which bit-packed rows take their bytes. That face unwinds
// each code's string through the prefix table onto the byte source's string
// stack and hands it out from there in order; blocks of bytes are decoded
// by copying strings instead (lzw_copy.cc).
#include "lzw.h"

#include "byte_source.h"
#include "lzw_code_reader.h"

namespace {

// No string of a well-formed table reaches this length; the bound keeps a
// corrupt table from running the unwinding past the end of the stack.
constexpr int32_t kLongestString = 4097;

// Pushes the string of `code` onto the string stack, its last byte at index
// 0, and returns its length.
int32_t push_string(ByteSource &source, int32_t code) {
  int32_t depth = 0;
  while (code >= kLzwFirstFreeCode) {
    if (depth >= kLongestString) reader_fail("LZW too long string.");
    source.string_stack[depth++] = source.suffix_table[code];
    code = source.prefix_table[code];
  }
  if (depth >= kLongestString) reader_fail("LZW too long string.");
  source.string_stack[depth++] = code;
  return depth;
}

// Reads the next code and defines the table entry it implies: the previous
// string followed by the first byte of this code's string, which is the
// previous string's own first byte when the code names the entry it
// defines. Returns the code whose string is handed out next.
int32_t read_string_code(ByteSource &source, LzwState &state) {
  const int32_t code = read_code(source, state, state.code_width, state.code_mask);
  if (static_cast<uint32_t>(code - kLzwClearCode) < 2) {
    if (code == kLzwEndCode) reader_fail("LZW unexpected end of code.");
    return read_first_code(source, state);
  }
  check_data_code(state, code);
  const int32_t entry = state.next_code;
  const int32_t old_code = state.old_code;
  source.prefix_table[entry] = static_cast<uint16_t>(old_code);
  source.suffix_table[entry] = source.first_byte_table[code < entry ? code : old_code];
  source.first_byte_table[entry] = source.first_byte_table[old_code];
  source.length_table[entry] = static_cast<uint16_t>(source.length_table[old_code] + 1);
  count_entry(state);
  state.old_code = code;
  return code;
}

}  // namespace

void lzw_start_strip(ByteSource &source, uint32_t offset, uint32_t byte_count) {
  // Single-byte codes are their own first and last byte and have length 1;
  // the copying face finds them among the window's first 256 bytes.
  if (source.length_table[0] != 1) {
    for (int32_t code = 0; code < kLzwClearCode; ++code) {
      source.first_byte_table[code] = static_cast<uint8_t>(code);
      source.suffix_table[code] = static_cast<uint8_t>(code);
      source.length_table[code] = 1;
      source.string_start[code] = static_cast<uint32_t>(code);
      source.string_length[code] = 1;
    }
    // The clear and end codes have no string.
    source.string_length[kLzwClearCode] = source.string_length[kLzwEndCode] = 0;
  }
  // Nor has any entry before it is defined (lzw_copy.cc).
  clear_string_lengths(source, kLzwTableSize);
  seek_to(source, offset);
  source.remaining = byte_count;
  source.bit_count = 0;
  source.bit_buffer = 0;
  // The clear code is only looked at here; the first decoding call reads it
  // again and sets up the table as for any clear code.
  LzwState state = load_lzw_state(source);
  if (read_code(source, state, kLzwMinWidth, kLzwMinMask) != kLzwClearCode) {
    reader_fail("LZW missing first clear code.");
  }
  state.bit_count += kLzwMinWidth;
  save_lzw_state(source, state);
  source.code_width = kLzwMinWidth;
  source.code_mask = kLzwMinMask;
  source.next_code = kLzwFirstFreeCode;
  source.stack_depth = 0;
  source.window_end = source.window_read = kLzwWindowStart;
}

int lzw_next_byte(ByteSource &source) {
  if (source.stack_depth > 0) {
    --source.stack_depth;
    return source.string_stack[source.stack_depth];
  }
  LzwState state = load_lzw_state(source);
  const int32_t code = read_string_code(source, state);
  save_lzw_state(source, state);
  const int32_t length = push_string(source, code);
  source.stack_depth = length - 1;
  return source.string_stack[length - 1];
}

void lzw_end_strip(ByteSource &source) {
  LzwState state = load_lzw_state(source);
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
  if (last_code_raised_width && code != kLzwEndCode && code != kLzwClearCode) {
    state.bit_count += end_width;
    code = read_code(source, state, raised_width, raised_mask);
  }
  if (code == kLzwClearCode) code = read_code(source, state, kLzwMinWidth, kLzwMinMask);
  if (code != kLzwEndCode) reader_fail("LZW missing end of codes.");

  // The rows must have taken the whole last string, and the strip must end
  // in the byte that holds the end code.
  const bool string_pending = source.stack_depth != 0 || source.window_read != source.window_end;
  if (string_pending || bytes_not_taken(state) != 0) reader_fail("LZW too many codes.");
  save_lzw_state(source, state);
}
