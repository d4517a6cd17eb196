// The LZW strip decoder (TIFF Compression 5): codes of 9 to 12 bits, most
// significant bit first, clear code 256, end-of-information code 257, the
// width raised one code early. Strict: every strip begins with a clear code,
// carries the end code right after the code that yields the last byte its
// rows need, and holds no byte beyond the one in which that end code ends.
// All state lives in the byte source passed in; decoding blocks of bytes
// grows the byte source's string window (lzw_copy.cc), which it keeps.
#pragma once

#include <cstddef>
#include <cstdint>

struct ByteSource;

void lzw_start_strip(ByteSource &source, uint32_t offset, uint32_t byte_count);
int lzw_next_byte(ByteSource &source);
// `count` decoded bytes at once, as `count` calls of lzw_next_byte. A strip
// is decoded through lzw_next_byte or through lzw_read_bytes, not both.
void lzw_read_bytes(ByteSource &source, uint8_t *destination, size_t count);
void lzw_end_strip(ByteSource &source);
// The copying face tells a defined entry by its nonzero length: the lengths
// of entries 258 up to `end` are set to 0, for a fresh table.
void clear_string_lengths(ByteSource &source, int32_t end);
