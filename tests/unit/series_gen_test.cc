// The series generator: every layout must read back, as the tool's reader
// sees it, as the phantom samples; libtiff-encoded layouts must also read
// back through libtiff's own interpretation.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "libtiff_messages.h"
#include "series_gen.h"

namespace {

constexpr uint16_t kTagFillOrder = 266;
constexpr uint16_t kTagPredictor = 317;

std::string make_scratch_dir() {
  std::string pattern = ::testing::TempDir() + "series_gen_XXXXXX";
  return mkdtemp(pattern.data());
}

// Unknown-tag warnings (Predictor beside uncompressed strips), which come
// as the directory is read, stay off the console.
TIFF* open_quietly(const std::string& path) {
  LibtiffMessageCatcher quiet(nullptr, drop_libtiff_message, nullptr);
  return TIFFOpen(path.c_str(), "r");
}

// All strips as libtiff's decoder delivers them (16-bit samples in host
// order), rows concatenated.
std::vector<uint8_t> decoded_strips(const std::string& path) {
  std::vector<uint8_t> bytes;
  TIFF* tiff = open_quietly(path);
  if (!tiff) return bytes;
  std::vector<uint8_t> strip(static_cast<size_t>(TIFFStripSize(tiff)));
  for (uint32_t s = 0; s < TIFFNumberOfStrips(tiff); ++s) {
    const tmsize_t n = TIFFReadEncodedStrip(tiff, s, strip.data(), -1);
    if (n < 0) break;
    bytes.insert(bytes.end(), strip.begin(), strip.begin() + n);
  }
  TIFFClose(tiff);
  return bytes;
}

// Samples from decoded strip bytes the way the tool's reader forms them:
// bytes bit-reversed after the codec, samples most significant bit first
// with each row on a byte boundary, then each row's differencing undone.
std::vector<uint16_t> assemble_like_reader(std::vector<uint8_t> bytes,
                                           const SeriesOptions& o,
                                           bool reverse_bits,
                                           bool undo_predictor) {
  const int bits = o.bits_per_sample;
  const size_t row_bytes = (size_t{o.width} * bits + 7) / 8;
  std::vector<uint16_t> samples(size_t{o.width} * o.height);
  if (bytes.size() != row_bytes * o.height) return {};
  for (uint8_t& byte : bytes) {
    if (!reverse_bits) break;
    uint8_t reversed = 0;
    for (int b = 0; b < 8; ++b) reversed |= ((byte >> b) & 1) << (7 - b);
    byte = reversed;
  }
  for (uint32_t row = 0; row < o.height; ++row) {
    const uint8_t* in = bytes.data() + row * row_bytes;
    uint16_t* out = samples.data() + size_t{row} * o.width;
    for (size_t m = 0, bit = 0; m < o.width; ++m) {
      if (bits == 16) {
        std::memcpy(&out[m], in + 2 * m, 2);
        continue;
      }
      out[m] = 0;
      for (int b = 0; b < bits; ++b, ++bit)
        out[m] = uint16_t(out[m] * 2 + ((in[bit / 8] >> (7 - bit % 8)) & 1));
    }
    for (size_t m = 1; undo_predictor && m < o.width; ++m)
      out[m] = uint16_t((out[m - 1] + out[m]) & ((1u << bits) - 1));
  }
  return samples;
}

struct Layout {
  const char* name;
  int bits;
  bool big_endian;
  int compression;
  int predictor;
  int fill_order;
  uint32_t rows_per_strip;
  bool by_libtiff;  // which path the generator must take
};

const Layout kLayouts[] = {
    {"8 none II one strip", 8, false, 1, 1, 1, 0, true},
    {"16 none MM", 16, true, 1, 1, 1, 7, true},
    {"16 none MM fill order 2", 16, true, 1, 1, 2, 4, true},
    {"8 none II fill order 2", 8, false, 1, 1, 2, 0, true},
    {"12 none II", 12, false, 1, 1, 1, 9, true},
    {"16 lzw II predictor", 16, false, 5, 2, 1, 5, true},
    {"16 lzw MM predictor", 16, true, 5, 2, 1, 0, true},
    {"8 lzw MM predictor", 8, true, 5, 2, 1, 10, true},
    {"1 lzw MM", 1, true, 5, 1, 1, 0, true},
    {"8 packbits II", 8, false, 32773, 1, 1, 3, true},
    {"16 packbits MM row strips", 16, true, 32773, 1, 1, 1, true},
    {"rows per strip above height", 16, false, 1, 1, 1, 1000, true},
    {"12 lzw MM predictor", 12, true, 5, 2, 1, 6, false},
    {"16 none MM predictor", 16, true, 1, 2, 1, 0, false},
    {"8 packbits II predictor", 8, false, 32773, 2, 1, 5, false},
    {"16 lzw MM fill order 2", 16, true, 5, 1, 2, 0, false},
    {"16 lzw II both", 16, false, 5, 2, 2, 7, false},
    {"5 packbits II both", 5, false, 32773, 2, 2, 4, false},
    {"3 none MM both", 3, true, 1, 2, 2, 0, false},
};

void check_layout(const Layout& l) {
  SeriesOptions o;
  o.width = 37;  // odd, so packed rows end inside a byte
  o.height = 23;
  o.bits_per_sample = l.bits;
  o.big_endian = l.big_endian;
  o.compression = l.compression;
  o.predictor = l.predictor;
  o.fill_order = l.fill_order;
  o.rows_per_strip = l.rows_per_strip;
  const std::string dir = make_scratch_dir();
  const std::string path = dir + "/slice.tif";
  const int slice = 2;
  std::string error;
  ASSERT_TRUE(write_slice_file(path, o, slice, &error)) << error;
  EXPECT_EQ(uses_libtiff_encoding(o), l.by_libtiff);
  const std::vector<uint16_t> phantom = phantom_samples(o, slice);

  uint16_t fill_order = 0, predictor = 0;
  ASSERT_TRUE(read_directory_short(path, kTagFillOrder, &fill_order, &error)) << error;
  EXPECT_EQ(fill_order, l.fill_order);
  const bool has_predictor = l.compression == 5 || l.predictor == 2;
  if (has_predictor) {
    ASSERT_TRUE(read_directory_short(path, kTagPredictor, &predictor, &error)) << error;
    EXPECT_EQ(predictor, l.predictor);
  }

  TIFF* tiff = open_quietly(path);
  ASSERT_NE(tiff, nullptr);
  const char* description = nullptr;
  ASSERT_TRUE(TIFFGetField(tiff, TIFFTAG_IMAGEDESCRIPTION, &description));
  EXPECT_EQ(std::string(description), calibration_line(o, slice));
  const uint32_t rows_per_strip = l.rows_per_strip ? l.rows_per_strip : o.height;
  EXPECT_EQ(TIFFNumberOfStrips(tiff), (o.height + rows_per_strip - 1) / rows_per_strip);
  TIFFClose(tiff);

  if (l.by_libtiff) {  // libtiff's own reading agrees with the reader's
    EXPECT_EQ(assemble_like_reader(decoded_strips(path), o, false, false), phantom);
  }

  // The reader's view: the codec alone, then fill order and predictor
  // applied by the reader's rules. A copy with both tags at 1 makes libtiff
  // run the codec alone.
  const std::string codec_only = dir + "/codec_only.tif";
  std::filesystem::copy_file(path, codec_only);
  ASSERT_TRUE(patch_directory_short(codec_only, kTagFillOrder, 1, &error)) << error;
  if (has_predictor) {
    ASSERT_TRUE(patch_directory_short(codec_only, kTagPredictor, 1, &error)) << error;
  }
  EXPECT_EQ(assemble_like_reader(decoded_strips(codec_only), o,
                                 l.fill_order == 2, l.predictor == 2),
            phantom);
  std::filesystem::remove_all(dir);
}

TEST(SeriesGen, EveryLayoutReadsBackAsThePhantom) {
  for (const Layout& layout : kLayouts) {
    SCOPED_TRACE(layout.name);
    check_layout(layout);
  }
}

struct Refusal {
  const char* name;
  void (*change)(SeriesOptions*);
  const char* file;  // relative to a scratch directory
  const char* message_part;
};

const Refusal kRefusals[] = {
    {"zero bits", [](SeriesOptions* o) { o->bits_per_sample = 0; }, "x.tif", "libtiff refuses"},
    {"17 bits", [](SeriesOptions* o) { o->bits_per_sample = 17; }, "x.tif", "0 to 16"},
    {"compression 7", [](SeriesOptions* o) { o->compression = 7; }, "x.tif", "compression"},
    {"predictor 3", [](SeriesOptions* o) { o->predictor = 3; }, "x.tif", "predictor"},
    {"fill order 0", [](SeriesOptions* o) { o->fill_order = 0; }, "x.tif", "fill order"},
    {"zero width", [](SeriesOptions* o) { o->width = 0; }, "x.tif", "width"},
    {"string pattern", [](SeriesOptions* o) { o->name_pattern = "rec%s.tif"; }, "x.tif", "%d"},
    {"missing directory", [](SeriesOptions*) {}, "none/x.tif", "cannot create"},
};

TEST(SeriesGen, RefusesWhatWouldGiveABrokenFile) {
  const std::string dir = make_scratch_dir();
  for (const Refusal& r : kRefusals) {
    SeriesOptions o;
    r.change(&o);
    const std::string path = dir + "/" + r.file;
    std::string error;
    EXPECT_FALSE(write_slice_file(path, o, 0, &error)) << r.name;
    EXPECT_NE(error.find(r.message_part), std::string::npos) << r.name << ": " << error;
    EXPECT_FALSE(std::filesystem::exists(path)) << r.name;
  }
  std::filesystem::remove_all(dir);
}

TEST(SeriesGen, SeriesHasItsNumbersAndExactCalibration) {
  SeriesOptions o;
  o.count = 3;
  o.first_number = 5;
  o.number_step = 2;
  o.scale = 4000.0;
  o.scale_step = 0.1234567;  // sums need more than six decimals
  o.offset = -2.5;
  o.offset_step = 0.001;
  const std::string dir = make_scratch_dir();
  std::string error;
  ASSERT_TRUE(write_series(dir + "/series", o, &error)) << error;
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir + "/series"))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"rec0005.tif", "rec0007.tif", "rec0009.tif"}));
  for (int i = 0; i < o.count; ++i) {
    int first = 0, sixth = 0;
    double second = 0, scale = 0, fifth = 0, seventh = 0, eighth = 0;
    float offset = 0;
    EXPECT_EQ(std::sscanf(calibration_line(o, i).c_str(), "%d\t%lf\t%lf\t%f\t%lf\t%d\t%lf\t%lf",
                          &first, &second, &scale, &offset, &fifth, &sixth, &seventh, &eighth),
              8);
    EXPECT_EQ(scale, o.scale + i * o.scale_step);
    EXPECT_EQ(offset, static_cast<float>(o.offset + i * o.offset_step));
  }
  std::filesystem::remove_all(dir);
}

