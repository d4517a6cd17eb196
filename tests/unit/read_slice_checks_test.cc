// The header, directory, description and strip-table checks of read_slice,
// on crafted files. Every row starts from a valid 4 x 3 8-bit slice holding
// the samples 1 to 12, changes it, and runs in both byte orders.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "read_slice.h"
#include "reader_failure.h"
#include "tiff_builder.h"

namespace {

using namespace std::string_literals;

// The three ways the tool calls read_slice.
enum class Call {
  first_pass,                   // image null, description asked for
  second_pass,                  // image and description asked for
  first_pass_no_description,    // image and description null
};

using Craft = std::function<void(TiffFile &)>;

struct Expected {
  int width = 4;
  int height = 3;
  int bits = 8;
  std::optional<std::string> description = std::string(kBasicCalibration);
  std::vector<uint16_t> samples = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};  // second pass only
};

struct CheckCase {
  std::string name;
  Call call;
  Craft craft;
  std::string failure;  // the exact message; empty when the read succeeds
  Expected expected;
};

void PrintTo(const CheckCase &check, std::ostream *out) { *out << check.name; }

CheckCase refused(std::string name, Call call, Craft craft, std::string message) {
  return CheckCase{std::move(name), call, std::move(craft), std::move(message), Expected{}};
}

CheckCase accepted(std::string name, Call call, Craft craft, Expected expected = {}) {
  return CheckCase{std::move(name), call, std::move(craft), "", std::move(expected)};
}

constexpr Call kFirst = Call::first_pass;
constexpr Call kSecond = Call::second_pass;
constexpr uint32_t k2Pow31 = 2147483648u;

const char kBadMagic[] = "bad magic number.";
const char kNoPrimary[] = "primary image attribute not found.";
const char kTooLarge[] = "too large image size.";
const char kBadPhotometric[] = "bad photometric interpretation.";
const char kTooManySamples[] = "too many samples per pixel.";
const char kTooManyBits[] = "too many bits per sample.";
const char kBadSampleFormat[] = "unsupported sample format.";
const char kBadPlanar[] = "bad planar configuration.";
const char kBadCompression[] = "unknown image compression method.";
const char kBadFillOrder[] = "bad fill order.";
const char kBadPredictor[] = "unknown differencing predictor.";
const char kNoStripOffsets[] = "strip offset not found.";
const char kStripOffsetCount[] = "bad number of strip offset.";
const char kNoByteCounts[] = "strip bytes count not found.";
const char kByteCountCount[] = "bad number of strip bytes count.";
const char kBadRowsPerStrip[] = "bad rows per strip.";
const char kEndOfFile[] = "unexpected end of file.";

// Shorthands for the changes the rows make.
Craft set(TiffEntry entry) {
  return [entry](TiffFile &file) { set_entry(file, entry); };
}
Craft set_short(uint16_t tag, std::vector<uint32_t> values) { return set(short_entry(tag, values)); }
Craft set_long(uint16_t tag, std::vector<uint32_t> values) { return set(long_entry(tag, values)); }
Craft without(uint16_t tag) {
  return [tag](TiffFile &file) { remove_entry(file, tag); };
}
Craft both(Craft first, Craft second) {
  return [first, second](TiffFile &file) {
    first(file);
    second(file);
  };
}
Craft cut_at(size_t length) {
  return [length](TiffFile &file) { file.truncate_at = length; };
}
Craft mark(char first, char second) {
  return [first, second](TiffFile &file) {
    file.byte_order_mark = std::array<uint8_t, 2>{static_cast<uint8_t>(first), static_cast<uint8_t>(second)};
  };
}
Craft set_description(const std::string &text) { return set(ascii_entry(kTagImageDescription, text)); }

// Cuts the file `into` bytes after the start of its first strip. The
// description is dropped first, so that the strip is the end of the file.
Craft cut_in_strip(uint32_t into) {
  return [into](TiffFile &file) {
    remove_entry(file, kTagImageDescription);
    file.truncate_at = tiff_layout(file).strip_offsets[0] + into;
  };
}

