// The reader decodes generated slices of every layout to exactly the
// generator's samples.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "read_slice.h"
#include "reader_failure.h"
#include "run_tool.h"
#include "series_fixture.h"

namespace {

void expect_decodes_to_phantom(const SeriesOptions &options) {
  ScratchDirectory dir;
  write_test_slice(dir.path, "rec0000.tif", options);
  std::string path = dir.file("rec0000.tif");
  int width = 0, height = 0, bits = 0;
  uint16_t **rows = nullptr;
  char *description = nullptr;
  try {
    ASSERT_EQ(read_slice(path.c_str(), &width, &height, &bits, &rows, &description), 0);
  } catch (const ReaderFailure &failure) {
    FAIL() << failure.message;
  }
  EXPECT_EQ(width, static_cast<int>(options.width));
  EXPECT_EQ(height, static_cast<int>(options.height));
  EXPECT_EQ(bits, options.bits_per_sample);
  EXPECT_STREQ(description, calibration_line(options, 0).c_str());
  std::vector<uint16_t> expected = phantom_samples(options, 0);
  int mismatches = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      if (rows[y][x] != expected[static_cast<size_t>(y) * options.width + x] && ++mismatches <= 5) {
        ADD_FAILURE() << "row " << y << " column " << x << ": " << rows[y][x] << " != "
                      << expected[static_cast<size_t>(y) * options.width + x];
      }
    }
    free(rows[y]);
  }
  free(rows);
  free(description);
}

class DecodeGenerated : public testing::TestWithParam<SampleLayout> {};

TEST_P(DecodeGenerated, SamplesEqualTheGeneratorsData) { expect_decodes_to_phantom(GetParam().options); }

INSTANTIATE_TEST_SUITE_P(Uncompressed, DecodeGenerated, testing::ValuesIn(uncompressed_layouts()),
                         [](const testing::TestParamInfo<SampleLayout> &info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(Compressed, DecodeGenerated, testing::ValuesIn(compressed_layouts()),
                         [](const testing::TestParamInfo<SampleLayout> &info) { return info.param.name; });

}  // namespace