struct DescriptionCase {
  DescriptionMode mode;
  const char* text;
  const char* expected;  // null: no ImageDescription
};

TEST(SeriesGen, DescriptionFollowsItsMode) {
  const DescriptionCase cases[] = {
      {DescriptionMode::fixed_text, "written by a scanner", "written by a scanner"},
      {DescriptionMode::fixed_text, "", ""},
      {DescriptionMode::absent, "", nullptr},
  };
  const std::string dir = make_scratch_dir();
  for (const DescriptionCase& c : cases) {
    SeriesOptions o;
    o.description_mode = c.mode;
    o.description_text = c.text;
    std::string error;
    ASSERT_TRUE(write_slice_file(dir + "/d.tif", o, 0, &error)) << error;
    TIFF* tiff = open_quietly(dir + "/d.tif");
    ASSERT_NE(tiff, nullptr);
    const char* description = nullptr;
    const bool present = TIFFGetField(tiff, TIFFTAG_IMAGEDESCRIPTION, &description);
    EXPECT_EQ(present, c.expected != nullptr) << c.text;
    if (present && c.expected) {
      EXPECT_STREQ(description, c.expected);
    }
    TIFFClose(tiff);
  }
  std::filesystem::remove_all(dir);
}

TEST(SeriesGen, PhantomSpansItsDepthAndVaries) {
  for (int bits : {1, 4, 8, 12, 16}) {
    SeriesOptions o;
    o.bits_per_sample = bits;
    const std::vector<uint16_t> slice = phantom_samples(o, 0);
    const uint16_t top = uint16_t((1u << bits) - 1);
    EXPECT_EQ(*std::min_element(slice.begin(), slice.end()), 0) << bits;
    EXPECT_EQ(*std::max_element(slice.begin(), slice.end()), top) << bits;
    EXPECT_EQ(phantom_samples(o, 0), slice) << bits;
    if (bits == 1) continue;  // too coarse to show noise or drift
    EXPECT_NE(phantom_samples(o, 1), slice) << bits;
    o.seed = 2;
    EXPECT_NE(phantom_samples(o, 0), slice) << bits;
  }
}

}  // namespace
