// The MPB run decoder (TIFF Compression 32773, PackBits). A run header h of
// 0 to 127 copies the next h + 1 bytes, 129 to 255 repeats the next byte
// 257 - h times, 128 does nothing. Runs may cross rows; a strip must end
// exactly with the last byte of its last run.
#pragma once

#include <cstddef>
#include <cstdint>

struct ByteSource;

void mpb_start_strip(ByteSource &source, uint32_t offset, uint32_t byte_count);
int mpb_next_byte(ByteSource &source);
// `count` decoded bytes at once, as `count` calls of mpb_next_byte.
void mpb_read_bytes(ByteSource &source, uint8_t *destination, size_t count);
void mpb_end_strip(ByteSource &source);
