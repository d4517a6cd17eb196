#include "calibration.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ostream>
#include <string>

namespace {

const CalibrationRecord kEarlier{7, 7.5, 70.0, -7.25f, 17.0, 77, 0.7, 700.0};

struct ParseCase {
  const char *name;
  const char *text;
  int matched;
  CalibrationRecord expected;  // starting from kEarlier
};

void PrintTo(const ParseCase &c, std::ostream *out) { *out << c.name; }

const ParseCase kParseCases[] = {
    {"canonical", "1\t0.012\t4000.0\t-2.5\t0\t512\t0.5\t180.0", 8, {1, 0.012, 4000.0, -2.5f, 0.0, 512, 0.5, 180.0}},
    {"blanks_for_tabs", "1 0.012 4000.0 -2.5 0 512 0.5 180.0", 8, {1, 0.012, 4000.0, -2.5f, 0.0, 512, 0.5, 180.0}},
    {"runs_of_white_space", "  1\t\t0.012 \n4000.0\t-2.5\r\n0\t512\t0.5\t180.0\n", 8,
     {1, 0.012, 4000.0, -2.5f, 0.0, 512, 0.5, 180.0}},
    {"short_line_keeps_later_fields", "3 1.0 2.0", 3, {3, 1.0, 2.0, -7.25f, 17.0, 77, 0.7, 700.0}},
    {"stops_at_first_mismatch", "3\t1.0\tabc\t5", 2, {3, 1.0, 70.0, -7.25f, 17.0, 77, 0.7, 700.0}},
    {"ten_fields", "1 2 3 4 5 6 7 8 9 10", 8, {1, 2.0, 3.0, 4.0f, 5.0, 6, 7.0, 8.0}},
    {"exponents", "1 1e-3 2.5E2 -1e1 0 1 +3e0 -0.5e-1", 8, {1, 0.001, 250.0, -10.0f, 0.0, 1, 3.0, -0.05}},
    {"integer_fields_clamp", "99999999999 0 64 0 0 -99999999999 0 0", 8,
     {2147483647, 0.0, 64.0, 0.0f, 0.0, -2147483647 - 1, 0.0, 0.0}},
    {"empty_text", "", 0, kEarlier},
    {"not_a_calibration_line", "reconstructed slice", 0, kEarlier},
    {"offset_in_single_precision", "1 0 64 0.1 0 0 0 0", 8, {1, 0.0, 64.0, 0.1f, 0.0, 0, 0.0, 0.0}},
    {"bare_point_forms", "1 .5 5. -.25 0 0 0 0", 8, {1, 0.5, 5.0, -0.25f, 0.0, 0, 0.0, 0.0}},
    // Only decimal numbers: the C library's other forms end the match.
    {"nan_scale", "1 0 nan 0 0 0 0 0", 2, {1, 0.0, 70.0, -7.25f, 17.0, 77, 0.7, 700.0}},
    {"infinite_offset", "1 0 64 -inf 0 0 0 0", 3, {1, 0.0, 64.0, -7.25f, 17.0, 77, 0.7, 700.0}},
    {"infinity_field2", "1 infinity 64", 1, {1, 7.5, 70.0, -7.25f, 17.0, 77, 0.7, 700.0}},
    {"hexadecimal_scale_reads_its_zero", "1 0 0x10 0 0 0 0 0", 3, {1, 0.0, 0.0, -7.25f, 17.0, 77, 0.7, 700.0}},
    {"exponent_without_digits", "1 0 64 1e 0 0 0 0", 4, {1, 0.0, 64.0, 1.0f, 17.0, 77, 0.7, 700.0}},
};

class ParseCalibration : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseCalibration, FillsMatchedFieldsAndKeepsTheRest) {
  const ParseCase &c = GetParam();
  CalibrationRecord record = kEarlier;
  EXPECT_EQ(parse_calibration(c.text, &record), c.matched);
  EXPECT_EQ(record.field1, c.expected.field1);
  EXPECT_DOUBLE_EQ(record.field2, c.expected.field2);
  EXPECT_DOUBLE_EQ(record.scale, c.expected.scale);
  EXPECT_EQ(record.offset, c.expected.offset);  // exact: single precision from the text
  EXPECT_DOUBLE_EQ(record.field5, c.expected.field5);
  EXPECT_EQ(record.field6, c.expected.field6);
  EXPECT_DOUBLE_EQ(record.field7, c.expected.field7);
  EXPECT_DOUBLE_EQ(record.field8, c.expected.field8);
}

