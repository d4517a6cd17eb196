// The LZW strip decoder: worked strips, every refusal with its message, the
// end code on either side of a width change, and round trips through the
// test encoder and through libtiff.
#include <gtest/gtest.h>

#include <vector>

#include "byte_source.h"
#include "codec_runner.h"
#include "strip_writers.h"

namespace {

// `count` single-byte codes 0, 1, 2, ... (wrapping at 256). After a clear
// code every one but the first defines a table entry, so 254, 766 and 1790
// of them end with the code that raises the width to 10, 11 and 12 bits,
// and 3839 of them fill the table up to entry 4095.
std::vector<int> literal_codes(int count) {
  std::vector<int> codes;
  for (int i = 0; i < count; ++i) codes.push_back(i % 256);
  return codes;
}

Bytes literal_bytes(int count) {
  Bytes bytes;
  for (int i = 0; i < count; ++i) bytes.push_back(static_cast<uint8_t>(i % 256));
  return bytes;
}

std::vector<int> codes(std::initializer_list<std::vector<int>> parts) {
  std::vector<int> all;
  for (const std::vector<int> &part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes with_last_code_raising(int literal_count, std::vector<int> ending, LzwEndWidth end_width) {
  return lzw_strip(codes({{kLzwClear}, literal_codes(literal_count), ending}), end_width);
}

// An end code written one bit wider than the decoder reads it, with no
// width change before it.
Bytes end_code_one_bit_too_wide() {
  LzwCodeWriter writer;
  put_code(writer, kLzwClear, 9);
  put_code(writer, 'A', 9);
  put_code(writer, kLzwEnd, 10);
  return finish_codes(writer);
}

constexpr auto kBefore = LzwEndWidth::before_raise;
constexpr auto kRaised = LzwEndWidth::raised;
const Bytes kOneByteStrip = {0x80, 0x10, 0x60, 0x20};        // 256 65 257
const Bytes kDefiningCodeStrip = {0x80, 0x10, 0x60, 0x50, 0x10};  // 256 65 258 257

// A run of one byte value whose strings, one byte longer each, fill much
// of the window; then a block of random bytes repeated, whose strings grow
// by a byte about every 200 codes: the window passes the point where it
// must grow during strings of 12 to 16 bytes, short enough to be copied in
// one block.
Bytes window_filled_then_blocks() {
  Bytes data(45000, 0x5A);
  const Bytes block = random_bytes(200, 31);
  for (int copy = 0; copy < 120; ++copy) data.insert(data.end(), block.begin(), block.end());
  return data;
}
const Bytes kWindowFilledThenBlocks = window_filled_then_blocks();

const std::vector<StripCase> kLzwCases = {
    // Worked strips.
    {"codes 256 65 257", kOneByteStrip, 1, {0x41}, ""},
    {"code 258 while it is being defined", kDefiningCodeStrip, 3, {0x41, 0x41, 0x41}, ""},
    {"clear code and end code only", lzw_strip({256, 257}), 0, {}, ""},
    {"strings from the table, handed out first byte first",
     lzw_strip({256, 'A', 'B', 258, 260, 257}), 7, {'A', 'B', 'A', 'B', 'A', 'B', 'A'}, ""},
    {"clear code at the raised width inside the strip",
     with_last_code_raising(254, {256, 'A', 257}, kBefore), 255,
     join({literal_bytes(254), {'A'}}), ""},

    // Strip start.
    {"empty strip", {}, 0, {}, "LZW too few codes."},
    {"one-byte strip", {0x80}, 0, {}, "LZW too few codes."},
    {"first code a byte", lzw_strip({'A', 257}), 1, {}, "LZW missing first clear code."},
    {"first code the end code", lzw_strip({257}), 0, {}, "LZW missing first clear code."},

    // Codes while rows still need bytes.
    {"strip ends inside a data code", Bytes{0x80, 0x10, 0x60}, 2, {}, "LZW too few codes."},
    {"end code where the rows need a fourth byte", kDefiningCodeStrip, 4, {}, "LZW unexpected end of code."},
    {"end code right after the first clear code", lzw_strip({256, 257}), 1, {},
     "LZW unexpected end of code."},
    {"end code right after a later clear code", lzw_strip({256, 'A', 256, 257}), 2, {},
     "LZW unexpected end of code."},
    {"clear code after a clear code", lzw_strip({256, 256, 'A', 257}), 1, {},
     "LZW unknown code after clear code."},
    {"code 300 after a clear code", lzw_strip({256, 300, 257}), 1, {},
     "LZW unknown code after clear code."},
    {"code 258 after a later clear code", lzw_strip({256, 'A', 256, 258, 257}), 2, {},
     "LZW unknown code after clear code."},
    {"code one above the next free code", lzw_strip({256, 'A', 259, 257}), 2, {}, "LZW too large code."},

    // The table's last entry.
    {"table filled up to entry 4095", lzw_strip(codes({{256}, literal_codes(3839), {257}})), 3839,
     literal_bytes(3839), ""},
    {"clear code once the table is full", lzw_strip(codes({{256}, literal_codes(3839), {256, 'A', 257}})),
     3840, join({literal_bytes(3839), {'A'}}), ""},
    {"one code more than the table holds", lzw_strip(codes({{256}, literal_codes(3840), {257}})), 3840,
     {}, "LZW code table overflow."},

    // The end code after a width change, at either width.
    {"end code at 9 bits after the change at 511", with_last_code_raising(254, {257}, kBefore), 254,
     literal_bytes(254), ""},
    {"end code at 10 bits after the change at 511", with_last_code_raising(254, {257}, kRaised), 254,
     literal_bytes(254), ""},
    {"end code at 10 bits after the change at 1023", with_last_code_raising(766, {257}, kBefore), 766,
     literal_bytes(766), ""},
    {"end code at 11 bits after the change at 1023", with_last_code_raising(766, {257}, kRaised), 766,
     literal_bytes(766), ""},
    {"end code at 11 bits after the change at 2047", with_last_code_raising(1790, {257}, kBefore), 1790,
     literal_bytes(1790), ""},
    {"end code at 12 bits after the change at 2047", with_last_code_raising(1790, {257}, kRaised), 1790,
     literal_bytes(1790), ""},
    {"clear and end code at 9 bits after the change at 511", with_last_code_raising(254, {256, 257}, kBefore),
     254, literal_bytes(254), ""},
    {"clear code at 10 bits after the change at 511", with_last_code_raising(254, {256, 257}, kRaised), 254,
     literal_bytes(254), ""},
    {"clear code at 11 bits after the change at 2047", with_last_code_raising(1790, {256, 257}, kBefore),
     1790, literal_bytes(1790), ""},
    {"clear code at 12 bits after the change at 2047", with_last_code_raising(1790, {256, 257}, kRaised),
     1790, literal_bytes(1790), ""},

    {"the window grows during strings of up to a copy block", lzw_encode(kWindowFilledThenBlocks),
     kWindowFilledThenBlocks.size(), kWindowFilledThenBlocks, ""},

    // The end of the strip.
    {"clear code directly before the end code", lzw_strip({256, 'A', 256, 257}), 1, {'A'}, ""},
    {"data code where the end code should stand", kDefiningCodeStrip, 1, {}, "LZW missing end of codes."},
    {"data code after a clear code at the strip end", lzw_strip({256, 'A', 256, 'A'}), 1, {},
     "LZW missing end of codes."},
    {"end code one bit too wide without a width change", end_code_one_bit_too_wide(), 1, {},
     "LZW missing end of codes."},
    {"after the change at 511 neither width holds the end code", with_last_code_raising(254, {'A'}, kBefore),
     254, {}, "LZW missing end of codes."},
    {"after the change at 511 the strip ends before the raised reading",
     join({with_last_code_raising(254, {}, kBefore), {0x00}}), 254, {}, "LZW too few codes."},
    {"strip ends inside the end code", Bytes{0x80, 0x10, 0x60}, 1, {}, "LZW too few codes."},
    {"bytes of the last string still pending", kDefiningCodeStrip, 2, {}, "LZW too many codes."},
    {"a byte after the end code", join({kOneByteStrip, {0x00}}), 1, {}, "LZW too many codes."},
    {"a byte after an end code at the raised width",
     join({with_last_code_raising(254, {257}, kRaised), {0x00}}), 254, {}, "LZW too many codes."},
};

TEST(LzwDecoder, DecodesOrRefusesEachStrip) {
  for (const StripCase &row : kLzwCases) expect_strip_case(kLzwCodec, row);
}

// Strings of a well-formed table are never longer than the string stack;
// a table corrupted into a loop must be refused before the unwinding runs
// off its end.
TEST(LzwDecoder, RefusesAStringLongerThanTheStack) {
  const Bytes strip = lzw_strip({256, 'A', 'B', 258, 257});
  const StripResult result = decode_strip(kLzwCodec, strip, 4, [](ByteSource &source, size_t bytes_decoded) {
    // Entry 258 ("AB") is defined by now and read next: make it its own prefix.
    if (bytes_decoded == 2) source.prefix_table[258] = 258;
  });
  EXPECT_EQ(result.failure, "LZW too long string.");
}

struct RoundTripCase {
  const char *name;
  Bytes data;
  LzwEncoding encoding;
  bool last_code_raises_width;
  bool clears_inside;  // the table fills and starts over inside the strip
};

Bytes ramp(size_t count) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(i * 7 / 3);
  return bytes;
}

// Seeds chosen so that the strip's last data code raises the width.
const std::vector<RoundTripCase> kRoundTrips = {
    {"no data", {}, {}, false, false},
    {"one byte", {0x7E}, {}, false, false},
    {"255 random bytes, end code at 10 bits", random_bytes(255, 1), {4094, kRaised}, true, false},
    {"255 random bytes, end code at 9 bits", random_bytes(255, 1), {4094, kBefore}, true, false},
    {"770 random bytes, end code at 11 bits", random_bytes(770, 12), {4094, kRaised}, true, false},
    {"770 random bytes, end code at 10 bits", random_bytes(770, 12), {4094, kBefore}, true, false},
    {"1804 random bytes, end code at 12 bits", random_bytes(1804, 549), {4094, kRaised}, true, false},
    {"1804 random bytes, end code at 11 bits", random_bytes(1804, 549), {4094, kBefore}, true, false},
    {"last code fills the table, clear code before the end code", random_bytes(3930, 7), {}, false, false},
    {"20000 random bytes, clear code at 4094", random_bytes(20000, 2), {4094, kRaised}, false, true},
    {"20000 random bytes, clear code at 4096", random_bytes(20000, 2), {4096, kRaised}, false, true},
    {"ramp of 60000 bytes", ramp(60000), {}, false, true},
    // Each new entry is one byte longer than the last, so the table fills
    // with strings of up to 3839 bytes.
    {"one byte value until the table fills", Bytes(7400000, 0x5A), {}, false, true},
};

int clear_codes_inside(const std::vector<int> &codes) {
  int count = 0;
  for (size_t i = 1; i + 2 < codes.size(); ++i) count += codes[i] == kLzwClear;
  return count;
}

TEST(LzwDecoder, RoundTripsTheTestEncoder) {
  for (const RoundTripCase &row : kRoundTrips) {
    SCOPED_TRACE(row.name);
    const std::vector<int> encoded = lzw_encode_codes(row.data, row.encoding.clear_at);
    EXPECT_EQ(lzw_last_code_raises_width(encoded), row.last_code_raises_width);
    EXPECT_EQ(clear_codes_inside(encoded) > 0, row.clears_inside);
    const StripResult result = decode_strip(kLzwCodec, lzw_encode(row.data, row.encoding), row.data.size());
    EXPECT_EQ(result.failure, "");
    EXPECT_EQ(first_difference(result.decoded, row.data), "");
  }
}

struct LibtiffCase {
  const char *name;
  Bytes data;
  bool same_as_test_encoder;  // libtiff also starts tables over by ratio from 10000 bytes on
};

const std::vector<LibtiffCase> kLibtiffStrips = {
    {"255 random bytes, last code raises the width", random_bytes(255, 1), true},
    {"770 random bytes, last code raises the width", random_bytes(770, 12), true},
    {"1804 random bytes, last code raises the width", random_bytes(1804, 549), true},
    {"last code fills the table", random_bytes(3930, 7), true},
    {"9000 random bytes", random_bytes(9000, 4), true},
    {"ramp of 9000 bytes", ramp(9000), true},
    {"100000 random bytes", random_bytes(100000, 3), false},
    {"200000 equal bytes", Bytes(200000, 0x00), false},
};

TEST(LzwDecoder, DecodesWhatLibtiffWrites) {
  for (const LibtiffCase &row : kLibtiffStrips) {
    SCOPED_TRACE(row.name);
    const Bytes strip = libtiff_strip(row.data, 5);
    if (row.same_as_test_encoder) {
      EXPECT_EQ(first_difference(lzw_encode(row.data), strip), "");
    }
    const StripResult result = decode_strip(kLzwCodec, strip, row.data.size());
    EXPECT_EQ(result.failure, "");
    EXPECT_EQ(first_difference(result.decoded, row.data), "");
  }
}

}  // namespace
