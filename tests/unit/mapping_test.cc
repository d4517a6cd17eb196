#include "mapping.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "code_tables.h"

namespace {

// The one-at-a-time rule, written out independently of the mapping code.
int reference_code(uint16_t v, double scale, float offset, const SeriesScaling &s) {
  double t = (v / scale + (static_cast<double>(offset) - s.base)) * s.div;
  if (std::isnan(t) || t <= -2147483649.0 || t >= 2147483648.0) return 0;
  long long n = static_cast<long long>(t);
  if (n < 0) return 0;
  return n >= s.max_code ? s.max_code : static_cast<int>(n);
}

struct MapResult {
  std::vector<uint16_t> codes16;
  std::vector<uint8_t> codes8;
};

MapResult map_rows(std::vector<std::vector<uint16_t>> image, double scale, float offset,
                   const SeriesScaling &scaling) {
  std::vector<uint16_t *> rows;
  for (auto &row : image) rows.push_back(row.data());
  uint16_t *codes16 = nullptr;
  uint8_t *codes8 = nullptr;
  int32_t width = image.empty() ? 0 : static_cast<int32_t>(image[0].size());
  EXPECT_TRUE(map_slice(rows.data(), width, static_cast<int32_t>(image.size()), scale, offset, scaling, &codes16,
                        &codes8));
  size_t count = image.size() * static_cast<size_t>(width);
  MapResult result{{codes16, codes16 + count}, {codes8, codes8 + count}};
  free(codes16);
  free(codes8);
  return result;
}

struct ExampleCase {
  const char *name;
  double scale;
  float offset;
  SeriesScaling scaling;
  std::vector<uint16_t> samples;
  std::vector<uint16_t> codes;
};

void PrintTo(const ExampleCase &c, std::ostream *out) { *out << c.name; }

const ExampleCase kExamples[] = {
    {"one_slice_8_bit", 64, 0, {0.25, 0, 255}, {0, 1000, 32768, 65535}, {0, 3, 128, 255}},
    {"one_slice_16_bit_is_identity", 64, 0, {64, 0, 65535}, {0, 1, 1000, 32768, 65535}, {0, 1, 1000, 32768, 65535}},
    {"two_slices_first", 64, 0, {0.125, -512, 255}, {0, 16384, 32768, 65535}, {64, 96, 128, 191}},
    {"two_slices_second", 32, -512, {0.125, -512, 255}, {0, 16384, 32768, 65535}, {0, 64, 128, 255}},
    {"zero_div_gives_zero", 0, 0, {0, -1000, 255}, {0, 1, 65535}, {0, 0, 0}},
    {"nan_product_gives_zero", 64, 0, {NAN, 0, 255}, {0, 7, 65535}, {0, 0, 0}},
    {"products_beyond_32_bits_give_zero", 64, 0, {1e9, 0, 65535}, {0, 128, 200}, {0, 65535, 0}},
    {"negative_products_give_zero", 64, -10, {0.25, 0, 255}, {0, 639, 640, 641}, {0, 0, 0, 0}},
};

class MapSliceExamples : public testing::TestWithParam<ExampleCase> {};

TEST_P(MapSliceExamples, GivesTheRuleCodes) {
  const ExampleCase &c = GetParam();
  MapResult result = map_rows({c.samples}, c.scale, c.offset, c.scaling);
  EXPECT_EQ(result.codes16, c.codes);
  for (size_t i = 0; i < c.codes.size(); ++i) EXPECT_EQ(result.codes8[i], c.codes[i] % 256) << i;
}

INSTANTIATE_TEST_SUITE_P(Samples, MapSliceExamples, testing::ValuesIn(kExamples),
                         [](const testing::TestParamInfo<ExampleCase> &info) { return std::string(info.param.name); });

TEST(CodeOfProduct, ClampsAndTruncatesAtBothEnds) {
  struct Row {
    double t;
    int32_t code;
  } rows[] = {{-0.9, 0}, {-1e300, 0}, {0.0, 0}, {0.99, 0}, {200.7, 200}, {254.999, 254}, {255.0, 255},
              {1e6, 255}, {2147483647.5, 255}, {2147483648.0, 0}, {INFINITY, 0}, {-INFINITY, 0}, {NAN, 0}};
  for (const Row &row : rows) EXPECT_EQ(code_of_product(row.t, 255), row.code) << row.t;
}

TEST(MapSlice, SixteenBitCodeKeepsItsLowByteInTheEightBitBuffer) {
  MapResult result = map_rows({{300}}, 64, 0, {64, 0, 65535});
  EXPECT_EQ(result.codes16[0], 300);
  EXPECT_EQ(result.codes8[0], 44);
}

// Every width from 1 to 9 exercises the four-wide loop and its remainder.
TEST(MapSlice, EveryWidthAgreesWithTheOneAtATimeRule) {
  SeriesScaling scaling{256.0 / 3000.0, -1000.0, 255};
  srand(7);
  for (int32_t width = 1; width <= 9; ++width) {
    std::vector<std::vector<uint16_t>> image(3, std::vector<uint16_t>(static_cast<size_t>(width)));
    for (auto &row : image)
      for (auto &v : row) v = static_cast<uint16_t>(rand() & 0xFFFF);
    MapResult result = map_rows(image, 37.5, -950.25f, scaling);
    for (size_t i = 0; i < image.size(); ++i)
      for (size_t j = 0; j < image[i].size(); ++j)
        EXPECT_EQ(result.codes16[i * static_cast<size_t>(width) + j], reference_code(image[i][j], 37.5, -950.25f, scaling))
            << "width " << width << " row " << i << " column " << j;
  }
}

// A table is built from a few thousand evaluations and shared by the
// slices of one mapping; each entry must still be the rule's code, also
// where products fall below 0, beyond 2^31, overflow or are NaN.
TEST(CodeTables, EveryEntryIsTheRuleCode) {
  const struct {
    const char *name;
    double scale;
    float offset;
    SeriesScaling scaling;
  } cases[] = {
      {"rising_8_bit", 37.5, -950.25f, {256.0 / 3000.0, -1000.0, 255}},
      {"one_step_per_high_byte", 64, 0, {0.25, 0, 255}},
      {"steps_off_the_high_bytes", 64, -1.75f, {0.25, -2, 255}},
      {"falling_8_bit", -37.5, 900.5f, {256.0 / 3000.0, -1000.0, 255}},
      {"rising_16_bit", 20000, -0.5f, {65536 / 4.496, -0.5, 65535}},
      {"products_past_2_to_31", 1e-3, 0, {1e3, 0, 65535}},
      {"zero_scale", 0, 0, {1, 0, 255}},
      {"subnormal_scale_overflows", 1e-310, -1, {1e-300, -5, 255}},
      {"infinite_div_crosses_zero", 64, -10, {INFINITY, 0, 255}},
      {"nan_div", 64, 0, {NAN, 0, 255}},
  };
  std::vector<uint16_t> every_value(65536);
  for (size_t v = 0; v < every_value.size(); ++v) every_value[v] = static_cast<uint16_t>(v);
  // Then every value again in a shuffled order, from an odd address and
  // with a row length that leaves a remainder after whole vectors: each
  // lane of a vector lookup holds another high byte.
  std::vector<uint16_t> shuffled(every_value.size() + 1);
  srand(11);
  for (size_t v = 0; v < every_value.size(); ++v) std::swap(every_value[v], every_value[rand() % (v + 1)]);
  std::copy(every_value.begin(), every_value.end(), shuffled.begin() + 1);
  std::sort(every_value.begin(), every_value.end());
  TableStore *store = create_table_store();
  ASSERT_NE(store, nullptr);
  for (const auto &c : cases) {
    for (TableStore *from : {static_cast<TableStore *>(nullptr), store, store}) {
      RowMapping mapping;
      ASSERT_TRUE(start_row_mapping(&mapping, c.scale, c.offset, c.scaling, 1 << 20, from)) << c.name;
      ASSERT_NE(mapping.table, nullptr) << c.name;
      std::vector<uint16_t> codes16(65536);
      std::vector<uint8_t> codes8(65536);
      map_row_codes(mapping, every_value.data(), 65536, codes16.data(), codes8.data());
      for (size_t v = 0; v < 65536; ++v) {
        const int code = reference_code(static_cast<uint16_t>(v), c.scale, c.offset, c.scaling);
        ASSERT_EQ(codes16[v], code) << c.name << " value " << v;
        ASSERT_EQ(codes8[v], code % 256) << c.name << " value " << v;
      }
      const size_t odd_width = 65536 - 3;
      map_row_codes(mapping, shuffled.data() + 1, odd_width, codes16.data() + 1, codes8.data() + 1);
      end_row_mapping(&mapping);
      for (size_t i = 1; i <= odd_width; ++i) {
        const int code = reference_code(shuffled[i], c.scale, c.offset, c.scaling);
        ASSERT_EQ(codes16[i], code) << c.name << " shuffled value " << shuffled[i];
        ASSERT_EQ(codes8[i], code % 256) << c.name << " shuffled value " << shuffled[i];
      }
    }
  }
  // Slices of one mapping share its table; a small slice asks once before
  // a table is built for it.
  SeriesScaling scaling{0.25, 0, 255};
  RowMapping first, second, small;
  ASSERT_TRUE(start_row_mapping(&small, 64, 0, scaling, 100, store));
  EXPECT_EQ(small.table, nullptr);
  ASSERT_TRUE(start_row_mapping(&first, 64, 0, scaling, 100, store));
  ASSERT_TRUE(start_row_mapping(&second, 64, 0, scaling, 1 << 20, store));
  EXPECT_NE(first.table, nullptr);
  EXPECT_EQ(first.table, second.table);
  for (RowMapping *mapping : {&first, &second, &small}) end_row_mapping(mapping);
  destroy_table_store(store);
}

struct CropCase {
  const char *name;
  int32_t x1, y1, x2, y2;
  std::vector<std::vector<uint16_t>> expected;
};

void PrintTo(const CropCase &c, std::ostream *out) { *out << c.name; }

// A 4 × 3 slice whose sample at row y, column x is 10 * y + x.
const CropCase kCropCases[] = {
    {"two_by_two", 1, 0, 2, 1, {{1, 2}, {11, 12}}},
    {"whole_slice", 0, 0, 3, 2, {{0, 1, 2, 3}, {10, 11, 12, 13}, {20, 21, 22, 23}}},
    {"one_sample", 3, 2, 3, 2, {{23}}},
    {"lower_rows", 0, 1, 1, 2, {{10, 11}, {20, 21}}},
};

class CropSlice : public testing::TestWithParam<CropCase> {};

TEST_P(CropSlice, MovesTheRectangleToTheTopLeft) {
  const CropCase &c = GetParam();
  std::vector<std::vector<uint16_t>> image(3, std::vector<uint16_t>(4));
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) image[y][x] = static_cast<uint16_t>(10 * y + x);
  std::vector<uint16_t *> rows;
  for (auto &row : image) rows.push_back(row.data());
  int32_t width = 4, height = 3;
  crop_slice(rows.data(), c.x1, c.y1, c.x2, c.y2, &width, &height);
  ASSERT_EQ(height, static_cast<int32_t>(c.expected.size()));
  ASSERT_EQ(width, static_cast<int32_t>(c.expected[0].size()));
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x) EXPECT_EQ(image[y][x], c.expected[y][x]) << y << "," << x;
}

INSTANTIATE_TEST_SUITE_P(Rectangles, CropSlice, testing::ValuesIn(kCropCases),
                         [](const testing::TestParamInfo<CropCase> &info) { return std::string(info.param.name); });

}  // namespace
