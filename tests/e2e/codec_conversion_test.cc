// LZW and PackBits series convert to exactly the files that the same series
// stored uncompressed converts to.
#include <gtest/gtest.h>

#include <string>

#include "run_tool.h"
#include "series_fixture.h"

namespace {

class ConvertCompressed : public testing::TestWithParam<SampleLayout> {};

TEST_P(ConvertCompressed, OutputsEqualThoseOfTheUncompressedSeries) {
  SeriesOptions compressed = GetParam().options;
  compressed.scale = 65536.0 / 3000.0;
  compressed.offset = -1000.0;
  SeriesOptions plain = compressed;
  plain.compression = 1;
  const std::vector<TestSlice> slices = {{0, compressed.scale, compressed.offset}, {4, compressed.scale / 2, -1400}};
  ScratchDirectory compressed_dir, plain_dir;
  write_test_series(compressed_dir.path, slices, compressed);
  write_test_series(plain_dir.path, slices, plain);
  for (const char *bit : {"8", "16"}) {
    ToolResult from_compressed = run_sl_depth({bit}, compressed_dir.path);
    ToolResult from_plain = run_sl_depth({bit}, plain_dir.path);
    ASSERT_EQ(from_compressed.status, 0) << from_compressed.err;
    ASSERT_EQ(from_plain.status, 0) << from_plain.err;
    EXPECT_EQ(from_compressed.out, from_plain.out);
    EXPECT_EQ(from_compressed.err, from_plain.err);
    for (const char *name : {"ro0000.tif", "ro0004.tif", "rh0000.tif", "rh0004.tif"}) {
      if ((name[1] == 'h') != (bit[0] == '1')) continue;
      std::string converted = read_file(compressed_dir.file(name));
      EXPECT_FALSE(converted.empty()) << name;
      EXPECT_TRUE(converted == read_file(plain_dir.file(name))) << name << " differs";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Codecs, ConvertCompressed, testing::ValuesIn(compressed_layouts()),
                         [](const testing::TestParamInfo<SampleLayout> &info) { return info.param.name; });

}  // namespace
