// Decoding of uncompressed strips into rows of 16-bit samples: bit packing
// by depth and byte order, FillOrder 2, Predictor 2, strips of several rows
// and the exact length every strip must have.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "read_slice.h"
#include "reader_failure.h"
#include "tiff_builder.h"

namespace {

using Craft = std::function<void(TiffFile &)>;

enum class Orders { both, little_only, big_only };

struct DecodeCase {
  std::string name;
  uint32_t width;
  uint32_t height;
  int bits;
  std::vector<uint8_t> stored;  // the strip data of all rows, as one strip
  Craft craft;                  // changes to the slice; may be empty
  std::vector<uint16_t> samples;  // expected, row after row
  std::string failure;            // the exact message; empty when the read succeeds
  Orders orders = Orders::both;
};

struct DecodeRun {
  DecodeCase check;
  bool little_endian;
};

void PrintTo(const DecodeRun &run, std::ostream *out) {
  *out << run.check.name << (run.little_endian ? " II" : " MM");
}

Craft set_short(uint16_t tag, std::vector<uint32_t> values) {
  return [tag, values](TiffFile &file) { set_entry(file, short_entry(tag, values)); };
}
Craft byte_counts(std::vector<uint32_t> counts) {
  return [counts](TiffFile &file) { set_entry(file, long_entry(kTagStripByteCounts, counts)); };
}
Craft fill_order_2() { return set_short(kTagFillOrder, {2}); }
Craft predictor_2() { return set_short(kTagPredictor, {2}); }
Craft both(Craft first, Craft second) {
  return [first, second](TiffFile &file) {
    first(file);
    second(file);
  };
}

DecodeCase reads(std::string name, uint32_t width, uint32_t height, int bits, std::vector<uint8_t> stored,
                 Craft craft, std::vector<uint16_t> samples, Orders orders = Orders::both) {
  return DecodeCase{std::move(name), width, height, bits, std::move(stored), std::move(craft),
                    std::move(samples), "", orders};
}

DecodeCase refuses(std::string name, uint32_t width, uint32_t height, int bits, std::vector<uint8_t> stored,
                   Craft craft, std::string message) {
  return DecodeCase{std::move(name), width, height, bits, std::move(stored), std::move(craft), {},
                    std::move(message), Orders::both};
}

// 2 x 10 8-bit samples 0 to 19 in strips of 3 rows (3, 3, 3 and 1 rows),
// with filler between the strips so each must be found by its offset.
Craft strips_of_3_rows() {
  return [](TiffFile &file) {
    split_strips(file, 2, 10, 8, 3);
    file.strip_gap = 5;
  };
}
std::vector<uint8_t> count_up(int n) {
  std::vector<uint8_t> bytes;
  for (int i = 0; i < n; ++i) bytes.push_back(static_cast<uint8_t>(i));
  return bytes;
}
std::vector<uint16_t> count_up_samples(int n) {
  std::vector<uint16_t> samples;
  for (int i = 0; i < n; ++i) samples.push_back(static_cast<uint16_t>(i));
  return samples;
}

const char kTooFew[] = "too few codes.";
const char kTooMany[] = "too many codes.";

std::vector<DecodeCase> fixed_cases() {
  return {
      // Byte order only matters for 16-bit samples.
      reads("bits_16_big_endian", 1, 1, 16, {0x12, 0x34}, nullptr, {0x1234}, Orders::big_only),
      reads("bits_16_little_endian", 1, 1, 16, {0x12, 0x34}, nullptr, {0x3412}, Orders::little_only),
      reads("bits_8", 3, 2, 8, {0, 1, 255, 128, 127, 9}, nullptr, {0, 1, 255, 128, 127, 9}),

      // FillOrder 2 reverses every decoded byte, both bytes of 16-bit samples too.
      reads("bits_8_fill_order_2", 5, 1, 8, {0x01, 0x0F, 0x35, 0xFF, 0x00}, fill_order_2(),
            {128, 0xF0, 0xAC, 0xFF, 0x00}),
      reads("bits_16_fill_order_2_big_endian", 1, 1, 16, {0x01, 0x03}, fill_order_2(), {0x80C0},
            Orders::big_only),
      reads("bits_16_fill_order_2_little_endian", 1, 1, 16, {0x01, 0x03}, fill_order_2(), {0xC080},
            Orders::little_only),
      reads("bits_4_fill_order_2", 2, 1, 4, {0x1E}, fill_order_2(), {7, 8}),

      // Bit streams, most significant bit first in both byte orders; every
      // row starts on a byte and drops the unused low bits of its last byte.
      reads("bits_4_width_3", 3, 1, 4, {0xAB, 0xCD}, nullptr, {10, 11, 12}),
      reads("bits_4_width_3_two_rows", 3, 2, 4, {0xAB, 0xCD, 0x12, 0x34}, nullptr, {10, 11, 12, 1, 2, 3}),
      reads("bits_12_width_2", 2, 1, 12, {0xAB, 0xCD, 0xEF}, nullptr, {0xABC, 0xDEF}),
      reads("bits_1_width_9", 9, 2, 1, {0xA5, 0x80, 0x00, 0x7F}, nullptr,
            {1, 0, 1, 0, 0, 1, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
      refuses("bits_1_width_9_in_3_bytes", 9, 2, 1, {0xA5, 0x80, 0x00}, nullptr, kTooFew),
      reads("bits_3_spanning_bytes", 3, 1, 3, {0b10110011, 0b10000000}, nullptr, {5, 4, 7}),
      reads("bits_9_spanning_bytes", 2, 1, 9, {0xFF, 0x00, 0x40}, nullptr, {0x1FE, 0x001}),

      // Predictor 2: sums modulo 2^bits, row by row, after the bit reversal.
      reads("predictor_bits_8", 3, 1, 8, {10, 250, 10}, predictor_2(), {10, 4, 14}),
      reads("predictor_bits_8_per_row", 3, 2, 8, {10, 250, 10, 5, 1, 1}, predictor_2(), {10, 4, 14, 5, 6, 7}),
      reads("predictor_width_1", 1, 2, 8, {7, 9}, predictor_2(), {7, 9}),
      reads("predictor_bits_16_big_endian", 2, 1, 16, {0xFF, 0xFF, 0x00, 0x02}, predictor_2(), {65535, 1},
            Orders::big_only),
      reads("predictor_bits_16_little_endian", 2, 1, 16, {0xFF, 0xFF, 0x02, 0x00}, predictor_2(), {65535, 1},
            Orders::little_only),
      reads("predictor_bits_4", 3, 1, 4, {0xF1, 0x20}, predictor_2(), {15, 0, 2}),
      reads("predictor_bits_12", 2, 1, 12, {0xFF, 0xF0, 0x02}, predictor_2(), {0xFFF, 0x001}),
      reads("predictor_bits_1", 9, 1, 1, {0xFF, 0x80}, predictor_2(), {1, 0, 1, 0, 1, 0, 1, 0, 1}),
      reads("predictor_after_fill_order_2", 2, 1, 8, {0x80, 0x80}, both(fill_order_2(), predictor_2()), {1, 2}),
      reads("predictor_bits_0", 3, 2, 0, {}, predictor_2(), {0, 0, 0, 0, 0, 0}),

      // 0 bits per sample consume no bytes at all.
      reads("bits_0", 3, 2, 0, {}, nullptr, {0, 0, 0, 0, 0, 0}),
      refuses("bits_0_with_a_byte", 3, 2, 0, {0x55}, nullptr, kTooMany),

      // Every strip must hold exactly the bytes its rows consume.
      reads("strip_exact", 5, 2, 8, count_up(10), byte_counts({10}), count_up_samples(10)),
      refuses("strip_one_byte_more", 5, 2, 8, count_up(10), byte_counts({11}), kTooMany),
      refuses("strip_one_byte_fewer", 5, 2, 8, count_up(10), byte_counts({9}), kTooFew),
      refuses("strip_empty", 5, 2, 8, count_up(10), byte_counts({0}), kTooFew),
      refuses("bits_16_odd_byte_count", 1, 1, 16, {0x12, 0x34}, byte_counts({1}), kTooFew),

      // Strips of R = 3 rows over 10 rows: rows 0-2, 3-5, 6-8 and 9.
      reads("strips_of_3_rows", 2, 10, 8, count_up(20), strips_of_3_rows(), count_up_samples(20)),
      refuses("strips_of_3_rows_last_one_more", 2, 10, 8, count_up(20),
              both(strips_of_3_rows(), byte_counts({6, 6, 6, 3})), kTooMany),
      refuses("strips_of_3_rows_second_one_fewer", 2, 10, 8, count_up(20),
              both(strips_of_3_rows(), byte_counts({6, 5, 6, 2})), kTooFew),
      refuses("strips_of_3_rows_first_one_more", 2, 10, 8, count_up(20),
              both(strips_of_3_rows(), byte_counts({7, 6, 6, 2})), kTooMany),
  };
}

// Written apart from the reader: bit i of a row is bit 7 - i % 8 of byte
// i / 8; 16-bit samples of a little-endian file have their bytes swapped.
std::vector<uint16_t> unpack(const std::vector<uint8_t> &stored, uint32_t width, uint32_t height, int bits,
                             bool little_endian, bool predictor) {
  const size_t row_bytes = row_byte_count(width, bits);
  std::vector<uint16_t> samples;
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t *row = stored.data() + y * row_bytes;
    std::vector<uint32_t> values(width, 0);
    for (uint32_t x = 0; x < width; ++x) {
      if (bits == 16 && little_endian) {
        values[x] = row[2 * x] + 256u * row[2 * x + 1];
        continue;
      }
      for (int k = 0; k < bits; ++k) {
        size_t bit = static_cast<size_t>(x) * bits + k;
        values[x] = 2 * values[x] + ((row[bit / 8] >> (7 - bit % 8)) & 1u);
      }
    }
    if (predictor) {
      for (uint32_t x = 1; x < width; ++x) values[x] = (values[x - 1] + values[x]) % (1u << bits);
    }
    samples.insert(samples.end(), values.begin(), values.end());
  }
  return samples;
}

// Every depth over random bytes, padding bits included, with and without
// Predictor 2, in both byte orders.
std::vector<DecodeRun> random_runs() {
  const uint32_t width = 7, height = 5;
  std::vector<DecodeRun> runs;
  std::mt19937 generator(20240611);
  for (int bits = 1; bits <= 16; ++bits) {
    std::vector<uint8_t> stored(row_byte_count(width, bits) * height);
    for (auto &byte : stored) byte = static_cast<uint8_t>(generator());
    for (bool predictor : {false, true}) {
      for (bool little_endian : {true, false}) {
        DecodeCase check = reads("random_bits_" + std::to_string(bits) + (predictor ? "_predictor" : ""),
                                 width, height, bits, stored, predictor ? predictor_2() : nullptr,
                                 unpack(stored, width, height, bits, little_endian, predictor));
        runs.push_back(DecodeRun{check, little_endian});
      }
    }
  }
  return runs;
}

std::vector<DecodeRun> decode_runs() {
  std::vector<DecodeRun> runs;
  for (const DecodeCase &check : fixed_cases()) {
    if (check.orders != Orders::big_only) runs.push_back(DecodeRun{check, true});
    if (check.orders != Orders::little_only) runs.push_back(DecodeRun{check, false});
  }
  for (const DecodeRun &run : random_runs()) runs.push_back(run);
  return runs;
}

class RowAssembly : public testing::TestWithParam<DecodeRun> {};

TEST_P(RowAssembly, DecodesOrRefuses) {
  const DecodeCase &check = GetParam().check;
  const bool little_endian = GetParam().little_endian;
  TiffFile file = basic_slice(check.width, check.height, check.bits, little_endian, check.stored);
  if (check.craft) check.craft(file);
  const std::string path = write_scratch_file(file, check.name + (little_endian ? "_II.tif" : "_MM.tif"));

  int width = -1, height = -1, bits = -1;
  uint16_t **image = nullptr;
  char *description = nullptr;
  std::optional<ReaderFailure> failure;
  try {
    EXPECT_EQ(read_slice(path.c_str(), &width, &height, &bits, &image, &description), 0);
  } catch (const ReaderFailure &caught) {
    failure = caught;
  }
  std::remove(path.c_str());

  if (!check.failure.empty()) {
    ASSERT_TRUE(failure) << "read without a message";
    EXPECT_EQ(failure->message, check.failure);
    EXPECT_EQ(failure->file_name, path);
    return;
  }
  ASSERT_FALSE(failure) << failure->message;
  ASSERT_NE(image, nullptr);
  std::vector<uint16_t> samples;
  for (int row = 0; row < height; ++row) {
    samples.insert(samples.end(), image[row], image[row] + width);
    free(image[row]);
  }
  free(image);
  free(description);
  EXPECT_EQ(samples, check.samples);
}

INSTANTIATE_TEST_SUITE_P(CraftedRows, RowAssembly, testing::ValuesIn(decode_runs()),
                         [](const testing::TestParamInfo<DecodeRun> &info) {
                           return info.param.check.name + (info.param.little_endian ? "_II" : "_MM");
                         });

}  // namespace
