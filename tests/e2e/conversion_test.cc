// Whole conversions on generated series: every accepted sample layout, the
// output fields and strips as libtiff reads them back, and the codes that
// the mapping rule gives, computed here independently.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdio>
#include <string>
#include <vector>

#include "output_check.h"
#include "run_tool.h"
#include "series_fixture.h"

namespace {

std::string expected_line(const ExpectedScaling &scaling) {
  char line[256];
  snprintf(line, sizeof line, "1\t0.012000\t%f\t%f\t0.000000\t512\t0.500000\t180.000000", scaling.div,
           scaling.base);
  return line;
}

struct Crop {
  int x1, y1, x2, y2;
};

// Converts a two-slice series of `layout` at `bit` and checks every output
// field, strip and code.
void check_conversion(const SeriesOptions &layout, int bit, const Crop *crop = nullptr) {
  const std::vector<TestSlice> slices = {{2, layout.scale, layout.offset}, {5, layout.scale * 0.75, layout.offset - 3}};
  ScratchDirectory dir;
  write_test_series(dir.path, slices, layout);
  std::vector<std::string> arguments = {std::to_string(bit)};
  if (crop != nullptr) {
    for (int value : {crop->x1, crop->y1, crop->x2, crop->y2}) arguments.push_back(std::to_string(value));
  }
  ToolResult result = run_sl_depth(arguments, dir.path);
  ASSERT_EQ(result.status, 0) << result.err;

  std::vector<SliceCalibration> calibrations;
  for (const TestSlice &slice : slices) calibrations.push_back({slice.scale, slice.offset});
  ExpectedScaling scaling = expected_scaling(calibrations, bit);
  char report[128];
  snprintf(report, sizeof report, "div=%f\tbase=%f\n", scaling.div, scaling.base);
  EXPECT_NE(result.out.find(report), std::string::npos) << result.out;

  for (size_t i = 0; i < slices.size(); ++i) {
    char name[16];
    snprintf(name, sizeof name, bit == 16 ? "rh%04d.tif" : "ro%04d.tif", slices[i].number);
    OutputSlice out = read_output_slice(dir.file(name));
    uint32_t x1 = crop ? crop->x1 : 0, y1 = crop ? crop->y1 : 0;
    uint32_t width = crop ? crop->x2 - crop->x1 + 1 : layout.width;
    uint32_t height = crop ? crop->y2 - crop->y1 + 1 : layout.height;
    EXPECT_EQ(out.width, width) << name;
    EXPECT_EQ(out.height, height) << name;
    EXPECT_EQ(out.bits, bit) << name;
    EXPECT_EQ(out.compression, 1) << name;
    EXPECT_EQ(out.photometric, 1) << name;
    EXPECT_EQ(out.samples_per_pixel, 1) << name;
    EXPECT_EQ(out.planar, 1) << name;
    EXPECT_EQ(out.rows_per_strip, 1u) << name;
    EXPECT_EQ(out.artist, "Tevrak") << name;
    EXPECT_TRUE(out.little_endian) << name;
    EXPECT_TRUE(out.strips_are_rows) << name;
    EXPECT_EQ(out.description, expected_line(scaling)) << name;

    SeriesOptions slice_options = layout;
    slice_options.seed = layout.seed + static_cast<uint64_t>(slices[i].number);
    std::vector<uint16_t> samples = phantom_samples(slice_options, 0);
    ASSERT_EQ(out.codes.size(), static_cast<size_t>(width) * height) << name;
    int mismatches = 0;
    for (uint32_t y = 0; y < height && mismatches < 5; ++y) {
      for (uint32_t x = 0; x < width && mismatches < 5; ++x) {
        uint16_t v = samples[(y + y1) * layout.width + (x + x1)];
        int code = expected_code(v, calibrations[i], scaling);
        if (out.codes[y * width + x] != code) {
          ADD_FAILURE() << name << " row " << y << " column " << x << ": sample " << v << " gave "
                        << out.codes[y * width + x] << ", expected " << code;
          ++mismatches;
        }
      }
    }
  }
  std::string progress;
  for (const TestSlice &slice : slices) {
    char line[64];
    snprintf(line, sizeof line, bit == 16 ? "rec%04d.tif(16bit) -> rh%04d.tif(16bit)\r"
                                          : "rec%04d.tif(16bit) -> ro%04d.tif(8bit)\r",
             slice.number, slice.number);
    progress += line;
  }
  EXPECT_EQ(result.err.substr(result.err.size() - std::min(result.err.size(), progress.size())), progress);
}

class ConvertLayout : public testing::TestWithParam<SampleLayout> {};

TEST_P(ConvertLayout, EightAndSixteenBitOutputsHoldTheRuleCodes) {
  SeriesOptions layout = GetParam().options;
  // A scale that spreads the slice's own sample range over the codes.
  layout.scale = 65536.0 / 2000.0;
  layout.offset = -1000.0;
  check_conversion(layout, 8);
  check_conversion(layout, 16);
}

INSTANTIATE_TEST_SUITE_P(Layouts, ConvertLayout, testing::ValuesIn(uncompressed_layouts()),
                         [](const testing::TestParamInfo<SampleLayout> &info) { return info.param.name; });

// The bytes libtiff writes for an output of these fields and codes, each
// row as one raw strip, straight into a file of its own.
std::string libtiff_bytes(const OutputSlice &out, const std::string &path) {
  TIFF *tiff = TIFFOpen(path.c_str(), "wl");
  if (tiff == nullptr) return "";
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, out.width);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, out.height);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, out.bits);
  TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 1);
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tiff, TIFFTAG_IMAGEDESCRIPTION, out.description.c_str());
  TIFFSetField(tiff, TIFFTAG_ARTIST, out.artist.c_str());
  for (uint32_t y = 0; y < out.height; ++y) {
    std::vector<uint8_t> row;
    for (uint32_t x = 0; x < out.width; ++x) {
      const uint16_t code = out.codes[y * out.width + x];
      row.push_back(static_cast<uint8_t>(code));
      if (out.bits == 16) row.push_back(static_cast<uint8_t>(code >> 8));
    }
    TIFFWriteRawStrip(tiff, y, row.data(), static_cast<tmsize_t>(row.size()));
  }
  TIFFClose(tiff);
  return read_file(path);
}

