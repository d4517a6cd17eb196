#include "series_range.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <string>
#include <vector>

namespace {

struct SliceCalibration {
  double scale;
  float offset;
};

struct RangeCase {
  const char *name;
  std::vector<SliceCalibration> slices;
  int bit;
  double low, high, div, base;
  int max_code;
};

void PrintTo(const RangeCase &c, std::ostream *out) { *out << c.name; }

const RangeCase kRangeCases[] = {
    {"one_slice_8_bit", {{64, 0}}, 8, 0, 1024, 0.25, 0, 255},
    {"one_slice_16_bit", {{64, 0}}, 16, 0, 1024, 64, 0, 65535},
    {"two_slices", {{64, 0}, {32, -512}}, 8, -512, 1536, 0.125, -512, 255},
    {"offsets_above_the_low_bound", {{64, 2000}, {64, 3000}}, 8, 1000, 4024, 256.0 / 3024, 1000, 255},
    {"tops_below_the_high_bound", {{64, -5000}}, 8, -5000, -1000, 256.0 / 4000, -5000, 255},
    {"negative_scale_lowers_nothing_above", {{-64, 0}}, 8, 0, -1000, 256.0 / -1000, 0, 255},
    {"report_only", {{64, 0}}, 0, 0, 1024, 1.0 / 1024, 0, 0},
};

class SeriesRangeTest : public testing::TestWithParam<RangeCase> {};

TEST_P(SeriesRangeTest, WidensAndScales) {
  const RangeCase &c = GetParam();
  SeriesRange range;
  for (const SliceCalibration &slice : c.slices) extend_series_range(&range, slice.scale, slice.offset);
  EXPECT_DOUBLE_EQ(range.low, c.low);
  EXPECT_DOUBLE_EQ(range.high, c.high);
  SeriesScaling scaling = compute_series_scaling(range, c.bit);
  EXPECT_DOUBLE_EQ(scaling.div, c.div);
  EXPECT_DOUBLE_EQ(scaling.base, c.base);
  EXPECT_EQ(scaling.max_code, c.max_code);
}

INSTANTIATE_TEST_SUITE_P(Series, SeriesRangeTest, testing::ValuesIn(kRangeCases),
                         [](const testing::TestParamInfo<RangeCase> &info) { return std::string(info.param.name); });

TEST(SeriesRangeTest, ZeroScaleMakesTheTopInfiniteAndDivZero) {
  SeriesRange range;
  extend_series_range(&range, 64, 0);
  extend_series_range(&range, 0, 0);
  EXPECT_TRUE(std::isinf(range.high));
  EXPECT_EQ(compute_series_scaling(range, 8).div, 0.0);
}

TEST(SeriesRangeTest, NanOffsetReplacesNothing) {
  SeriesRange range;
  extend_series_range(&range, 64, 0);
  extend_series_range(&range, 64, NAN);
  extend_series_range(&range, NAN, 5);
  EXPECT_EQ(range.low, 0.0);
  EXPECT_EQ(range.high, 1024.0);
}

}  // namespace