// The 2 x 10 slice with the samples 0 to 19 in strips of `rows` rows.
Craft tall_slice(uint32_t rows) {
  return [rows](TiffFile &file) {
    std::vector<uint8_t> bytes;
    for (uint8_t value = 0; value < 20; ++value) bytes.push_back(value);
    file = basic_slice(2, 10, 8, file.little_endian, bytes);
    split_strips(file, 2, 10, 8, rows);
  };
}
Expected tall_expected() {
  Expected expected;
  expected.width = 2;
  expected.height = 10;
  expected.samples.clear();
  for (uint16_t value = 0; value < 20; ++value) expected.samples.push_back(value);
  return expected;
}

Expected with_bits(int bits) {
  Expected expected;
  expected.bits = bits;
  return expected;
}
Expected with_size(int width, int height) {
  Expected expected;
  expected.width = width;
  expected.height = height;
  return expected;
}
Expected with_description(std::optional<std::string> text) {
  Expected expected;
  expected.description = std::move(text);
  return expected;
}

std::vector<CheckCase> check_cases() {
  std::vector<CheckCase> cases = {
      // The header.
      refused("mark_IM", kFirst, mark('I', 'M'), kBadMagic),
      refused("mark_MI", kFirst, mark('M', 'I'), kBadMagic),
      refused("mark_zero", kFirst, mark('\0', '\0'), kBadMagic),
      refused("version_43", kFirst, [](TiffFile &f) { f.version = 43; }, kBadMagic),
      // 42 written in the other byte order than the mark says reads as 10752.
      refused("mark_against_byte_order", kFirst,
              [](TiffFile &f) { mark(f.little_endian ? 'M' : 'I', f.little_endian ? 'M' : 'I')(f); },
              kBadMagic),
      refused("empty_file", kFirst, cut_at(0), kEndOfFile),
      refused("cut_in_order_mark", kFirst, cut_at(1), kEndOfFile),
      refused("cut_in_version", kFirst, cut_at(3), kEndOfFile),
      refused("cut_in_directory_offset", kFirst, cut_at(6), kEndOfFile),
      accepted("directory_after_gap", kSecond, [](TiffFile &f) { f.directory_gap = 37; }),
      refused("directory_offset_past_end", kFirst, [](TiffFile &f) { f.first_directory_offset = 1000000; },
              kEndOfFile),

      // The directory itself.
      refused("cut_before_directory", kFirst, cut_at(8), kEndOfFile),
      refused("cut_in_entry_count", kFirst, cut_at(9), kEndOfFile),
      // Width and height are the first two entries; PhotometricInterpretation
      // is searched past the cut.
      refused("cut_in_third_entry", kFirst, cut_at(8 + 2 + 2 * 12 + 6), kEndOfFile),
      refused("no_entries", kFirst, [](TiffFile &f) { f.entries.clear(); }, kNoPrimary),
      refused("entry_count_0", kFirst, [](TiffFile &f) { f.entry_count = 0; }, kNoPrimary),
      accepted("entries_reversed", kSecond,
               [](TiffFile &f) { std::reverse(f.entries.begin(), f.entries.end()); }),
      accepted("later_duplicate_ignored", kSecond,
               [](TiffFile &f) { append_entry(f, short_entry(kTagImageWidth, {0})); }),
      refused("first_duplicate_counts", kFirst,
              [](TiffFile &f) { f.entries.insert(f.entries.begin(), short_entry(kTagImageWidth, {0})); },
              kNoPrimary),
      accepted("unknown_tags_ignored", kSecond, [](TiffFile &f) {
        set_entry(f, ascii_entry(305, "crafted\0"s));
        set_entry(f, long_entry(1000, {1, 2, 3}));
        append_entry(f, short_entry(50000, {7}));
        f.entries.insert(f.entries.begin(), short_entry(254, {0}));
      }),

      // ImageWidth, ImageLength and PhotometricInterpretation: presence.
      refused("no_width", kFirst, without(kTagImageWidth), kNoPrimary),
      refused("no_height", kFirst, without(kTagImageLength), kNoPrimary),
      refused("no_photometric", kFirst, without(kTagPhotometric), kNoPrimary),
      refused("width_short_count_2", kFirst, set_short(kTagImageWidth, {4, 4}), kNoPrimary),
      refused("height_long_count_2", kFirst, set_long(kTagImageLength, {3, 3}), kNoPrimary),
      refused("width_of_type_byte", kFirst, set(typed_entry(kTagImageWidth, kTypeByte, 1, {4})), kNoPrimary),
      refused("width_of_type_rational", kFirst, set(typed_entry(kTagImageWidth, kTypeRational, 1, {4, 1})),
              kNoPrimary),
      refused("width_0", kFirst, set_short(kTagImageWidth, {0}), kNoPrimary),
      refused("height_0_long", kFirst, set_long(kTagImageLength, {0}), kNoPrimary),
      accepted("width_long", kSecond, set_long(kTagImageWidth, {4})),
      accepted("height_long", kSecond, set_long(kTagImageLength, {3})),
      refused("photometric_long", kFirst, set_long(kTagPhotometric, {1}), kNoPrimary),
      refused("photometric_short_count_2", kFirst, set_short(kTagPhotometric, {1, 1}), kNoPrimary),
      refused("photometric_65535", kFirst, set_short(kTagPhotometric, {65535}), kNoPrimary),

      // Sizes, tested after presence and before the photometric value.
      refused("width_2pow31", kFirst, set_long(kTagImageWidth, {k2Pow31}), kTooLarge),
      refused("height_2pow31", kFirst, set_long(kTagImageLength, {k2Pow31}), kTooLarge),
      refused("width_4294967295", kFirst, set_long(kTagImageWidth, {4294967295u}), kTooLarge),
      refused("width_2pow31_no_photometric", kFirst,
              both(set_long(kTagImageWidth, {k2Pow31}), without(kTagPhotometric)), kNoPrimary),
      refused("height_2pow31_width_0", kFirst,
              both(set_long(kTagImageLength, {k2Pow31}), set_short(kTagImageWidth, {0})), kNoPrimary),
      refused("width_2pow31_photometric_2", kFirst,
              both(set_long(kTagImageWidth, {k2Pow31}), set_short(kTagPhotometric, {2})), kTooLarge),
      refused("area_65536_by_32768", kFirst,
              both(set_long(kTagImageWidth, {65536}), set_short(kTagImageLength, {32768})), kTooLarge),
      refused("area_46341_squared", kFirst,
              both(set_short(kTagImageWidth, {46341}), set_short(kTagImageLength, {46341})), kTooLarge),
      // 65537 squared wraps to 131073 in 32 bits.
      refused("area_65537_squared", kFirst,
              both(set_long(kTagImageWidth, {65537}), set_long(kTagImageLength, {65537})), kTooLarge),
      refused("area_2pow31_photometric_2", kFirst,
              both(both(set_long(kTagImageWidth, {65536}), set_short(kTagImageLength, {32768})),
                   set_short(kTagPhotometric, {2})),
              kTooLarge),
      accepted("area_46340_squared", kFirst,
               both(set_short(kTagImageWidth, {46340}), set_short(kTagImageLength, {46340})),
               with_size(46340, 46340)),
      accepted("width_2147483647", kFirst,
               both(set_long(kTagImageWidth, {2147483647u}), set_short(kTagImageLength, {1})),
               with_size(2147483647, 1)),

      // PhotometricInterpretation values; samples are delivered as stored.
      accepted("photometric_0", kSecond, set_short(kTagPhotometric, {0})),
      accepted("photometric_3", kSecond, set_short(kTagPhotometric, {3})),
      accepted("photometric_4", kSecond, set_short(kTagPhotometric, {4})),
      refused("photometric_2", kFirst, set_short(kTagPhotometric, {2}), kBadPhotometric),
      refused("photometric_5", kFirst, set_short(kTagPhotometric, {5}), kBadPhotometric),
      refused("photometric_2_samples_3", kFirst,
              both(set_short(kTagPhotometric, {2}), set_short(kTagSamplesPerPixel, {3})), kBadPhotometric),

      // SamplesPerPixel: only a SHORT of count 1 is looked at.
      refused("samples_3", kFirst, set_short(kTagSamplesPerPixel, {3}), kTooManySamples),
      refused("samples_2", kFirst, set_short(kTagSamplesPerPixel, {2}), kTooManySamples),
      accepted("samples_0", kSecond, set_short(kTagSamplesPerPixel, {0})),
      accepted("samples_3_long", kSecond, set_long(kTagSamplesPerPixel, {3})),
      accepted("samples_3_count_2", kSecond, set_short(kTagSamplesPerPixel, {3, 3})),
      refused("samples_3_bits_17", kFirst,
              both(set_short(kTagSamplesPerPixel, {3}), set_short(kTagBitsPerSample, {17})), kTooManySamples),

      // BitsPerSample: anything but a SHORT of count 1 means 1 bit.
      accepted("bits_count_3", kFirst,
               both(without(kTagSamplesPerPixel), set_short(kTagBitsPerSample, {8, 8, 8})), with_bits(1)),
      accepted("bits_absent", kFirst, without(kTagBitsPerSample), with_bits(1)),
      accepted("bits_long_8", kFirst, set_long(kTagBitsPerSample, {8}), with_bits(1)),
      accepted("bits_long_17", kFirst, set_long(kTagBitsPerSample, {17}), with_bits(1)),
      accepted("bits_16", kFirst, set_short(kTagBitsPerSample, {16}), with_bits(16)),
      accepted("bits_0", kFirst, set_short(kTagBitsPerSample, {0}), with_bits(0)),
      refused("bits_17", kFirst, set_short(kTagBitsPerSample, {17}), kTooManyBits),
      refused("bits_65535", kFirst, set_short(kTagBitsPerSample, {65535}), kTooManyBits),
      refused("bits_17_sample_format_3", kFirst,
              both(set_short(kTagBitsPerSample, {17}), set_short(kTagSampleFormat, {3})), kTooManyBits),

      // SampleFormat: only a SHORT of count 1 is looked at.
      refused("sample_format_2", kFirst, set_short(kTagSampleFormat, {2}), kBadSampleFormat),
      refused("sample_format_3", kFirst, set_short(kTagSampleFormat, {3}), kBadSampleFormat),
      refused("sample_format_0", kFirst, set_short(kTagSampleFormat, {0}), kBadSampleFormat),
      refused("sample_format_4", kFirst, set_short(kTagSampleFormat, {4}), kBadSampleFormat),
      accepted("sample_format_1", kSecond, set_short(kTagSampleFormat, {1})),
      accepted("sample_format_3_long", kFirst, set_long(kTagSampleFormat, {3})),
      accepted("sample_format_3_count_2", kFirst, set_short(kTagSampleFormat, {3, 3})),
      refused("sample_format_3_planar_2", kFirst,
              both(set_short(kTagSampleFormat, {3}), set_short(kTagPlanarConfiguration, {2})), kBadSampleFormat),

      // PlanarConfiguration.
      refused("planar_2", kFirst, set_short(kTagPlanarConfiguration, {2}), kBadPlanar),
      refused("planar_0", kFirst, set_short(kTagPlanarConfiguration, {0}), kBadPlanar),
      accepted("planar_2_long", kFirst, set_long(kTagPlanarConfiguration, {2})),
      accepted("planar_absent", kSecond, without(kTagPlanarConfiguration)),
      refused("planar_2_compression_2", kFirst,
              both(set_short(kTagPlanarConfiguration, {2}), set_short(kTagCompression, {2})), kBadPlanar),

      // Compression; anything but a SHORT of count 1 means uncompressed.
      refused("compression_2", kFirst, set_short(kTagCompression, {2}), kBadCompression),
      refused("compression_7", kFirst, set_short(kTagCompression, {7}), kBadCompression),
      refused("compression_0", kFirst, set_short(kTagCompression, {0}), kBadCompression),
      accepted("compression_5", kFirst, set_short(kTagCompression, {5})),
      accepted("compression_32773", kFirst, set_short(kTagCompression, {32773})),
      accepted("compression_absent", kSecond, without(kTagCompression)),
      accepted("compression_5_long", kSecond, set_long(kTagCompression, {5})),
      refused("compression_7_fill_order_0", kFirst,
              both(set_short(kTagCompression, {7}), set_short(kTagFillOrder, {0})), kBadCompression),

      // FillOrder.
      refused("fill_order_0", kFirst, set_short(kTagFillOrder, {0}), kBadFillOrder),
      refused("fill_order_3", kFirst, set_short(kTagFillOrder, {3}), kBadFillOrder),
      accepted("fill_order_2", kFirst, set_short(kTagFillOrder, {2})),
      accepted("fill_order_0_long", kSecond, set_long(kTagFillOrder, {0})),
      refused("fill_order_0_predictor_3", kFirst,
              both(set_short(kTagFillOrder, {0}), set_short(kTagPredictor, {3})), kBadFillOrder),

      // Predictor.
      refused("predictor_3", kFirst, set_short(kTagPredictor, {3}), kBadPredictor),
      refused("predictor_0", kFirst, set_short(kTagPredictor, {0}), kBadPredictor),
      accepted("predictor_2", kFirst, set_short(kTagPredictor, {2})),
      accepted("predictor_3_long", kSecond, set_long(kTagPredictor, {3})),
      // Every directory check comes before the strip tables.
      refused("predictor_3_no_strip_offsets", kSecond,
              both(set_short(kTagPredictor, {3}), without(kTagStripOffsets)), kBadPredictor),

      // ImageDescription: only ASCII counts; the text ends at its first zero.
      accepted("description_absent", kFirst, without(kTagImageDescription), with_description(std::nullopt)),
      accepted("description_short", kFirst, set(typed_entry(kTagImageDescription, kTypeShort, 1, {65})),
               with_description(std::nullopt)),
      accepted("description_long", kFirst,
               set(typed_entry(kTagImageDescription, kTypeLong, 1, {0x41414141})),
               with_description(std::nullopt)),
      accepted("description_count_0", kFirst, set_description(""), with_description("")),
      accepted("description_count_1_zero", kFirst, set_description("\0"s), with_description("")),
      accepted("description_count_2", kFirst, set_description("ab"), with_description("ab")),
      accepted("description_count_4_inline", kFirst, set_description("abc\0"s), with_description("abc")),
      accepted("description_count_4_unended", kFirst, set_description("abcd"), with_description("abcd")),
      accepted("description_count_5", kFirst, set_description("abcd\0"s), with_description("abcd")),
      accepted("description_cut_at_zero", kFirst, set_description("ab\0cdefgh\0"s), with_description("ab")),
      accepted("description_later_duplicate", kFirst,
               [](TiffFile &f) { append_entry(f, ascii_entry(kTagImageDescription, "other\0"s)); }),
      // A count beyond the end of the file is refused, not allocated for.
      refused("description_count_4294967295", kFirst,
              [](TiffFile &f) {
                TiffEntry text = ascii_entry(kTagImageDescription, "abcdefgh");
                text.count = 4294967295u;
                set_entry(f, text);
              },
              kEndOfFile),
      refused("description_past_end", kFirst, set(raw_entry(kTagImageDescription, kTypeAscii, 10, 1000000)),
              kEndOfFile),
      // The description is the last thing in the file.
      refused("description_cut", kFirst, [](TiffFile &f) { f.truncate_at = tiff_layout(f).file_size - 5; },
              kEndOfFile),
      accepted("description_cut_not_asked_for", Call::first_pass_no_description,
               [](TiffFile &f) { f.truncate_at = tiff_layout(f).file_size - 5; },
               with_description(std::nullopt)),
      refused("description_past_end_no_strip_offsets", kSecond,
              both(set(raw_entry(kTagImageDescription, kTypeAscii, 10, 1000000)), without(kTagStripOffsets)),
              kEndOfFile),

      // The strip tables are read only when the image is asked for.
      accepted("no_strip_offsets_first_pass", kFirst, without(kTagStripOffsets)),
      refused("no_strip_offsets", kSecond, without(kTagStripOffsets), kNoStripOffsets),
      refused("no_strip_tables", kSecond,
              both(without(kTagStripOffsets), without(kTagStripByteCounts)), kNoStripOffsets),
      refused("strip_offsets_ascii", kSecond, set(ascii_entry(kTagStripOffsets, "abc")), kNoStripOffsets),
      refused("strip_offsets_count_2", kSecond,
              [](TiffFile &f) {
                split_strips(f, 4, 3, 8, 2);
                remove_entry(f, kTagRowsPerStrip);
              },
              kStripOffsetCount),
      refused("no_strip_byte_counts", kSecond, without(kTagStripByteCounts), kNoByteCounts),
      refused("strip_byte_counts_rational", kSecond,
              set(typed_entry(kTagStripByteCounts, kTypeRational, 1, {12, 1})), kNoByteCounts),
      refused("strip_byte_counts_count_2", kSecond, set_long(kTagStripByteCounts, {12, 0}), kByteCountCount),
      accepted("no_strip_byte_counts_first_pass", kFirst, without(kTagStripByteCounts)),
      accepted("strip_tables_short", kSecond, [](TiffFile &f) {
        set_entry(f, strip_table_entry(StripTable::offsets, kTypeShort));
        set_entry(f, strip_table_entry(StripTable::byte_counts, kTypeShort));
      }),
      // Two SHORTs lie in the value field, three or more behind its offset.
      accepted("strip_tables_short_2_strips", kSecond, [](TiffFile &f) {
        split_strips(f, 4, 3, 8, 2);
        set_entry(f, strip_table_entry(StripTable::offsets, kTypeShort));
        set_entry(f, strip_table_entry(StripTable::byte_counts, kTypeShort));
      }),
      accepted("strip_tables_short_3_strips", kSecond, [](TiffFile &f) {
        split_strips(f, 4, 3, 8, 1);
        set_entry(f, strip_table_entry(StripTable::offsets, kTypeShort));
        set_entry(f, strip_table_entry(StripTable::byte_counts, kTypeShort));
      }),
      accepted("strip_tables_long_3_strips", kSecond, [](TiffFile &f) { split_strips(f, 4, 3, 8, 1); }),
      refused("strip_offsets_past_end", kSecond,
              [](TiffFile &f) {
                split_strips(f, 4, 3, 8, 1);
                set_entry(f, raw_entry(kTagStripOffsets, kTypeLong, 3, 1000000));
              },
              kEndOfFile),
      accepted("strips_apart", kSecond, [](TiffFile &f) {
        split_strips(f, 4, 3, 8, 1);
        f.strip_gap = 3;
      }),

      // RowsPerStrip and the strip count.
      accepted("rows_per_strip_absent", kSecond, without(kTagRowsPerStrip)),
      accepted("rows_per_strip_short", kSecond, set_short(kTagRowsPerStrip, {3})),
      accepted("rows_per_strip_above_height", kSecond, set_long(kTagRowsPerStrip, {100})),
      accepted("rows_per_strip_4294967295", kSecond, set_long(kTagRowsPerStrip, {4294967295u})),
      accepted("rows_per_strip_4294967294", kSecond, set_long(kTagRowsPerStrip, {4294967294u})),
      accepted("rows_per_strip_count_2", kSecond, set_short(kTagRowsPerStrip, {1, 1})),
      accepted("rows_per_strip_of_type_byte", kSecond, set(typed_entry(kTagRowsPerStrip, kTypeByte, 1, {1}))),
      refused("rows_per_strip_4294967295_two_strips", kSecond,
              [](TiffFile &f) {
                split_strips(f, 4, 3, 8, 2);
                set_entry(f, long_entry(kTagRowsPerStrip, {4294967295u}));
              },
              kStripOffsetCount),
      refused("rows_per_strip_0", kSecond, set_long(kTagRowsPerStrip, {0}), kBadRowsPerStrip),
      refused("rows_per_strip_0_no_strip_offsets", kSecond,
              both(set_short(kTagRowsPerStrip, {0}), without(kTagStripOffsets)), kBadRowsPerStrip),
      accepted("rows_per_strip_0_first_pass", kFirst, set_long(kTagRowsPerStrip, {0})),
      accepted("height_10_rows_per_strip_3", kSecond, tall_slice(3), tall_expected()),
      refused("height_10_rows_per_strip_3_in_3_strips", kSecond,
              both(tall_slice(4), set_long(kTagRowsPerStrip, {3})), kStripOffsetCount),

      // The end of the file inside strip data.
      refused("strip_past_end", kSecond, set(raw_entry(kTagStripOffsets, kTypeLong, 1, 1000000)), kEndOfFile),
      refused("strip_cut", kSecond, cut_in_strip(5), kEndOfFile),
      accepted("strip_cut_first_pass", kFirst, cut_in_strip(5), with_description(std::nullopt)),
      // A byte count that runs out before the cut is met reports the codec.
      refused("strip_cut_after_byte_count", kSecond,
              both(cut_in_strip(8), set_long(kTagStripByteCounts, {5})), "too few codes."),
  };
  return cases;
}

