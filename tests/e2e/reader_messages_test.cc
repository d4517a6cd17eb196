// Every header and directory fault reaches the console as one line
// "rec0000.tif : <message>" with status 1, in either byte order, and stops
// the run in the first pass, before any output exists.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "run_tool.h"
#include "tiff_builder.h"

namespace {

struct MessageCase {
  const char *name;
  std::function<void(TiffFile &)> spoil;
  const char *message;
};

const std::vector<MessageCase> &message_cases() {
  static const std::vector<MessageCase> cases = {
      {"mixed_byte_order_mark", [](TiffFile &f) { f.byte_order_mark = std::array<uint8_t, 2>{0x49, 0x4D}; },
       "bad magic number."},
      {"version_43", [](TiffFile &f) { f.version = 43; }, "bad magic number."},
      {"no_width", [](TiffFile &f) { remove_entry(f, kTagImageWidth); }, "primary image attribute not found."},
      {"photometric_as_long", [](TiffFile &f) { set_entry(f, long_entry(kTagPhotometric, {1})); },
       "primary image attribute not found."},
      {"width_2_31", [](TiffFile &f) { set_entry(f, long_entry(kTagImageWidth, {0x80000000u})); },
       "too large image size."},
      {"area_2_31", [](TiffFile &f) {
         set_entry(f, long_entry(kTagImageWidth, {65536}));
         set_entry(f, long_entry(kTagImageLength, {32768}));
       }, "too large image size."},
      {"photometric_2", [](TiffFile &f) { set_entry(f, short_entry(kTagPhotometric, {2})); },
       "bad photometric interpretation."},
      {"three_samples", [](TiffFile &f) { set_entry(f, short_entry(kTagSamplesPerPixel, {3})); },
       "too many samples per pixel."},
      {"bits_17", [](TiffFile &f) { set_entry(f, short_entry(kTagBitsPerSample, {17})); },
       "too many bits per sample."},
      {"signed_samples", [](TiffFile &f) { set_entry(f, short_entry(kTagSampleFormat, {2})); },
       "unsupported sample format."},
      {"planar_2", [](TiffFile &f) { set_entry(f, short_entry(kTagPlanarConfiguration, {2})); },
       "bad planar configuration."},
      {"compression_7", [](TiffFile &f) { set_entry(f, short_entry(kTagCompression, {7})); },
       "unknown image compression method."},
      {"fill_order_0", [](TiffFile &f) { set_entry(f, short_entry(kTagFillOrder, {0})); }, "bad fill order."},
      {"predictor_3", [](TiffFile &f) { set_entry(f, short_entry(kTagPredictor, {3})); },
       "unknown differencing predictor."},
      {"cut_in_the_directory", [](TiffFile &f) { f.truncate_at = tiff_layout(f).directory_offset + 20; },
       "unexpected end of file."},
      {"no_description", [](TiffFile &f) { remove_entry(f, kTagImageDescription); },
       "calibration line not found."},
  };
  return cases;
}

TEST(ReaderMessages, OneLineNamingTheFileAndStatus1) {
  for (const MessageCase &c : message_cases()) {
    for (bool little_endian : {true, false}) {
      ScratchDirectory dir;
      TiffFile file = basic_slice(6, 4, 16, little_endian);
      c.spoil(file);
      write_file(file, dir.file("rec0000.tif"));
      ToolResult result = run_sl_depth({"8"}, dir.path);
      EXPECT_EQ(result.status, 1) << c.name << (little_endian ? " II" : " MM");
      EXPECT_EQ(result.err, std::string("read parameter\nrec0000.tif : ") + c.message + "\n")
          << c.name << (little_endian ? " II" : " MM");
      EXPECT_EQ(result.out, "") << c.name;
      EXPECT_EQ(list_files(dir.path), std::vector<std::string>{"rec0000.tif"}) << c.name;
    }
  }
}

// Strip tables are read in the second pass only: the report-only run
// passes, a conversion stops at the slice.
TEST(ReaderMessages, StripTableFaultsAppearInTheSecondPass) {
  const std::pair<uint16_t, const char *> cases[] = {{kTagStripOffsets, "strip offset not found."},
                                                     {kTagStripByteCounts, "strip bytes count not found."}};
  for (const auto &[tag, message] : cases) {
    ScratchDirectory dir;
    TiffFile file = basic_slice(6, 4, 16, false);
    remove_entry(file, tag);
    write_file(file, dir.file("rec0000.tif"));
    EXPECT_EQ(run_sl_depth({"0"}, dir.path).status, 0) << message;
    ToolResult result = run_sl_depth({"16"}, dir.path);
    EXPECT_EQ(result.status, 1) << message;
    std::string tail = std::string("rec0000.tif : ") + message + "\n";
    EXPECT_EQ(result.err.substr(result.err.size() - std::min(result.err.size(), tail.size())), tail);
    EXPECT_EQ(list_files(dir.path), std::vector<std::string>{"rec0000.tif"}) << message;
  }
}

}  // namespace
