// The LZW strip decoder. Codes are unwound onto the byte source's string
// stack and handed out one byte per call; strip bytes are taken only when
// the bit buffer runs short, each one through take_byte.
#include "lzw.h"

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

// Takes strip bytes until the buffer holds at least `width` unconsumed bits.
// The buffer never holds more than 7 + 16 bits, so nothing is shifted out
// that is still needed.
void fill_bits(int32_t width) {
  while (byte_source.bit_count < width) {
    const uint32_t byte = static_cast<uint32_t>(take_byte(kTooFewCodes));
    byte_source.bit_buffer = (byte_source.bit_buffer << 8) | byte;
    byte_source.bit_count += 8;
  }
}

// The next `width` bits, most significant first, without consuming them.
int32_t peek_code(int32_t width, int32_t mask) {
  fill_bits(width);
  const uint32_t shifted = byte_source.bit_buffer >> (byte_source.bit_count - width);
  return static_cast<int32_t>(shifted & static_cast<uint32_t>(mask));
}

int32_t read_code(int32_t width, int32_t mask) {
  const int32_t code = peek_code(width, mask);
  byte_source.bit_count -= width;
  return code;
}

// Pushes the string of `code` onto the string stack from index `depth` on,
// its last byte first, and returns the index just past its first byte,
// which is the string's length when `depth` starts at 0.
int32_t push_string(int32_t code, int32_t depth) {
  ByteSource &source = byte_source;
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
int restart_table() {
  ByteSource &source = byte_source;
  source.code_width = kMinWidth;
  source.code_mask = kMinMask;
  source.next_code = kFirstFreeCode;
  const int32_t code = read_code(kMinWidth, kMinMask);
  if (code == kEndCode) reader_fail("LZW unexpected end of code.");
  if (code >= kClearCode) reader_fail("LZW unknown code after clear code.");
  source.old_code = code;
  return code;
}

}  // namespace

void lzw_start_strip(uint32_t offset, uint32_t byte_count) {
  ByteSource &source = byte_source;
  seek_to(offset);
  source.remaining = byte_count;
  source.code_width = kMinWidth;
  source.code_mask = kMinMask;
  source.bit_count = 0;
  source.bit_buffer = 0;
  // The clear code is only looked at here; the first lzw_next_byte reads it
  // again and sets up the table as for any clear code.
  if (peek_code(kMinWidth, kMinMask) != kClearCode) reader_fail("LZW missing first clear code.");
  source.next_code = kFirstFreeCode;
  source.stack_depth = 0;
}

int lzw_next_byte() {
  ByteSource &source = byte_source;
  if (source.stack_depth > 0) {
    --source.stack_depth;
    return source.string_stack[source.stack_depth];
  }

  const int32_t width = source.code_width;
  const int32_t mask = source.code_mask;
  const int32_t code = read_code(width, mask);
  if (code == kEndCode) reader_fail("LZW unexpected end of code.");
  if (code == kClearCode) return restart_table();

  int32_t length = 0;
  if (code < source.next_code) {
    length = push_string(code, 0);
  } else if (code == source.next_code) {
    // The code being defined right now: the previous string followed by
    // that string's own first byte.
    length = push_string(source.old_code, 1);
    source.string_stack[0] = source.string_stack[length - 1];
  } else {
    reader_fail("LZW too large code.");
  }
  const int32_t first_byte = source.string_stack[length - 1];

  if (source.next_code == kCodeLimit) reader_fail("LZW code table overflow.");
  source.prefix_table[source.next_code] = source.old_code;
  source.suffix_table[source.next_code] = first_byte;
  ++source.next_code;

  // Writers raise the width one code early: as soon as the next free code
  // equals the largest code of the current width, not when it exceeds it.
  if (source.next_code == mask && width < kMaxWidth) {
    source.code_width = width + 1;
    source.code_mask = (1 << (width + 1)) - 1;
  }

  source.old_code = code;
  source.stack_depth = length - 1;
  return first_byte;
}

void lzw_read_bytes(uint8_t *destination, size_t count) {
  ByteSource &source = byte_source;
  while (count > 0) {
    if (source.stack_depth == 0) {
      *destination++ = static_cast<uint8_t>(lzw_next_byte());
      --count;
      continue;
    }
    // The rest of the current string, in order.
    size_t pending = static_cast<size_t>(source.stack_depth);
    size_t n = pending < count ? pending : count;
    const int32_t *next = source.string_stack + source.stack_depth;
    for (size_t i = 0; i < n; ++i) destination[i] = static_cast<uint8_t>(*--next);
    source.stack_depth -= static_cast<int32_t>(n);
    destination += n;
    count -= n;
  }
}

void lzw_end_strip() {
  ByteSource &source = byte_source;
  // When the last data code raised the width, the end code may stand at
  // either width: the decoder's own rule puts it at the width before the
  // change, while the common writers put it at the raised width, as if the
  // end code had defined one more entry. The narrow reading comes first;
  // 256 or 257 there settles it, anything else is given back and read again
  // at the raised width.
  const int32_t raised_width = source.code_width;
  const int32_t raised_mask = source.code_mask;
  const bool last_code_raised_width = source.next_code == (1 << (raised_width - 1)) - 1;
  const int32_t end_width = last_code_raised_width ? raised_width - 1 : raised_width;
  const int32_t end_mask = last_code_raised_width ? source.next_code : raised_mask;

  int32_t code = read_code(end_width, end_mask);
  if (last_code_raised_width && code != kEndCode && code != kClearCode) {
    source.bit_count += end_width;
    code = read_code(raised_width, raised_mask);
  }
  if (code == kClearCode) code = read_code(kMinWidth, kMinMask);
  if (code != kEndCode) reader_fail("LZW missing end of codes.");

  // The rows must have taken the whole last string, and the strip must end
  // in the byte that holds the end code.
  if (source.stack_depth != 0 || source.remaining != 0) reader_fail("LZW too many codes.");
}