struct ReadOutcome {
  int status = -1;
  bool failed = false;
  ReaderFailure failure;
  int width = -1, height = -1, bits = -1;
  bool description_stored = false;
  std::optional<std::string> description;
  bool image_stored = false;
  std::vector<uint16_t> samples;
};

ReadOutcome read_in(const std::string &path, Call call) {
  ReadOutcome outcome;
  static char not_stored;  // tells a stored null description from none stored
  uint16_t **image = nullptr;
  char *description = &not_stored;
  try {
    outcome.status = read_slice(path.c_str(), &outcome.width, &outcome.height, &outcome.bits,
                                call == Call::second_pass ? &image : nullptr,
                                call == Call::first_pass_no_description ? nullptr : &description);
  } catch (const ReaderFailure &failure) {
    outcome.failed = true;
    outcome.failure = failure;
    return outcome;
  }
  if (description != &not_stored) {
    outcome.description_stored = true;
    if (description) outcome.description = std::string(description);
    free(description);
  }
  if (image) {
    outcome.image_stored = true;
    for (int row = 0; row < outcome.height; ++row) {
      outcome.samples.insert(outcome.samples.end(), image[row], image[row] + outcome.width);
      free(image[row]);
    }
    free(image);
  }
  return outcome;
}

// read_slice_with returns the same refusal: the fixed message, no image or
// description handed out, and nothing left allocated (the sanitizer build
// checks for leaks).
void expect_refused_with_reader(const std::string &path, Call call, const std::string &message) {
  SliceReader *reader = create_slice_reader();
  ASSERT_NE(reader, nullptr);
  static uint16_t *image_not_stored[1];
  static char description_not_stored;
  uint16_t **image = image_not_stored;
  char *description = &description_not_stored;
  const char *failure = nullptr;
  EXPECT_EQ(read_slice_with(reader, path.c_str(), nullptr, nullptr, nullptr,
                            call == Call::second_pass ? &image : nullptr,
                            call == Call::first_pass_no_description ? nullptr : &description, &failure),
            kSliceRefused);
  EXPECT_STREQ(failure, message.c_str());
  EXPECT_EQ(image, image_not_stored);
  EXPECT_EQ(description, &description_not_stored);
  destroy_slice_reader(reader);
}

