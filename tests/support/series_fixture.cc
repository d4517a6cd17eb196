#include "series_fixture.h"

#include <gtest/gtest.h>

void write_test_slice(const std::string &directory, const std::string &name, const SeriesOptions &options) {
  std::string error;
  ASSERT_TRUE(write_slice_file(directory + "/" + name, options, 0, &error)) << name << ": " << error;
}

void write_test_series(const std::string &directory, const std::vector<TestSlice> &slices, SeriesOptions base) {
  for (const TestSlice &slice : slices) {
    SeriesOptions options = base;
    options.scale = slice.scale;
    options.offset = slice.offset;
    options.seed = base.seed + static_cast<uint64_t>(slice.number);
    char name[32];
    snprintf(name, sizeof name, "rec%04d.tif", slice.number);
    write_test_slice(directory, name, options);
  }
}

namespace {

SampleLayout layout(const char *name, int bits, bool big_endian, int predictor, int fill_order,
                    uint32_t rows_per_strip) {
  SeriesOptions options;
  options.width = 37;  // odd, so bit rows end inside a byte and mapping rows have a remainder
  options.height = 23;
  options.bits_per_sample = bits;
  options.big_endian = big_endian;
  options.predictor = predictor;
  options.fill_order = fill_order;
  options.rows_per_strip = rows_per_strip;
  return {name, options};
}

}  // namespace

std::vector<SampleLayout> uncompressed_layouts() {
  std::vector<SampleLayout> layouts = {
      layout("b8_be_strips_of_5", 8, true, 1, 1, 5),
      layout("b16_le_strips_of_1", 16, false, 1, 1, 1),
      layout("b16_be_strips_of_7", 16, true, 1, 1, 7),
      layout("b16_le_fill_order_2", 16, false, 1, 2, 4),
      layout("b16_be_fill_order_2", 16, true, 1, 2, 0),
      layout("b8_fill_order_2", 8, false, 1, 2, 3),
      layout("b16_le_predictor", 16, false, 2, 1, 6),
      layout("b16_be_predictor", 16, true, 2, 1, 0),
      layout("b8_predictor", 8, false, 2, 1, 2),
      layout("b12_be_predictor_fill_order_2", 12, true, 2, 2, 5),
      layout("b3_le_predictor", 3, false, 2, 1, 0),
      layout("b16_rows_per_strip_above_height", 16, false, 1, 1, 1000),
  };
  for (int bits = 1; bits <= 16; ++bits) {
    for (bool big_endian : {false, true}) {
      std::string name = "b" + std::to_string(bits) + (big_endian ? "_be" : "_le");
      layouts.push_back(layout(name.c_str(), bits, big_endian, 1, 1, bits % 4 == 0 ? 0 : static_cast<uint32_t>(bits)));
    }
  }
  return layouts;
}

std::vector<SampleLayout> compressed_layouts() {
  struct Row {
    const char *name;
    int compression, bits;
    bool big_endian;
    int predictor, fill_order;
    uint32_t rows_per_strip, width, height;
  };
  const Row rows[] = {
      {"lzw_b8_le", 5, 8, false, 1, 1, 0, 37, 23},
      {"lzw_b8_be_predictor", 5, 8, true, 2, 1, 5, 37, 23},
      {"lzw_b16_le", 5, 16, false, 1, 1, 7, 37, 23},
      {"lzw_b16_be", 5, 16, true, 1, 1, 0, 37, 23},
      {"lzw_b16_le_predictor", 5, 16, false, 2, 1, 4, 37, 23},
      {"lzw_b16_be_predictor", 5, 16, true, 2, 1, 1, 37, 23},
      {"lzw_b16_large_one_strip", 5, 16, false, 1, 1, 0, 300, 211},
      {"lzw_b16_large_predictor", 5, 16, true, 2, 1, 64, 300, 211},
      {"lzw_b8_large", 5, 8, false, 1, 1, 0, 512, 97},
      {"lzw_b16_fill_order_2", 5, 16, false, 1, 2, 6, 37, 23},
      {"lzw_b12_be_fill_order_2_predictor", 5, 12, true, 2, 2, 5, 37, 23},
      {"lzw_b3", 5, 3, false, 1, 1, 4, 37, 23},
      {"lzw_b11_predictor", 5, 11, false, 2, 1, 0, 37, 23},
      {"packbits_b8_le", 32773, 8, false, 1, 1, 0, 37, 23},
      {"packbits_b8_be_strips", 32773, 8, true, 1, 1, 3, 37, 23},
      {"packbits_b16_le", 32773, 16, false, 1, 1, 5, 37, 23},
      {"packbits_b16_be_predictor", 32773, 16, true, 2, 1, 0, 37, 23},
      {"packbits_b16_large", 32773, 16, false, 1, 1, 16, 300, 211},
      {"packbits_b16_fill_order_2", 32773, 16, true, 1, 2, 2, 37, 23},
      {"packbits_b5_fill_order_2", 32773, 5, false, 1, 2, 0, 37, 23},
      {"packbits_b1", 32773, 1, true, 1, 1, 7, 37, 23},
      {"packbits_b14_predictor", 32773, 14, false, 2, 1, 0, 37, 23},
  };
  std::vector<SampleLayout> layouts;
  for (const Row &row : rows) {
    SampleLayout layout = ::layout(row.name, row.bits, row.big_endian, row.predictor, row.fill_order,
                                   row.rows_per_strip);
    layout.options.compression = row.compression;
    layout.options.width = row.width;
    layout.options.height = row.height;
    layouts.push_back(layout);
  }
  return layouts;
}
