// The MPB (PackBits) run decoder: worked strips, the longest runs, runs that
// go on over several rows' worth of bytes, both refusals, and round trips
// through the test encoder and through libtiff.
#include <gtest/gtest.h>

#include <vector>

#include "codec_runner.h"
#include "strip_writers.h"

namespace {

Bytes count_up(size_t count) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(i);
  return bytes;
}

const std::vector<StripCase> kMpbCases = {
    // Worked strips.
    {"literal run of three", {0x02, 0x41, 0x42, 0x43}, 3, {0x41, 0x42, 0x43}, ""},
    {"repeat run of three", {0xFE, 0x41}, 3, {0x41, 0x41, 0x41}, ""},
    {"repeat run of two", {0xFF, 0x07}, 2, {0x07, 0x07}, ""},
    {"longest repeat run", {0x81, 0x00}, 128, Bytes(128, 0x00), ""},
    {"longest literal run", join({{0x7F}, count_up(128)}), 128, count_up(128), ""},
    {"literal run of one", {0x00, 0x99}, 1, {0x99}, ""},
    {"no-operation header skipped", {0x80, 0x00, 0x41}, 1, {0x41}, ""},
    {"several no-operation headers", {0x80, 0x80, 0xFF, 0x07, 0x80, 0x00, 0x09}, 3, {0x07, 0x07, 0x09}, ""},
    {"empty strip, no bytes needed", {}, 0, {}, ""},

    // Runs handed out over several rows' worth of calls: a repeat and a
    // literal run each longer than a row of 4, ending together with the strip.
    {"runs across rows of 4 bytes",
     join({mpb_repeat(0x11, 6), mpb_literal({1, 2, 3, 4, 5, 6}), mpb_repeat(0x22, 4)}), 16,
     {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 1, 2, 3, 4, 5, 6, 0x22, 0x22, 0x22, 0x22}, ""},
    {"longest runs back to back",
     join({mpb_repeat(0xEE, 128), mpb_literal(count_up(128)), mpb_repeat(0xDD, 128)}), 384,
     join({Bytes(128, 0xEE), count_up(128), Bytes(128, 0xDD)}), ""},
    {"long literal runs then a repeat",
     join({mpb_literal(count_up(128)), {0x80}, mpb_literal(count_up(128)), mpb_repeat(0x44, 3)}), 259,
     join({count_up(128), count_up(128), Bytes(3, 0x44)}), ""},

    // Too few codes: a header, a literal byte or the repeated byte missing.
    {"empty strip, one byte needed", {}, 1, {}, "MPB too few codes."},
    {"header missing after a repeat run", {0xFE, 0x41}, 4, {}, "MPB too few codes."},
    {"literal run cut short", {0x02, 0x41}, 3, {}, "MPB too few codes."},
    {"repeat header without its byte", {0xFE}, 1, {}, "MPB too few codes."},
    {"only no-operation headers", {0x80, 0x80}, 1, {}, "MPB too few codes."},

    // Too many codes: a run still open, or bytes left in the strip.
    {"trailing no-operation header", {0x00, 0x41, 0x80}, 1, {}, "MPB too many codes."},
    {"copies of a repeat run left", {0xFE, 0x41}, 2, {}, "MPB too many codes."},
    {"a literal byte left", {0x01, 0x41}, 1, {}, "MPB too many codes."},
    {"a whole run left", {0x00, 0x41, 0xFF, 0x42}, 1, {}, "MPB too many codes."},
    {"long literal run, its last byte left", mpb_literal(count_up(128)), 127, {}, "MPB too many codes."},
    {"long literal runs, then a header missing", join({mpb_literal(count_up(128)), mpb_literal(count_up(128))}), 257,
     {}, "MPB too few codes."},
    {"bytes but none needed", {0x00, 0x41}, 0, {}, "MPB too many codes."},

    // The longest literal run where the strip or the read buffer ends: its
    // header and 128 bytes must all be there before it is copied whole.
    {"longest literal run one byte short at the strip's end", join({{0xFF, 0x07, 0x7F}, count_up(127)}), 130, {},
     "MPB too few codes."},
    {"longest literal run ending the read buffer of 4096",
     join({Bytes(3968, 0x81), mpb_literal(count_up(128))}), 1984 * 128 + 128,
     join({Bytes(1984 * 128, 0x81), count_up(128)}), ""},
};

TEST(MpbDecoder, DecodesOrRefusesEachStrip) {
  for (const StripCase &row : kMpbCases) expect_strip_case(kMpbCodec, row);
}

struct RoundTripCase {
  const char *name;
  Bytes data;
};

// Long runs of a few values with single bytes between them.
Bytes runs_and_singles(size_t count) {
  Bytes bytes;
  for (uint32_t i = 0; bytes.size() < count; ++i) {
    bytes.insert(bytes.end(), i % 300, static_cast<uint8_t>(i));
    bytes.push_back(static_cast<uint8_t>(~i));
  }
  bytes.resize(count);
  return bytes;
}

const std::vector<RoundTripCase> kRoundTrips = {
    {"one byte", {0x42}},
    {"random bytes", random_bytes(5000, 1)},
    {"runs and single bytes", runs_and_singles(50000)},
    {"one byte value throughout", Bytes(1000, 0x33)},
};

TEST(MpbDecoder, RoundTripsTheTestEncoderAndLibtiff) {
  for (const RoundTripCase &row : kRoundTrips) {
    SCOPED_TRACE(row.name);
    for (const Bytes &strip : {mpb_encode(row.data), libtiff_strip(row.data, 32773)}) {
      const StripResult result = decode_strip(kMpbCodec, strip, row.data.size());
      EXPECT_EQ(result.failure, "");
      EXPECT_EQ(first_difference(result.decoded, row.data), "");
    }
  }
}

}  // namespace