// What libtiff writes around an output's rows is reused for the next
// outputs of the same size, depth and line, and rows are written as they
// are mapped: each output must still be, byte for byte, what libtiff writes
// for its own fields and codes, on one CPU and on all, into new names and
// over existing ones, which keep their inode and lose whatever they held
// beyond the new output's end.
TEST(ConvertFrames, EachOutputCarriesItsOwnSizeAndLine) {
  const struct {
    const char *fields1_2;
    uint32_t width, height;
  } slices[] = {{"1\t0.5", 40, 30}, {"1\t0.5", 40, 30}, {"2\t0.5", 40, 30},
                {"2\t0.5", 40, 31}, {"2\t0.5", 41, 31}, {"1\t0.5", 40, 30}};
  for (const char *bit : {"8", "16"}) {
    for (const std::string prefix : {"exec taskset -c 0 \"$0\" \"$@\";", ""}) {
      ScratchDirectory dir;
      for (size_t i = 0; i < std::size(slices); ++i) {
        SeriesOptions options;
        options.width = slices[i].width;
        options.height = slices[i].height;
        options.description_mode = DescriptionMode::fixed_text;
        options.description_text = std::string(slices[i].fields1_2) + "\t64\t0\t0\t512\t0.5\t180";
        write_test_slice(dir.path, "rec000" + std::to_string(i) + ".tif", options);
      }
      for (int run = 0; run < 2; ++run) {
        const char *grow = "for f in r[oh]000*.tif; do head -c 9000 /dev/urandom >> $f; done; ln r[oh]0002.tif held";
        if (run == 1) {
          ASSERT_EQ(run_program("/bin/sh", {"-c", grow}, dir.path).status, 0);
        }
        ToolResult result = run_sl_depth({bit}, dir.path, prefix);
        ASSERT_EQ(result.status, 0) << result.err;
        if (run == 1) {
          EXPECT_EQ(run_program("/bin/sh", {"-c", "test held -ef r[oh]0002.tif"}, dir.path).status, 0);
        }
        double div = 0, base = 0;
        ASSERT_EQ(sscanf(result.out.c_str() + result.out.find("div="), "div=%lf\tbase=%lf", &div, &base), 2);
        for (size_t i = 0; i < std::size(slices); ++i) {
          char name[16], line[128];
          snprintf(name, sizeof name, "%s%04zu.tif", bit[0] == '8' ? "ro" : "rh", i);
          snprintf(line, sizeof line, "%s00000\t%f\t%f\t0.000000\t512\t0.500000\t180.000000", slices[i].fields1_2, div,
                   base);
          OutputSlice out = read_output_slice(dir.file(name));
          EXPECT_EQ(out.width, slices[i].width) << name << " " << bit << prefix << run;
          EXPECT_EQ(out.height, slices[i].height) << name << " " << bit << prefix << run;
          EXPECT_EQ(out.description, line) << name << " " << bit << prefix << run;
          EXPECT_TRUE(out.strips_are_rows) << name << " " << bit << prefix << run;
          EXPECT_TRUE(read_file(dir.file(name)) == libtiff_bytes(out, dir.file("libtiff.tif")))
              << name << " " << bit << prefix << run;
        }
      }
    }
  }
}

TEST(ConvertCrop, RectanglesGiveOutputsOfTheirSize) {
  SeriesOptions layout;
  layout.width = 512;
  layout.height = 512;
  layout.scale = 30.0;
  layout.offset = -900.0;
  const Crop crops[] = {{10, 20, 109, 219}, {0, 0, 511, 511}, {511, 0, 511, 0}, {7, 300, 7, 300}};
  for (const Crop &crop : crops) {
    SCOPED_TRACE(testing::Message() << crop.x1 << " " << crop.y1 << " " << crop.x2 << " " << crop.y2);
    check_conversion(layout, 8, &crop);
  }
  check_conversion(layout, 16, &crops[0]);
}

}  // namespace