class ReadSliceChecks : public testing::TestWithParam<std::tuple<CheckCase, bool>> {};

TEST_P(ReadSliceChecks, ReadsOrRefuses) {
  const CheckCase &check = std::get<0>(GetParam());
  const bool little_endian = std::get<1>(GetParam());
  TiffFile file = basic_slice(4, 3, 8, little_endian, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  check.craft(file);
  const std::string path = write_scratch_file(file, check.name + (little_endian ? "_II.tif" : "_MM.tif"));

  ReadOutcome outcome = read_in(path, check.call);
  if (!check.failure.empty()) expect_refused_with_reader(path, check.call, check.failure);
  std::remove(path.c_str());

  if (!check.failure.empty()) {
    ASSERT_TRUE(outcome.failed) << "read without a message";
    EXPECT_EQ(outcome.failure.message, check.failure);
    EXPECT_EQ(outcome.failure.file_name, path);
    return;
  }
  ASSERT_FALSE(outcome.failed) << outcome.failure.message;
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.width, check.expected.width);
  EXPECT_EQ(outcome.height, check.expected.height);
  EXPECT_EQ(outcome.bits, check.expected.bits);
  if (check.call != Call::first_pass_no_description) {
    ASSERT_TRUE(outcome.description_stored);
    EXPECT_EQ(outcome.description, check.expected.description);
  }
  if (check.call == Call::second_pass) {
    ASSERT_TRUE(outcome.image_stored);
    EXPECT_EQ(outcome.samples, check.expected.samples);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Crafted, ReadSliceChecks, testing::Combine(testing::ValuesIn(check_cases()), testing::Bool()),
    [](const testing::TestParamInfo<std::tuple<CheckCase, bool>> &info) {
      return std::get<0>(info.param).name + (std::get<1>(info.param) ? "_II" : "_MM");
    });

}  // namespace
