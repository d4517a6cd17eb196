// Writers of LZW and MPB (PackBits) strip data for codec tests: a bare LZW
// code packer to build any strip, well-formed or not, code by code; a real
// LZW encoder that writes strips the way common TIFF writers do; PackBits
// runs and a PackBits encoder; and the strips libtiff itself writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

using Bytes = std::vector<uint8_t>;

// --- LZW ---------------------------------------------------------------

constexpr int kLzwClear = 256;
constexpr int kLzwEnd = 257;

// Packs codes of 9 to 12 bits, most significant bit first.
struct LzwCodeWriter {
  Bytes bytes;
  uint32_t pending = 0;   // bits not yet forming a whole byte, in the low end
  int pending_count = 0;  // how many of them
};
void put_code(LzwCodeWriter &writer, int code, int width);
// Pads the last byte with zero bits and returns the strip.
Bytes finish_codes(LzwCodeWriter &writer);

// Where the end code (or a clear code directly before it) stands when the
// last data code raised the code width: at the width before the change, as
// the decoder reads it first, or at the raised width, as libtiff writes it.
enum class LzwEndWidth { before_raise, raised };

// Packs a list of codes at the widths a decoder reads them: 9 bits after
// every clear code, one bit more as soon as the next free code reaches the
// largest code of the width (511, 1023, 2047), never more than 12 bits.
Bytes lzw_strip(const std::vector<int> &codes, LzwEndWidth end_width = LzwEndWidth::before_raise);

// True when the last data code of `codes` raises the width, so that the end
// code's width depends on the writer.
bool lzw_last_code_raises_width(const std::vector<int> &codes);

// The codes a TIFF LZW writer emits for `data`: a clear code first, a clear
// code whenever the next free entry reaches `clear_at` (libtiff: 4094; at
// most 4096), and the end code last. As in libtiff, the last data code
// counts as defining one more entry, so a table it fills gets a clear code
// before the end code.
std::vector<int> lzw_encode_codes(const Bytes &data, int clear_at = 4094);

struct LzwEncoding {
  int clear_at = 4094;
  LzwEndWidth end_width = LzwEndWidth::raised;
};
Bytes lzw_encode(const Bytes &data, const LzwEncoding &encoding = {});

// --- MPB (PackBits) ------------------------------------------------------

constexpr uint8_t kMpbNoOperation = 0x80;

// A literal run of 1 to 128 bytes.
Bytes mpb_literal(const Bytes &bytes);
// A repeat run: `byte` 2 to 128 times.
Bytes mpb_repeat(uint8_t byte, int count);
// Repeat runs for two or more equal bytes, literal runs for the rest.
Bytes mpb_encode(const Bytes &data);

// --- Shared --------------------------------------------------------------

Bytes join(std::initializer_list<Bytes> parts);

// `count` pseudo-random bytes, the same for the same seed on every platform.
Bytes random_bytes(size_t count, uint32_t seed);

// The one strip libtiff writes for a single row of 8-bit samples `data`
// (not empty) with the given TIFF compression (5 LZW, 32773 PackBits).
Bytes libtiff_strip(const Bytes &data, uint16_t compression);