INSTANTIATE_TEST_SUITE_P(Lines, ParseCalibration, testing::ValuesIn(kParseCases),
                         [](const testing::TestParamInfo<ParseCase> &info) { return std::string(info.param.name); });

// Numbers far longer than any value needs convert exactly as the C library
// converts their whole text: digits beyond those kept still decide a
// rounding, and long runs of zeros shift the point without limit.
TEST(ParseCalibration, LongNumbersConvertAsTheirWholeText) {
  const std::string halfway_above_one = "1.00000000000000011102230246251565404236316680908203125";
  const std::string numbers[] = {
      halfway_above_one + std::string(2000, '0') + "1",  // just above a half: rounds up
      halfway_above_one + std::string(2000, '0'),        // the half itself: rounds to even
      "0." + std::string(3000, '0') + "15e3001",
      "1e" + std::string(3000, '0') + "7",
      std::string(400, '9') + "." + std::string(1000, '9'),
      "-" + std::string(100000, '7'),
      // Runs of zeros longer than any exponent bound, offset by exponents
      // as long: each is 1, or -1.
      "1" + std::string(1000000, '0') + "e-1000000",
      "-0." + std::string(2000000, '0') + "1e2000001",
      "0." + std::string(1000000, '0') + "25e+1000001",
      "-" + std::string(1500000, '0') + "3" + std::string(1500000, '0') + "e-1500000",
  };
  for (const std::string &number : numbers) {
    CalibrationRecord record = kEarlier;
    std::string line = "1 " + number + " 64 " + number + " " + number;
    ASSERT_EQ(parse_calibration(line.c_str(), &record), 5) << number.substr(0, 40);
    EXPECT_EQ(record.field2, strtod(number.c_str(), nullptr)) << number.substr(0, 40);
    EXPECT_EQ(record.offset, strtof(number.c_str(), nullptr)) << number.substr(0, 40);
  }
}

struct FormatCase {
  const char *name;
  CalibrationRecord record;
  double div;
  double base;
  const char *expected;
};

void PrintTo(const FormatCase &c, std::ostream *out) { *out << c.name; }

const FormatCase kFormatCases[] = {
    {"table_example", {1, 0.012, 4000.0, -2.5f, 0.0, 512, 0.5, 180.0}, 15.625, -2.5,
     "1\t0.012000\t15.625000\t-2.500000\t0.000000\t512\t0.500000\t180.000000"},
    {"sixth_decimal_rounded", {-3, 0.1234567, 0, 0, 1e-5, -40, 0.0000004, 0.5}, 0.0000004, 0.0000006,
     "-3\t0.123457\t0.000000\t0.000001\t0.000010\t-40\t0.000000\t0.500000"},
    {"exponents_disappear", {1, 1e3, 0, 0, 0, 0, 0, 0}, 2.5e2, -1e1,
     "1\t1000.000000\t250.000000\t-10.000000\t0.000000\t0\t0.000000\t0.000000"},
    {"non_finite", {0, 0, 0, 0, 0, 0, 0, 0}, INFINITY, NAN,
     "0\t0.000000\tinf\tnan\t0.000000\t0\t0.000000\t0.000000"},
};

class FormatCalibration : public testing::TestWithParam<FormatCase> {};

TEST_P(FormatCalibration, WritesEightFieldsWithSixDecimals) {
  const FormatCase &c = GetParam();
  char *line = format_calibration(c.record, c.div, c.base);
  ASSERT_NE(line, nullptr);
  EXPECT_STREQ(line, c.expected);
  free(line);
}

INSTANTIATE_TEST_SUITE_P(Lines, FormatCalibration, testing::ValuesIn(kFormatCases),
                         [](const testing::TestParamInfo<FormatCase> &info) { return std::string(info.param.name); });

TEST(FormatCalibration, LongestLineFitsWhole) {
  CalibrationRecord record{-2147483647 - 1, -1.7976931348623157e308, 0, 0, -1.7976931348623157e308,
                           -2147483647 - 1, -1.7976931348623157e308, -1.7976931348623157e308};
  char *line = format_calibration(record, -1.7976931348623157e308, -1.7976931348623157e308);
  ASSERT_NE(line, nullptr);
  EXPECT_EQ(std::string(line).size(), 1931u);
  free(line);
}

}  // namespace
