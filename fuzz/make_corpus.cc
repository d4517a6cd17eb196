// make_corpus: writes the seed slices for the reader's fuzz target.
//
//   make_corpus DIR
//
// One small slice for every compression, byte order, bit depth, predictor
// and fill order, with the size and the strip layout rotating through a few
// shapes so that one-row, several-row and single strips all appear, plus a
// few larger LZW slices whose tables grow past 9-bit codes. All come from
// the series generator, so every seed is a slice the reader accepts.
#include <cstdio>
#include <string>

#include "series_gen.h"

namespace {

struct Shape {
  uint32_t width;
  uint32_t height;
  uint32_t rows_per_strip;  // 0: one strip for the whole slice
};

constexpr Shape kShapes[] = {
    {1, 1, 0}, {3, 2, 1}, {17, 9, 4}, {8, 5, 0}, {5, 7, 2}, {2, 3, 3}, {9, 4, 5},
};
constexpr int kCompressions[] = {1, 5, 32773};

std::string seed_name(const SeriesOptions &o) {
  char name[96];
  snprintf(name, sizeof name, "c%d_%s_b%d_p%d_f%d_r%u_%ux%u.tif", o.compression,
           o.big_endian ? "be" : "le", o.bits_per_sample, o.predictor, o.fill_order,
           o.rows_per_strip, o.width, o.height);
  return name;
}

bool write_seed(const std::string &dir, const SeriesOptions &options, int *written) {
  std::string error;
  if (!write_slice_file(dir + "/" + seed_name(options), options, 0, &error)) {
    fprintf(stderr, "make_corpus: %s\n", error.c_str());
    return false;
  }
  ++*written;
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: make_corpus DIR\n");
    return 1;
  }
  const std::string dir = argv[1];
  int written = 0;
  int rotation = 0;
  for (int compression : kCompressions) {
    for (int big_endian = 0; big_endian <= 1; ++big_endian) {
      for (int bits = 1; bits <= 16; ++bits) {
        for (int predictor = 1; predictor <= 2; ++predictor) {
          for (int fill_order = 1; fill_order <= 2; ++fill_order) {
            const Shape &shape = kShapes[rotation++ % (sizeof kShapes / sizeof kShapes[0])];
            SeriesOptions options;
            options.width = shape.width;
            options.height = shape.height;
            options.rows_per_strip = shape.rows_per_strip;
            options.bits_per_sample = bits;
            options.big_endian = big_endian != 0;
            options.compression = compression;
            options.predictor = predictor;
            options.fill_order = fill_order;
            options.seed = static_cast<uint64_t>(rotation);
            if (!write_seed(dir, options, &written)) return 1;
          }
        }
      }
    }
  }
  // LZW strips long enough for 10, 11 and 12-bit codes.
  for (int bits : {8, 16}) {
    for (uint32_t width : {40u, 64u}) {
      SeriesOptions options;
      options.width = width;
      options.height = width;
      options.bits_per_sample = bits;
      options.compression = 5;
      options.big_endian = bits == 16;
      if (!write_seed(dir, options, &written)) return 1;
    }
  }
  printf("make_corpus: %d seeds in %s\n", written, dir.c_str());
  return 0;
}
