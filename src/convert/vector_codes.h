// Lookups of codes many samples at a time, where the processor has the
// vector instructions for them; each gives exactly the table's codes.
//
// 8-bit codes in steps. Codes rise with the sample value by at most one
// step per 256 values, since the series' range spans every slice's, so
// within each block of 256 values that share a high byte a table of 8-bit
// codes is mostly one code, or one code and the next. Such a table is
// kept as two arrays of 256 bytes, small enough for a vector unit to look
// up 64 samples at once.
#pragma once

#include <cstddef>
#include <cstdint>

struct CodeSteps {
  bool usable;                // every block has the form below
  uint8_t base[256];          // the code of each block's first value
  uint8_t last_at_base[256];  // the last low byte whose code is base; 255: the block has one code
};

// Derives the steps from a table of every sample value's code, checking
// each entry; `usable` is false when some block has another form, or the
// codes do not fit 8 bits.
void build_code_steps(const uint16_t *codes, CodeSteps *steps);

// Maps the first samples of a row, a multiple of 64 of them, and returns
// how many; none when the steps are not usable or the processor lacks the
// byte permutes this needs.
size_t map_row_by_steps(const CodeSteps &steps, const uint16_t *row, size_t width, uint8_t *out);

// Maps the first samples of a row through `codes`, a table of every sample
// value's 16-bit code followed by at least two more bytes, 32 at a time by
// gathered loads, and returns how many; none when the processor has no
// such loads.
size_t map_row_by_gathers(const uint16_t *codes, const uint16_t *row, size_t width, uint16_t *out);
